// A framed notice: centred lines and an "OK" button; any key closes it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "tui/window.h"

struct is_newline {
    bool operator()(char c) const { return c == '\r' || c == '\n'; }
};

// Splits text at runs of separators; empty pieces never appear, so "\r\n" is
// one break and blank lines vanish.
template <class P>
struct Tokenizer {
    static void Tokenize(std::vector<std::string>& out, const std::string& text, const P& is_separator) {
        out.clear();
        auto start = text.begin();
        while (start != text.end()) {
            start = std::find_if_not(start, text.end(), is_separator);
            const auto end = std::find_if(start, text.end(), is_separator);
            if (start != end) out.emplace_back(start, end);
            start = end;
        }
    }
};

class message_box : public window {
public:
    std::string message;  // CP1251; lines end at '\n' or '\r'

    message_box(int top_row, int left_col, int bottom_row, int right_col, std::string text);

    // Draws the box and waits for a key.  Lines that do not fit above the
    // frame's bottom are dropped.  A resize is not an answer; it keeps waiting.
    void show();
};
