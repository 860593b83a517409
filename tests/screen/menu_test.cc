#include <chrono>

#include "probe.h"

namespace {

using namespace screen;

// A menu on screen rows 1-20 and columns 1-40: interior rows 2-19, columns 2-39.
std::vector<std::string> menu_of(std::vector<std::string> captions) {
    std::vector<std::string> args{"menu", "1", "1", "20", "40"};
    args.insert(args.end(), captions.begin(), captions.end());
    return probe(args);
}

std::vector<std::string> numbered(int count) {
    std::vector<std::string> captions;
    for (int i = 0; i < count; ++i) captions.push_back("entry " + std::to_string(i));
    return captions;
}

TEST(Menu, ShowsEntriesPaddedAndCutToTheInteriorWithTheFirstHighlighted) {
    auto captions = numbered(11);
    captions.push_back(std::string(38, 'x'));
    captions.push_back(std::string(37, 'y') + "yz");
    captions.push_back("100%d");
    terminal t(menu_of(captions));
    ASSERT_TRUE(t.wait_text(2, 2, "entry 0"));
    ASSERT_TRUE(t.wait_idle());

    EXPECT_EQ(t.text(1, 1, 40), "┌" + repeat("─", 38) + "┐");
    EXPECT_EQ(t.text(20, 1, 1) + t.text(20, 40, 1), "└┘");
    EXPECT_TRUE(inverse(t, 2, 2, 38)) << t.dump();  // the bar spans the row
    EXPECT_FALSE(t.at(2, 2).reverse);
    EXPECT_TRUE(normal(t, 3, 2, 38));
    EXPECT_EQ(t.text(13, 2, 38), std::string(38, 'x'));
    EXPECT_EQ(t.text(14, 2, 39), std::string(38, 'y') + "│");
    EXPECT_EQ(t.row(15), " │100%d                                 │");
    for (int r = 16; r <= 19; ++r) EXPECT_EQ(t.text(r, 2, 38), std::string(38, ' ')) << "row " << r;
    EXPECT_EQ(t.cursor(), at(2, 2));

    t.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(t.wait_anywhere("walks: -1"));
    EXPECT_EQ(t.wait_exit(), 0);
}

TEST(Menu, ScrollsOneRowAtATimeNeverWrapsAndStartsEachWalkAtTheTop) {
    terminal t(menu_of(numbered(25)));
    ASSERT_TRUE(t.wait_text(2, 2, "entry 0"));
    ASSERT_TRUE(t.wait_idle());

    ASSERT_TRUE(press(t, VTERM_KEY_UP));  // no wrap to the end
    EXPECT_TRUE(inverse(t, 2, 2, 38));
    EXPECT_EQ(t.text(19, 2, 8), "entry 17");

    ASSERT_TRUE(press(t, VTERM_KEY_DOWN, 17));  // to the bottom row, no scrolling yet
    EXPECT_EQ(t.text(2, 2, 7), "entry 0");
    EXPECT_TRUE(inverse(t, 19, 2, 38));
    EXPECT_TRUE(normal(t, 18, 2, 38));
    EXPECT_EQ(t.cursor(), at(19, 2));

    ASSERT_TRUE(press(t, VTERM_KEY_DOWN));  // one row up, the bar stays at the bottom
    EXPECT_EQ(t.text(2, 2, 8), "entry 1 ");
    EXPECT_EQ(t.text(19, 2, 8), "entry 18");
    EXPECT_TRUE(inverse(t, 19, 2, 38));
    EXPECT_TRUE(normal(t, 18, 2, 38));

    ASSERT_TRUE(press(t, VTERM_KEY_DOWN, 10));  // one more than there are entries
    EXPECT_EQ(t.text(2, 2, 7), "entry 7");
    EXPECT_EQ(t.text(19, 2, 8), "entry 24");
    EXPECT_TRUE(inverse(t, 19, 2, 38));

    ASSERT_TRUE(press(t, VTERM_KEY_UP, 17));  // to the top row, no scrolling yet
    EXPECT_EQ(t.text(2, 2, 7), "entry 7");
    EXPECT_TRUE(inverse(t, 2, 2, 38));
    ASSERT_TRUE(press(t, VTERM_KEY_UP));  // back by one row
    EXPECT_EQ(t.text(2, 2, 7), "entry 6");
    EXPECT_EQ(t.text(3, 2, 7), "entry 7");
    EXPECT_TRUE(inverse(t, 2, 2, 38));
    EXPECT_TRUE(normal(t, 3, 2, 38));
    EXPECT_EQ(t.cursor(), at(2, 2));

    // Every Enter key chooses; the next walk begins at the first entry again.
    t.press(VTERM_KEY_ENTER);
    ASSERT_TRUE(t.wait_text(2, 2, "entry 0"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_TRUE(inverse(t, 2, 2, 38));
    ASSERT_TRUE(press(t, VTERM_KEY_DOWN));
    ASSERT_TRUE(press(t, VTERM_KEY_KP_ENTER));
    ASSERT_TRUE(press(t, VTERM_KEY_DOWN, 2));
    t.send("\n");
    ASSERT_TRUE(t.wait_idle());
    t.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(t.wait_anywhere("walks: 106 101 102 -1"));
    EXPECT_EQ(t.wait_exit(), 0);
}

TEST(Menu, SendsOnlyTheCellsThatChangeAndShrugsOffAResize) {
    terminal t(menu_of(numbered(3)));
    ASSERT_TRUE(t.wait_text(2, 2, "entry 0"));
    ASSERT_TRUE(t.wait_idle());
    const std::size_t paint = t.bytes_received();
    ASSERT_TRUE(press(t, VTERM_KEY_DOWN));
    const std::size_t before = t.bytes_received();
    ASSERT_TRUE(press(t, VTERM_KEY_DOWN));
    // Two rows change colour; a whole repaint would be thousands of bytes.
    EXPECT_GT(paint, 2000u);
    EXPECT_LT(t.bytes_received() - before, 300u);

    t.resize(30, 90);
    ASSERT_TRUE(t.wait_idle());
    ASSERT_TRUE(press(t, VTERM_KEY_UP));
    EXPECT_TRUE(inverse(t, 3, 2, 38)) << t.dump();
    EXPECT_EQ(t.text(1, 1, 1) + t.text(20, 40, 1), "┌┘");
    t.press(VTERM_KEY_ENTER);
    t.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(t.wait_anywhere("walks: 101 -1"));
    EXPECT_EQ(t.wait_exit(), 0);
}

TEST(Menu, HighlightsInReverseVideoWithoutColours) {
    options vt100;
    vt100.env["TERM"] = "vt100";
    terminal t(menu_of(numbered(3)), vt100);
    ASSERT_TRUE(t.wait_text(2, 2, "entry 0"));
    ASSERT_TRUE(t.wait_idle());
    for (int c = 2; c <= 39; ++c) ASSERT_TRUE(t.at(2, c).reverse) << "column " << c << "\n" << t.dump();
    EXPECT_FALSE(t.at(3, 2).reverse);
    ASSERT_TRUE(press(t, VTERM_KEY_DOWN));
    EXPECT_FALSE(t.at(2, 2).reverse);
    EXPECT_TRUE(t.at(3, 39).reverse);
    t.press(VTERM_KEY_ESCAPE);
    EXPECT_EQ(t.wait_exit(), 0);
}

// Every key loop ends when its terminal goes away, even with SIGHUP ignored.
class LeavesClosedTerminal : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(LeavesClosedTerminal, WithinASecond) {
    options nohup;
    nohup.ignore_hangup = true;
    terminal t(probe(GetParam()), nohup);
    ASSERT_TRUE(t.wait_text(4, 10, "┌"));
    ASSERT_TRUE(t.wait_idle());
    const auto start = std::chrono::steady_clock::now();
    t.hang_up();
    const auto status = t.wait_exit(std::chrono::seconds(1));
    EXPECT_TRUE(status.has_value()) << "still running a second after the hang-up";
    EXPECT_EQ(status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

INSTANTIATE_TEST_SUITE_P(Widgets, LeavesClosedTerminal,
                         ::testing::Values(std::vector<std::string>{"menu", "4", "10", "12", "40", "a", "b"},
                                           std::vector<std::string>{"right_side_edit", "ddddd", "1", "0"},
                                           std::vector<std::string>{"free_walk_edit", "dd:dd", ""},
                                           std::vector<std::string>{"message_box", "4", "10", "10", "40", "bye"}),
                         // Each case is named by the widget whose key loop it ends.
                         [](const auto& p) { return p.param.front(); });

}  // namespace
