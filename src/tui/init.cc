#include "tui/init.h"

#include "register/text_forms.h"
#include "tui/convert.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <term.h>  // last: its capability macros (lines, columns) would spoil other headers

namespace {

[[noreturn]] void refuse(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::exit(1);
}

// ESCDELAY as a user set it for a slow link, else the short default.
int escape_delay() {
    const char* text = std::getenv("ESCDELAY");
    if (!text || !*text) return 10;
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    return *end == '\0' && ms >= 0 && ms <= 60000 ? static_cast<int>(ms) : 10;
}

}  // namespace

void require_terminal(screen_size need) {
    // Escape sequences in a pipe or a file would only be noise there.
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) refuse("Error: no terminal to show the editor on\n");
    const char* type = std::getenv("TERM");
    if (!type || !*type) refuse("Error: no terminal to show the editor on: TERM is not set\n");
    // initscr would print its own complaint and exit; setupterm only tells.
    int status = 0;
    const bool known = setupterm(nullptr, STDOUT_FILENO, &status) == OK;
    const char* move = known ? tigetstr("cup") : nullptr;
    if (!known || !move || move == reinterpret_cast<char*>(-1))
        refuse("Error: terminal type " + escaped(type) + " can't show the editor\n");
    // setupterm has taken the size as curses will: LINES and COLUMNS from the
    // environment, else the terminal's own.
    const bool fits = LINES >= need.rows && COLS >= need.cols;
    del_curterm(cur_term);
    if (!fits)
        refuse("Error: terminal too small: need " + std::to_string(need.cols) + " columns and " +
               std::to_string(need.rows) + " rows\n");
    minimum_screen = need;
}

void init() {
    convert::take_locale();  // curses decides from it how to write text
    watch_resizes();         // before curses starts, or it takes resizes itself
    if (!newterm(nullptr, stdout, stdin)) refuse("Error: no terminal to show the editor on\n");
    start_color();
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, FALSE);  // only the widgets' own windows are read from
    clear();
    refresh();
    init_pair(pair_normal, COLOR_WHITE, COLOR_BLACK);
    init_pair(pair_inverse, COLOR_BLACK, COLOR_WHITE);
    set_escdelay(escape_delay());
}

void end_session() {
    // Before init there is no screen and isendwin() says false; endwin then
    // merely reports an error, so this needs no separate "started" flag.
    if (!isendwin()) endwin();
}

std::string space(int count) { return std::string(count > 0 ? static_cast<std::size_t>(count) : 0, ' '); }
