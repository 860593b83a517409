// A framed list of entries with one highlighted; the user picks one.
#pragma once

#include <string>
#include <vector>

#include "tui/window.h"

struct menu_item {
    int id;               // what walk() returns for this entry
    std::string caption;  // CP1251, written as it stands
};

class menu : public window {
public:
    std::vector<menu_item> items;
    int selected = 0;  // index of the highlighted entry
    int offset = 0;    // index of the entry on the first interior row

    menu(int top_row, int left_col, int bottom_row, int right_col);

    void add_item(std::string caption, int id);
    // Starts on the first entry every time.  Returns the chosen entry's id, or
    // -1 on Escape, when the terminal is gone, or when there are no entries.
    int walk();
    void draw();
    // The entry's row as shown: the caption padded or cut to the interior
    // width, so that the highlight spans the whole row.
    std::string text(int index) const;

    // The interior, inside the frame.
    int height() const { return window::height() - 2; }
    int width() const { return window::width() - 2; }
};
