#include <gtest/gtest.h>

#include "tui/init.h"
#include "tui/maskedit.h"
#include "tui/message_box.h"

namespace {

TEST(Space, GivesBlanksAndNothingForZeroOrLess) {
    EXPECT_EQ(space(5), "     ");
    EXPECT_EQ(space(0), "");
    EXPECT_EQ(space(-3), "");
}

TEST(MaskText, VisualizedMaskShowsZeroForEveryDigitSlot) {
    EXPECT_EQ(maskedit::visualize_mask("dd.dd.dddd dd:dd"), "00.00.0000 00:00");
    EXPECT_EQ(maskedit::visualize_mask("fff"), "fff");
}

TEST(MaskText, MergeKeepsTheLengthOfTheBase) {
    EXPECT_EQ(maskedit::merge_strings("00.00", "1234"), "12340");
    EXPECT_EQ(maskedit::merge_strings("00.00", "12"), "12.00");
    EXPECT_EQ(maskedit::merge_strings("00.00", "1234567"), "12345");
    EXPECT_EQ(maskedit::merge_strings("00.00", ""), "00.00");
    EXPECT_EQ(maskedit::merge_strings("", "12"), "");
}

TEST(MaskText, OnlyDigitSlotsTakeTheCursor) {
    EXPECT_TRUE(maskedit::mask_inputable(L'd'));
    for (wchar_t c : {L'f', L'D', L'.', L' ', L':', L'0'}) EXPECT_FALSE(maskedit::mask_inputable(c)) << static_cast<int>(c);
}

TEST(Tokenize, KeepsOnlyTheNonEmptyLines) {
    std::vector<std::string> out{"stale"};
    Tokenizer<is_newline>::Tokenize(out, "first\r\n\r\nsecond\n", is_newline());
    EXPECT_EQ(out, (std::vector<std::string>{"first", "second"}));
    Tokenizer<is_newline>::Tokenize(out, "\nonly\r", is_newline());
    EXPECT_EQ(out, std::vector<std::string>{"only"});
    Tokenizer<is_newline>::Tokenize(out, "a b\tc", is_newline());
    EXPECT_EQ(out, std::vector<std::string>{"a b\tc"});
    for (const char* nothing : {"", "\r\n", "\n\n\r"}) {
        Tokenizer<is_newline>::Tokenize(out, nothing, is_newline());
        EXPECT_TRUE(out.empty()) << '"' << nothing << '"';
    }
}

}  // namespace
