// A one-line input field in inverse video inside a window that the caller
// owns.  A mask gives its width and what each position accepts.
#pragma once

#include <string>

#include "tui/window.h"

class maskedit {
public:
    std::string mask;
    int row;
    int col;
    window& win;  // not owned; must outlive the field

    maskedit(window& w, int field_row, int field_col, std::string field_mask);

    // Calculator style: characters are appended and erased at the end and the
    // text stands right-aligned; `empty_text` shows while nothing is typed.
    // 'd' takes a digit, 'f' a digit or one decimal point ('.' or ',') with
    // at most two digits after it.  True on Enter; false on Escape or when the terminal is
    // gone, `value` then holding what was typed so far.
    bool right_side_edit(std::string& value, std::string empty_text);
    // Fixed shape such as a date: `value` is first fitted to the mask, then
    // digits overwrite the 'd' positions and the cursor skips everything else.
    bool free_walk_edit(std::string& value);

    // The mask as an empty field shows it: every 'd' a '0'.
    static std::string visualize_mask(std::string mask);
    // `base` with its leading characters replaced by those of `overlay`; always
    // as long as `base`.
    static std::string merge_strings(std::string base, std::string overlay);
    // Whether the cursor of free_walk_edit may rest on this mask character.
    static bool mask_inputable(wchar_t c);
};
