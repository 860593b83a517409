#include "tui/maskedit.h"

#include <algorithm>

#include "tui/init.h"

namespace {

bool is_digit(int key) { return key >= '0' && key <= '9'; }

// A decimal point: '.', or ',' as a Russian keypad types it and as the
// command line reads it.
bool is_point(int key) { return key == '.' || key == ','; }

// Whether `key` may be appended to `value` at a position whose mask is `m`.
bool right_side_accepts(char m, const std::string& value, int key) {
    if (m == 'd') return is_digit(key);
    if (m != 'f' || !(is_digit(key) || is_point(key))) return false;
    const std::size_t point = value.find_first_of(".,");
    if (point == std::string::npos) return true;
    return !is_point(key) && value.size() - point <= 2;  // two decimals at most
}

}  // namespace

maskedit::maskedit(window& w, int field_row, int field_col, std::string field_mask)
    : mask(std::move(field_mask)), row(field_row), col(field_col), win(w) {}

bool maskedit::right_side_edit(std::string& value, std::string empty_text) {
    const int field_width = static_cast<int>(mask.size());
    for (;;) {
        win.print_invert(row, col, space(field_width));
        const std::string& shown = value.empty() ? empty_text : value;
        win.print_invert(row, col + field_width - static_cast<int>(shown.size()), shown);

        const int key = win.wgetch();
        if (end_of_input(key) || key == key::escape) return false;
        if (key::is_enter(key)) return true;
        if (key == KEY_BACKSPACE || key == KEY_DC) {
            if (!value.empty()) value.pop_back();
        } else if (value.size() < mask.size() && right_side_accepts(mask[value.size()], value, key)) {
            value += static_cast<char>(key);
        }
    }
}

bool maskedit::free_walk_edit(std::string& value) {
    value = merge_strings(visualize_mask(mask), value);
    const int last = static_cast<int>(mask.size()) - 1;
    int pos = 0;
    auto step_right = [&] {
        if (pos < last) ++pos;
        while (pos < last && !mask_inputable(mask[pos])) ++pos;
    };
    for (;;) {
        win.print_invert(row, col, value);
        win.gotoyx(row, col + pos);

        const int key = win.wgetch();
        if (end_of_input(key) || key == key::escape) return false;
        if (key::is_enter(key)) return true;
        if (key == KEY_LEFT) {
            if (pos > 0) --pos;
            while (pos > 0 && !mask_inputable(mask[pos])) --pos;
        } else if (key == KEY_RIGHT) {
            step_right();
        } else if (is_digit(key) && pos <= last && mask_inputable(mask[pos])) {
            value[pos] = static_cast<char>(key);
            step_right();
        }
    }
}

std::string maskedit::visualize_mask(std::string mask) {
    std::replace(mask.begin(), mask.end(), 'd', '0');
    return mask;
}

std::string maskedit::merge_strings(std::string base, std::string overlay) {
    const std::size_t n = std::min(base.size(), overlay.size());
    base.replace(0, n, overlay, 0, n);
    return base;
}

bool maskedit::mask_inputable(wchar_t c) { return c == L'd'; }
