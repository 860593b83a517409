#include "tui/window.h"

#include <cerrno>
#include <csignal>

#include "tui/convert.h"
#include "tui/init.h"

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
bool lost = false;
}  // namespace

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
}

window::~window() { delwin(curses_window); }

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
    if (stopped) {
        errno = EINTR;  // a stop that came between two reads must not wait for a key
        return ERR;
    }
    errno = 0;  // so that end_of_input() judges this read, not an older call
    return ::wgetch(curses_window);
}
