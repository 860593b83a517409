#include "probe.h"

namespace {

using namespace screen;

TEST(Window, WritesTextAsItStandsAndLeavesItsImageBehind) {
    terminal t(probe({"window", "1", "1", "10", "30"}));
    ASSERT_TRUE(t.wait_text(2, 2, "%d"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_EQ(t.text(3, 2, 7), "inverse");
    EXPECT_TRUE(inverse(t, 3, 2, 7));
    // The frame, drawn after print_invert, is back in the normal pair.
    EXPECT_TRUE(normal(t, 1, 1, 30)) << t.dump();
    EXPECT_TRUE(normal(t, 10, 1, 30));

    t.press(VTERM_KEY_ENTER);  // the window is destroyed; another one waits
    ASSERT_TRUE(t.wait_text(0, 0, "next"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_EQ(t.text(1, 1, 1) + t.text(10, 30, 1), "┌┘");
    EXPECT_EQ(t.text(3, 2, 7), "inverse");
    t.press(VTERM_KEY_ENTER);
    EXPECT_TRUE(t.wait_anywhere("done"));
    EXPECT_EQ(t.wait_exit(), 0);
}

struct impossible_window {
    const char* name;
    int rows;
    std::vector<std::string> edges;  // top, left, bottom, right
};

class ImpossibleWindow : public ::testing::TestWithParam<impossible_window> {};

// The process still stops through the assertion diagnostic, but only after the
// terminal is back in the state a shell needs.
TEST_P(ImpossibleWindow, EndsTheSessionThenAborts) {
    options size;
    size.rows = GetParam().rows;
    std::vector<std::string> args{"window"};
    args.insert(args.end(), GetParam().edges.begin(), GetParam().edges.end());
    terminal t(probe(args), size);
    EXPECT_EQ(t.wait_exit(), 128 + SIGABRT);
    const std::string diagnostic =
        "window::window(int, int, int, int): Assertion `curses_window = newwin(height(), width(), top, left)' failed.";
    const std::string& out = t.output();
    const auto said = out.find(diagnostic);
    ASSERT_NE(said, std::string::npos) << out;
    EXPECT_NE(out.find("window.cc:"), std::string::npos);
    EXPECT_EQ(out.compare(said + diagnostic.size(), 2, "\r\n"), 0) << "output processing is back on";
    EXPECT_TRUE(t.wait_anywhere("tui_probe: "));

    const termios modes = t.modes();
    EXPECT_TRUE(modes.c_lflag & ECHO);
    EXPECT_TRUE(modes.c_lflag & ICANON);
    EXPECT_NE(out.rfind("\x1b[?1049l", said), std::string::npos) << "the alternate screen was left first";
}

INSTANTIATE_TEST_SUITE_P(Edges, ImpossibleWindow,
                         ::testing::Values(impossible_window{"TallerThanTheScreen", 24, {"1", "1", "30", "40"}},
                                           impossible_window{"TheEditorsMenuOn20Rows", 20, {"1", "1", "20", "40"}},
                                           impossible_window{"ANegativeHeight", 24, {"5", "5", "3", "20"}}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
