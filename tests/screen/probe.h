// The widgets under test, each started through tui_probe on its own terminal.
#pragma once

#include <string>
#include <vector>

#include "terminal.h"

namespace screen {

inline std::vector<std::string> probe(std::vector<std::string> args) {
    args.insert(args.begin(), TUI_PROBE);
    return args;
}

// Presses `key` `times` times and waits until the program has dealt with all.
inline ::testing::AssertionResult press(terminal& t, VTermKey key, int times = 1) {
    for (int i = 0; i < times; ++i) t.press(key);
    return t.wait_idle();
}

inline ::testing::AssertionResult type(terminal& t, std::string_view text) {
    t.type(text);
    return t.wait_idle();
}

// Whether `count` cells from (row, col) show the given palette colours.
inline bool coloured(const terminal& t, int row, int col, int count, int fg, int bg) {
    for (int c = col; c < col + count; ++c)
        if (t.at(row, c).fg != fg || t.at(row, c).bg != bg) return false;
    return true;
}
inline bool inverse(const terminal& t, int row, int col, int count) { return coloured(t, row, col, count, 0, 7); }
inline bool normal(const terminal& t, int row, int col, int count) { return coloured(t, row, col, count, 7, 0); }

inline std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

inline std::pair<int, int> at(int row, int col) { return {row, col}; }

}  // namespace screen
