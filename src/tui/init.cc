#include "tui/init.h"

#include "tui/convert.h"
#include "tui/window.h"

void init() {
    convert::take_locale();  // initscr decides from it how to write text
    initscr();
    start_color();
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, FALSE);  // only the widgets' own windows are read from
    clear();
    refresh();
    init_pair(pair_normal, COLOR_WHITE, COLOR_BLACK);
    init_pair(pair_inverse, COLOR_BLACK, COLOR_WHITE);
    set_escdelay(10);
}

void end_session() {
    // Before initscr there is no screen and isendwin() says false; endwin then
    // merely reports an error, so this needs no separate "started" flag.
    if (!isendwin()) endwin();
}

std::string space(int count) { return std::string(count > 0 ? static_cast<std::size_t>(count) : 0, ' '); }
