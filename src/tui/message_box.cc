#include "tui/message_box.h"

#include <cerrno>

message_box::message_box(int top_row, int left_col, int bottom_row, int right_col, std::string text)
    : window(top_row, left_col, bottom_row, right_col), message(std::move(text)) {}

void message_box::show() {
    std::vector<std::string> lines;
    Tokenizer<is_newline>::Tokenize(lines, message, is_newline());
    const int last_row = height() - 2;
    for (int k = 0; k < static_cast<int>(lines.size()) && k + 1 <= last_row; ++k) {
        // Centred over the whole width, frame included; a line wider than the
        // window gets a negative column and curses writes nothing.
        const int excess = width() - static_cast<int>(lines[k].size());
        const int column = excess >= 0 ? excess / 2 : -((1 - excess) / 2);
        print(k + 1, column, lines[k]);
    }
    const int button_col = width() / 2 - 1;
    print_invert(last_row, button_col, "OK");
    gotoyx(last_row, button_col);
    draw();  // after the text, so the frame wins over text that reached it
    for (;;) {
        const int key = wgetch();
        if (key == KEY_RESIZE || (key == ERR && !end_of_input(key))) continue;
        return;
    }
}
