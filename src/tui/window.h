// A rectangle of the terminal with its own curses window: where widgets write
// their text in one of two colours and read their keys.
#pragma once

#include "tui/screen.h"

#include <string>

// Key codes as the widgets see them with keypad mode on.
namespace key {
inline constexpr int line_feed = 10;
inline constexpr int carriage_return = 13;
inline constexpr int escape = 27;
inline constexpr int accept = 1000;  // has no key of its own; means Enter

// Line feed, carriage return, keypad Enter and `accept`.
bool is_enter(int code);
}  // namespace key

// True when a key read failed because input has ended (the terminal is gone),
// as opposed to a read that a signal merely interrupted.  Without this a
// closed terminal makes every key loop spin at full speed.
bool end_of_input(int code);

// Makes every key read from now on report end of input.  Safe to call from a
// signal handler: a signal that should end the session turns the blocked read
// into an orderly way out instead of a death on a full-screen terminal.
void stop_input();

// True once input has ended: a key read found the terminal gone, or
// stop_input() was called.
bool input_lost();

class window {
public:
    int top;
    int bottom;  // inclusive
    int left;
    int right;  // inclusive
    WINDOW* curses_window;

    // Edges in screen rows and columns.  A rectangle curses cannot create
    // ends the process with an assertion diagnostic on a restored terminal.
    window(int top_row, int left_col, int bottom_row, int right_col);
    ~window();  // leaves the window's image on the screen
    window(const window&) = delete;
    window& operator=(const window&) = delete;

    void draw();
    // Text at (row, col) of the window, in pair 1 or pair 2.  Both leave
    // pair 1 set.  The text is CP1251 and shown as the locale wants it.
    void print(int row, int col, std::string text);
    void print_invert(int row, int col, std::string text);
    void gotoyx(int row, int col);
    void refresh();
    // Blocks; refreshes the window first if it changed.  A resize in between
    // is dealt with here and never reaches the caller.
    int wgetch();

    int height() const { return bottom - top + 1; }
    int width() const { return right - left + 1; }
};
