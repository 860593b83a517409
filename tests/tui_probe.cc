// Builds one widget from its arguments on a real curses session, so the screen
// tests can look at it from the outside.  What the widget returned is printed
// after the session has ended, where the test reads it off the terminal.
//
//   tui_probe menu TOP LEFT BOTTOM RIGHT CAPTION...
//       entry i gets id 100 + i; walks until -1, then prints "walks: ID ..."
//   tui_probe right_side_edit MASK VALUE EMPTY_TEXT
//   tui_probe free_walk_edit MASK VALUE
//       the field stands at row 2, column 3 of a window on rows 4-8, columns
//       10-50; prints "accepted=0|1 value=[...]"
//   tui_probe message_box TOP LEFT BOTTOM RIGHT MESSAGE
//       prints "closed"
//   tui_probe window TOP LEFT BOTTOM RIGHT
//       a frame drawn right after print_invert, "%d" printed, one key read; then
//       the window is destroyed and a small one waits for a key on row 0
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tui/init.h"
#include "tui/maskedit.h"
#include "tui/menu.h"
#include "tui/message_box.h"

namespace {

int number(const char* text) { return std::atoi(text); }

std::string run(const std::vector<std::string>& a) {
    const std::string& what = a[0];
    if (what == "menu" && a.size() >= 5) {
        menu m(number(a[1].c_str()), number(a[2].c_str()), number(a[3].c_str()), number(a[4].c_str()));
        for (std::size_t i = 5; i < a.size(); ++i) m.add_item(a[i], static_cast<int>(100 + i - 5));
        std::string walks = "walks:";
        for (int id = 0; id != -1;) {
            id = m.walk();
            walks += " " + std::to_string(id);
        }
        return walks;
    }
    if ((what == "right_side_edit" && a.size() == 4) || (what == "free_walk_edit" && a.size() == 3)) {
        window dialog(4, 10, 8, 50);
        dialog.draw();
        maskedit field(dialog, 2, 3, a[1]);
        std::string value = a[2];
        const bool accepted = what == "right_side_edit" ? field.right_side_edit(value, a[3]) : field.free_walk_edit(value);
        return "accepted=" + std::to_string(accepted) + " value=[" + value + "]";
    }
    if (what == "message_box" && a.size() == 6) {
        message_box box(number(a[1].c_str()), number(a[2].c_str()), number(a[3].c_str()), number(a[4].c_str()), a[5]);
        box.show();
        return "closed";
    }
    if (what == "window" && a.size() == 5) {
        {
            window w(number(a[1].c_str()), number(a[2].c_str()), number(a[3].c_str()), number(a[4].c_str()));
            w.print(1, 1, "%d");
            w.print_invert(2, 1, "inverse");
            w.draw();
            w.wgetch();
        }
        window after(0, 0, 0, 4);
        after.print(0, 0, "next");
        after.wgetch();
        return "done";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fprintf(stderr, "usage: tui_probe WIDGET ARGS...\n");
        return 2;
    }
    init();
    const std::string result = run(args);
    end_session();
    end_session();  // a second call must be harmless
    if (result.empty()) {
        std::fprintf(stderr, "tui_probe: bad arguments for %s\n", args[0].c_str());
        return 2;
    }
    std::printf("%s\n", result.c_str());
    return 0;
}
