#include "probe.h"

namespace {

using namespace screen;

// The probe's field stands at screen row 6 from column 13.
constexpr int row = 6, col = 13;

TEST(RightSideEdit, AppendsAndErasesDigitsAtTheRightEdge) {
    terminal t(probe({"right_side_edit", "ddddd", "123", "0"}));
    ASSERT_TRUE(t.wait_text(row, col, "  123"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_TRUE(inverse(t, row, col, 5));
    EXPECT_NE(t.at(row, col + 5).bg, 7);
    EXPECT_EQ(t.cursor(), at(row, col + 5));  // just after the field

    ASSERT_TRUE(type(t, "456"));  // the 6 finds no room
    EXPECT_EQ(t.text(row, col, 5), "12345");
    ASSERT_TRUE(press(t, VTERM_KEY_BACKSPACE));
    EXPECT_EQ(t.text(row, col, 5), " 1234");
    ASSERT_TRUE(press(t, VTERM_KEY_DEL));
    EXPECT_EQ(t.text(row, col, 5), "  123");
    ASSERT_TRUE(type(t, ".a-"));
    EXPECT_EQ(t.text(row, col, 5), "  123");
    ASSERT_TRUE(press(t, VTERM_KEY_BACKSPACE, 4));  // one more than there is
    EXPECT_EQ(t.text(row, col, 5), "    0");
    EXPECT_TRUE(inverse(t, row, col, 5));

    t.press(VTERM_KEY_ENTER);
    EXPECT_TRUE(t.wait_anywhere("accepted=1 value=[]"));
    EXPECT_EQ(t.wait_exit(), 0);
}

TEST(RightSideEdit, TakesOnePointAndTwoDecimalsInAnAmount) {
    terminal t(probe({"right_side_edit", "fffffffffffffff", "", "0"}));
    ASSERT_TRUE(t.wait_text(row, col, std::string(14, ' ') + "0"));
    ASSERT_TRUE(t.wait_idle());
    ASSERT_TRUE(type(t, "12.3.45"));  // the second point and the third decimal are refused
    EXPECT_EQ(t.text(row, col, 15), std::string(10, ' ') + "12.34");
    ASSERT_TRUE(press(t, VTERM_KEY_BACKSPACE, 5));
    ASSERT_TRUE(type(t, ".5"));
    EXPECT_EQ(t.text(row, col, 15), std::string(13, ' ') + ".5");
    // A comma is a point too, with the same rules.
    ASSERT_TRUE(press(t, VTERM_KEY_BACKSPACE, 2));
    ASSERT_TRUE(type(t, "12,5.,67"));
    EXPECT_EQ(t.text(row, col, 15), std::string(10, ' ') + "12,56");
    t.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(t.wait_anywhere("accepted=0 value=[12,56]"));
    EXPECT_EQ(t.wait_exit(), 0);
}

TEST(RightSideEdit, ShowsATooLongValueLeftOfTheFieldAndTakesNothingUntilItIsShorter) {
    terminal t(probe({"right_side_edit", "ddd", "12345", "0"}));
    ASSERT_TRUE(t.wait_text(row, col - 2, "12345"));
    ASSERT_TRUE(t.wait_idle());
    ASSERT_TRUE(type(t, "6"));
    EXPECT_EQ(t.text(row, col - 2, 5), "12345");
    ASSERT_TRUE(press(t, VTERM_KEY_BACKSPACE, 3));
    ASSERT_TRUE(type(t, "9"));
    EXPECT_EQ(t.text(row, col, 3), "129");
    t.press(VTERM_KEY_KP_ENTER);
    EXPECT_TRUE(t.wait_anywhere("accepted=1 value=[129]"));
}

TEST(FreeWalkEdit, OverwritesDigitsInPlaceWhileTheCursorSkipsLiterals) {
    terminal t(probe({"free_walk_edit", "dd.dd.dddd dd:dd", "07.12.2026 16:19"}));
    ASSERT_TRUE(t.wait_text(row, col, "07.12.2026 16:19"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_TRUE(inverse(t, row, col, 16));
    EXPECT_EQ(t.cursor(), at(row, col));

    ASSERT_TRUE(type(t, "1"));
    EXPECT_EQ(t.text(row, col, 16), "17.12.2026 16:19");
    EXPECT_EQ(t.cursor(), at(row, col + 1));
    ASSERT_TRUE(type(t, "2"));
    EXPECT_EQ(t.text(row, col, 16), "12.12.2026 16:19");
    EXPECT_EQ(t.cursor(), at(row, col + 3));  // over the point
    ASSERT_TRUE(type(t, ".x-"));
    ASSERT_TRUE(press(t, VTERM_KEY_BACKSPACE));
    EXPECT_EQ(t.text(row, col, 16), "12.12.2026 16:19");
    EXPECT_EQ(t.cursor(), at(row, col + 3));

    ASSERT_TRUE(press(t, VTERM_KEY_LEFT, 3));  // stops on the first digit
    EXPECT_EQ(t.cursor(), at(row, col));
    ASSERT_TRUE(press(t, VTERM_KEY_RIGHT, 7));  // the last digit of the year
    EXPECT_EQ(t.cursor(), at(row, col + 9));
    ASSERT_TRUE(press(t, VTERM_KEY_RIGHT));  // over the blank
    EXPECT_EQ(t.cursor(), at(row, col + 11));
    ASSERT_TRUE(press(t, VTERM_KEY_RIGHT, 9));  // stops on the last digit
    EXPECT_EQ(t.cursor(), at(row, col + 15));
    ASSERT_TRUE(type(t, "78"));  // the last slot takes both in turn
    EXPECT_EQ(t.text(row, col, 16), "12.12.2026 16:18");
    EXPECT_EQ(t.cursor(), at(row, col + 15));
    ASSERT_TRUE(press(t, VTERM_KEY_LEFT, 2));  // over the colon
    EXPECT_EQ(t.cursor(), at(row, col + 12));

    t.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(t.wait_anywhere("accepted=0 value=[12.12.2026 16:18]"));
    EXPECT_EQ(t.wait_exit(), 0);
}

TEST(FreeWalkEdit, FitsTheValueToTheMaskBeforeTheFirstKey) {
    terminal empty(probe({"free_walk_edit", "dd.dd.dddd dd:dd", ""}));
    terminal surplus(probe({"free_walk_edit", "dd.dd", "1"}));
    terminal longer(probe({"free_walk_edit", "dd:dd", "01:02:03"}));
    ASSERT_TRUE(empty.wait_text(row, col, "00.00.0000 00:00"));
    ASSERT_TRUE(surplus.wait_text(row, col, "10.00"));
    ASSERT_TRUE(longer.wait_text(row, col, "01:02 "));
    empty.press(VTERM_KEY_ENTER);
    EXPECT_TRUE(empty.wait_anywhere("accepted=1 value=[00.00.0000 00:00]"));
    longer.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(longer.wait_anywhere("accepted=0 value=[01:02]"));
}

}  // namespace
