#include "register/text_forms.h"
#include "tz.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(TextForms, SumsHaveTwoDecimalsAndNoExponent) {
    struct {
        double value;
        const char* text;
    } cases[] = {{0.0, "0.00"},       {1520.5, "1520.50"}, {1234.567, "1234.57"}, {-3.5, "-3.50"},
                 {0.125, "0.12"},     {-0.0, "-0.00"},     {1e15, "1000000000000000.00"}};
    for (const auto& c : cases) EXPECT_EQ(anyToWString(c.value), c.text) << c.value;
    EXPECT_EQ(anyToWString(1e300).size(), 304u);
}

TEST(TextForms, NumbersArePlainDecimal) {
    EXPECT_EQ(anyToWString<unsigned short>(7), "7");
    EXPECT_EQ(anyToWString<unsigned short>(65535), "65535");
    EXPECT_EQ(anyToWString<int>(-5), "-5");
}

TEST(TextForms, CalendarTimeFollowsTheLocalZone) {
    {
        time_zone tz(utc);
        EXPECT_EQ(anyToWString(0L), "01.01.1970 00:00");
        EXPECT_EQ(anyToWString(1709627459L), "05.03.2024 08:30");  // 59 seconds past: still 08:30
    }
    time_zone tz(moscow);
    EXPECT_EQ(anyToWString(0L), "01.01.1970 03:00");
    EXPECT_EQ(anyToWString(std::numeric_limits<long>::max()), "??.??.???? ??:??");
}

TEST(Readings, IntegersAsAtoiWithoutItsOverflow) {
    struct {
        const char* text;
        unsigned short value;
    } cases[] = {{"65535", 65535}, {"65536", 0},  {"70000", 4464}, {"-1", 65535}, {"abc", 0},
                 {" \t+12x", 12},  {"", 0},       {"99999999999999999999", 65535}, {"-99999999999999999999", 0}};
    for (const auto& c : cases) EXPECT_EQ(read_integer(c.text), c.value) << c.text;
    EXPECT_EQ(read_int("70000"), 70000);
}

TEST(Readings, SumsAsAtof) {
    EXPECT_EQ(read_sum("12,50"), 12.0);
    EXPECT_EQ(read_sum("100.5"), 100.5);
    EXPECT_EQ(read_sum("1e3"), 1000.0);
    EXPECT_EQ(read_sum("x"), 0.0);
}

TEST(Readings, DateAndTimeByPosition) {
    time_zone tz(berlin);
    EXPECT_EQ(read_date_time("05.03.2024 08:30"), local_time(2024, 3, 5, 8, 30));
    EXPECT_EQ(read_date_time("31.02.2024 10:00"), local_time(2024, 3, 2, 10, 0));  // normalised
    EXPECT_EQ(read_date_time("05.07.2024 08:30"), local_time(2024, 7, 5, 8, 30));  // summer time decided by the zone
    EXPECT_EQ(read_date_time("05.03.2024"), local_time(2024, 3, 5));               // missing time reads as 00:00
    EXPECT_EQ(anyToWString(read_date_time("")), "30.11.-1 00:00");
}

TEST(Escaped, NothingFromElsewhereReachesATerminalRaw) {
    struct {
        std::string text, shown;
    } cases[] = {
        {"cash.reg", "cash.reg"},           {"\r\033[2Kok", "\\r\\033[2Kok"},   {"a\nb\tc", "a\\nb\\tc"},
        {"C:\\x", "C:\\\\x"},                {"\x7f\x01", "\\x7f\\x01"},          {"Ив\xff", "Ив\\xff"},
        {"\xc2\x9b[1m", "\\xc2\\x9b[1m"},    {"\xe2\x82", "\\xe2\\x82"},         {"\xc0\xaf", "\\xc0\\xaf"},
        {std::string("a\0b", 3), "a\\x00b"}, {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(escaped(c.text), c.shown) << c.text;
}

}  // namespace
