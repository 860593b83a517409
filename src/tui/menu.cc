#include "tui/menu.h"

#include <algorithm>

#include "tui/init.h"

menu::menu(int top_row, int left_col, int bottom_row, int right_col)
    : window(top_row, left_col, bottom_row, right_col) {}

void menu::add_item(std::string caption, int id) { items.push_back({id, std::move(caption)}); }

std::string menu::text(int index) const {
    std::string line = space(width());
    if (index >= 0 && index < static_cast<int>(items.size())) line = items[index].caption + line;
    line.resize(static_cast<std::size_t>(std::max(width(), 0)));
    return line;
}

void menu::draw() {
    // Every row is rewritten, but curses only sends the cells that changed.
    // The rows go in before the frame's refresh: refreshing a menu just made,
    // its interior still empty, would blank every row on the terminal only to
    // write them again, twice the bytes over a slow line each time the editor
    // comes back from a dialog.
    for (int r = 0; r < height(); ++r) {
        const int i = offset + r;
        if (i == selected)
            print_invert(r + 1, 1, text(i));
        else
            print(r + 1, 1, text(i));
    }
    gotoyx(selected - offset + 1, 1);  // the frame leaves the cursor where it is
    window::draw();
}

int menu::walk() {
    selected = 0;
    offset = 0;
    if (items.empty()) return -1;
    const int last = static_cast<int>(items.size()) - 1;
    for (;;) {
        draw();
        const int key = wgetch();
        if (end_of_input(key) || key == key::escape) return -1;
        if (key::is_enter(key)) return items[selected].id;
        if (key == KEY_DOWN) {
            selected = std::min(selected + 1, last);
            if (selected >= offset + height()) offset = selected - height() + 1;
        } else if (key == KEY_UP) {
            selected = std::max(selected - 1, 0);
            if (selected < offset) offset = selected;
        }
    }
}
