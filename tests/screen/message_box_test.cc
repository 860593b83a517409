#include "probe.h"

namespace {

using namespace screen;

// A box on screen rows 6-11 and columns 5-35: 6 rows by 31 columns.
std::vector<std::string> box_of(const std::string& message) {
    return probe({"message_box", "6", "5", "11", "35", message});
}

TEST(MessageBox, CentresEachLineAndWaitsOnTheOkButton) {
    terminal t(box_of("fourteen bytes\nthirteen byte"));
    ASSERT_TRUE(t.wait_text(10, 19, "OK"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_EQ(t.row(6), "     ┌" + repeat("─", 29) + "┐");
    EXPECT_EQ(t.row(7), "     │       fourteen bytes        │");
    EXPECT_EQ(t.row(8), "     │        thirteen byte        │");
    EXPECT_EQ(t.row(9), "     │" + std::string(29, ' ') + "│");
    EXPECT_EQ(t.row(10), "     │" + std::string(13, ' ') + "OK" + std::string(14, ' ') + "│");
    EXPECT_EQ(t.row(11), "     └" + repeat("─", 29) + "┘");
    EXPECT_TRUE(inverse(t, 10, 19, 2));
    EXPECT_TRUE(normal(t, 7, 13, 14));
    EXPECT_EQ(t.cursor(), at(10, 19));

    t.resize(30, 90);  // not an answer
    ASSERT_TRUE(t.wait_idle());
    EXPECT_FALSE(t.anywhere("closed"));
    t.press(VTERM_KEY_LEFT);  // any key is
    EXPECT_TRUE(t.wait_anywhere("closed"));
    EXPECT_EQ(t.wait_exit(), 0);
}

TEST(MessageBox, DropsEmptyLinesAndLinesBelowTheInterior) {
    terminal breaks(box_of("first\r\n\r\nsecond\n"));
    terminal surplus(box_of("line one\nline two\nline three\nline four\nline five"));
    terminal empty(box_of(""));
    ASSERT_TRUE(breaks.wait_text(7, 5 + 13, "first"));
    ASSERT_TRUE(breaks.wait_text(8, 5 + 12, "second"));
    EXPECT_EQ(breaks.text(9, 6, 29), std::string(29, ' '));

    ASSERT_TRUE(surplus.wait_text(10, 19, "OK"));
    ASSERT_TRUE(surplus.wait_idle());
    EXPECT_EQ(surplus.text(9, 6, 29), "         line three          ");
    EXPECT_EQ(surplus.text(10, 16, 9), "linOKfour");  // the button covers the middle
    EXPECT_FALSE(surplus.anywhere("five"));

    ASSERT_TRUE(empty.wait_text(10, 19, "OK"));
    ASSERT_TRUE(empty.wait_idle());
    for (int r = 7; r <= 9; ++r) EXPECT_EQ(empty.text(r, 6, 29), std::string(29, ' '));
    empty.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(empty.wait_anywhere("closed"));
}

TEST(MessageBox, LetsTheFrameWinOverLinesAsWideAsTheBoxAndDropsWiderOnes) {
    const std::string a = "a" + std::string(28, '-') + "z";  // width - 1: from column 0
    const std::string b = "A" + std::string(29, '=') + "Z";  // width: both ends on the frame
    const std::string c(33, 'x');                            // wider: not shown at all
    terminal t(box_of(a + "\n" + b + "\n" + c));
    ASSERT_TRUE(t.wait_text(10, 19, "OK"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_EQ(t.text(7, 5, 31), "│" + std::string(28, '-') + "z│");
    EXPECT_EQ(t.text(8, 5, 31), "│" + std::string(29, '=') + "│");
    EXPECT_EQ(t.text(9, 5, 31), "│" + std::string(29, ' ') + "│");
}

}  // namespace
