#include "tui/window.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

#include "tui/convert.h"

extern "C" {
// glibc's assertion report; <assert.h> declares it only without NDEBUG, but
// the check below stays in every build.
[[noreturn]] void __assert_fail(const char* assertion, const char* file, unsigned int line,
                                const char* function) noexcept;
}

namespace key {
bool is_enter(int code) {
    return code == line_feed || code == carriage_return || code == KEY_ENTER || code == accept;
}
}  // namespace key

namespace {
volatile std::sig_atomic_t stopped = 0;
volatile std::sig_atomic_t resized = 0;
bool lost = false;
std::vector<window*> live;  // in the order they were made, which is the order to paint them

void on_resize(int) { resized = 1; }

screen_size terminal_size() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0 || ws.ws_col == 0) return {LINES, COLS};
    return {ws.ws_row, ws.ws_col};
}

screen_size needed() {
    screen_size need = minimum_screen;
    for (const window* w : live) {
        need.rows = std::max(need.rows, w->bottom + 1);
        need.cols = std::max(need.cols, w->right + 1);
    }
    return need;
}

bool fits(screen_size size) { return size.rows >= needed().rows && size.cols >= needed().cols; }

// Written past curses, which keeps its picture of the screen as it was
// before the window shrank: that picture is what comes back when it grows.
// Each line is cut to the terminal's width, so that nothing wraps.
void show_notice(screen_size size) {
    const screen_size need = needed();
    const std::string lines[] = {"Увеличьте окно"_cp,
                                 "до "_cp.str() + std::to_string(need.cols) + "x" + std::to_string(need.rows)};
    const char* clear = tigetstr("clear");
    std::string out = clear && clear != reinterpret_cast<char*>(-1) ? clear : "";
    for (int r = 0; r < 2 && r < size.rows; ++r)
        out += (r ? "\r\n" : "") + convert::to_string(lines[r].substr(0, static_cast<std::size_t>(size.cols)));
    for (std::size_t done = 0; done < out.size();) {
        const ssize_t n = ::write(STDOUT_FILENO, out.data() + done, out.size() - done);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
}

// Brings the session to the terminal's new size.  False when input ended
// while waiting for the window to grow.
bool follow_resize() {
    while (resized) {
        resized = 0;
        // The read the resize interrupted left an error in curses' queue of
        // keys, which every later read would return at once.  Keys typed
        // meanwhile go with it: they were meant for a screen that changed.
        flushinp();
        const screen_size size = terminal_size();
        if (fits(size)) {
            resize_term(size.rows, size.cols);  // unlike resizeterm, queues no KEY_RESIZE
            // The terminal's picture is unknown after a resize: clear it and
            // paint what curses last showed, windows already gone included.
            wrefresh(curscr);
            return true;
        }
        show_notice(size);
        while (!resized) {
            errno = 0;
            const int key = ::wgetch(stdscr);  // unchanged, so it paints nothing; keys are no answer here
            if (!(key == ERR && errno == EINTR && resized) && end_of_input(key)) return false;
        }
    }
    return true;
}
}  // namespace

void watch_resizes() {
    struct sigaction sa {};
    sa.sa_handler = on_resize;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the blocked key read has to return
    sigaction(SIGWINCH, &sa, nullptr);
}

bool end_of_input(int code) {
    if (code != ERR || (errno == EINTR && !stopped)) return false;
    lost = true;
    return true;
}

void stop_input() { stopped = 1; }

bool input_lost() { return lost || stopped; }

window::window(int top_row, int left_col, int bottom_row, int right_col)
    : top(top_row), bottom(bottom_row), left(left_col), right(right_col),
      curses_window(newwin(height(), width(), top, left)) {
    // This curses makes a window that runs off the screen and clips it, which
    // on a small terminal would hide menu rows and buttons without a word.
    // Such a window counts as one that could not be made.
    if (curses_window && (getbegy(curses_window) + getmaxy(curses_window) > LINES ||
                          getbegx(curses_window) + getmaxx(curses_window) > COLS)) {
        delwin(curses_window);
        curses_window = nullptr;
    }
    if (!curses_window) {
        // Leave full-screen mode first, or the diagnostic lands on a screen the
        // shell can no longer use.
        end_session();
        __assert_fail("curses_window = newwin(height(), width(), top, left)", __FILE__, __LINE__,
                      __PRETTY_FUNCTION__);
    }
    keypad(curses_window, TRUE);
    live.push_back(this);
}

window::~window() {
    live.erase(std::find(live.begin(), live.end(), this));
    delwin(curses_window);
}

void window::draw() {
    box(curses_window, 0, 0);
    refresh();
}

void window::print(int row, int col, std::string text) {
    wattrset(curses_window, COLOR_PAIR(pair_normal));
    mvwprintw(curses_window, row, col, "%s", convert::to_string(std::move(text)).c_str());
}

void window::print_invert(int row, int col, std::string text) {
    // Without colours pair 2 looks like pair 1, and the highlight would vanish.
    wattrset(curses_window, COLOR_PAIR(pair_inverse) | (has_colors() ? A_NORMAL : A_REVERSE));
    mvwprintw(curses_window, row, col, "%s", convert::to_string(std::move(text)).c_str());
    wattrset(curses_window, COLOR_PAIR(pair_normal));
}

void window::gotoyx(int row, int col) { wmove(curses_window, row, col); }

void window::refresh() { wrefresh(curses_window); }

int window::wgetch() {
    for (;;) {
        if (resized && !follow_resize()) {
            errno = EIO;
            return ERR;
        }
        if (stopped) {
            errno = EINTR;  // a stop that came between two reads must not wait for a key
            return ERR;
        }
        errno = 0;  // so that end_of_input() judges this read, not an older call
        const int key = ::wgetch(curses_window);
        if (key == ERR && errno == EINTR && resized) continue;
        return key;
    }
}
