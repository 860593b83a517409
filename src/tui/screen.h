// What the session and its windows share: the screen's size, the colour
// pairs, and the ways the session is watched and ended.  init.cc starts and
// ends the session, window.cc follows its size; neither needs the other.
#pragma once

#ifndef NCURSES_NOMACROS
#define NCURSES_NOMACROS  // window::refresh must not turn into wrefresh(stdscr)
#endif
#include <curses.h>
#undef refresh

// Colour pairs set up by init().
inline constexpr short pair_normal = 1;   // white on black
inline constexpr short pair_inverse = 2;  // black on white

struct screen_size {
    int rows;
    int cols;
};

// The smallest screen the session needs, beyond what its live windows need.
inline screen_size minimum_screen{0, 0};

// From now on a change of the terminal's size interrupts the key read, and
// window::wgetch fits the session to it: it repaints every live window when
// they all fit, and otherwise shows only a notice to enlarge the window until
// they do.  Called before curses starts, which would otherwise cut windows
// down to a smaller screen and never grow them back.
void watch_resizes();

// Ends the curses session if one is running.  Safe to call any number of
// times and before init(), so it can be handed to on_failure and also be
// called on the normal way out.
void end_session();
