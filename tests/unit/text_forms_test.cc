#include "register/text_forms.h"
#include "tz.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

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

TEST(Readings, NumbersAreDigitsUpTo65535) {
    struct {
        const char* text;
        std::optional<std::uint16_t> value;
    } cases[] = {{"0", 0},          {"65535", 65535},   {"00042", 42},      {"65536", {}},  {"70000", {}},
                 {"99999999999999999999", {}},          {"-1", {}},         {"+1", {}},     {" 1", {}},
                 {"1 ", {}},        {"12x", {}},        {"", {}},           {"1e3", {}},    {"٣", {}}};
    for (const auto& c : cases) EXPECT_EQ(read_integer(c.text), c.value) << c.text;
}

TEST(Readings, SumsTakeAPointOrACommaAndRoundUpAsStored) {
    struct {
        const char* text;
        std::optional<double> value;
    } cases[] = {{"12,50", 12.5},  {"100.5", 100.5}, {"7", 7},       {".5", 0.5},        {"5.", 5},
                 {"0.125", 0.13},  {"1.001", 1.01},  {"1.0000", 1},  {"999999999999.99", 999999999999.99},
                 {"999999999999.991", {}},           {"1000000000000", {}},               {"1e3", {}},
                 {"1.2.3", {}},    {"1,2.3", {}},    {".", {}},      {"", {}},           {"-5", {}},
                 {"nan", {}},      {"inf", {}},      {" 1", {}},     {"0x10", {}},       {"1'000", {}}};
    for (const auto& c : cases) EXPECT_EQ(read_sum(c.text), c.value) << c.text;
}

TEST(Readings, DatesAreRealDaysAtRealTimes) {
    time_zone tz(berlin);
    struct {
        const char* text;
        std::optional<long> value;
    } cases[] = {
        {"05.03.2024 08:30", local_time(2024, 3, 5, 8, 30)}, {"05.03.2024", local_time(2024, 3, 5)},
        {"05.07.2024 08:30", local_time(2024, 7, 5, 8, 30)},  // summer time decided by the zone
        {"29.02.2024 23:59", local_time(2024, 2, 29, 23, 59)}, {"01.01.1801 00:00", local_time(1801, 1, 1)},
        {"31.12.9998 23:59", local_time(9998, 12, 31, 23, 59)},
        {"31.03.2024 02:30", local_time(2024, 3, 31, 2, 30)},  // in the gap: what mktime gives
        {"29.02.2023", {}}, {"29.02.1900", {}}, {"31.02.2024 10:00", {}}, {"31.04.2024", {}}, {"00.03.2024", {}},
        {"05.13.2024", {}}, {"05.00.2024", {}}, {"31.12.1800 23:59", {}}, {"01.01.9999", {}},
        {"05.03.2024 24:00", {}}, {"05.03.2024 08:60", {}}, {"2024-03-05", {}}, {"5.3.2024 8:30", {}},
        {"05.03.2024 08:30:00", {}}, {"05.03.2024 8:30", {}}, {"05/03/2024", {}}, {"", {}}, {"99.99.9999 99:99", {}},
        // ISO 8601: local time, or an instant given with its offset.
        {"2024-03-05T08:30", local_time(2024, 3, 5, 8, 30)}, {"2024-03-05T08:30:00", local_time(2024, 3, 5, 8, 30)},
        {"2024-03-05T08:30:15", local_time(2024, 3, 5, 8, 30, 15)},  // the file keeps whole seconds
        {"2024-03-05T08:30Z", local_time(2024, 3, 5, 9, 30)}, {"2024-07-05T08:30+02:00", local_time(2024, 7, 5, 8, 30)},
        {"2024-03-05T08:30-05:30", local_time(2024, 3, 5, 15)}, {"2024-03-05T08:30+01:00:30", local_time(2024, 3, 5, 8, 29, 30)},
        {"2024-03-31T02:30", local_time(2024, 3, 31, 2, 30)}, {"2024-03-31T02:30+01:00", local_time(2024, 3, 31, 3, 30)},
        {"1801-01-01T00:00+14:00", {}}, {"9998-12-31T23:59-12:00", {}},  // the till's own day is out of range
        {"2024-02-30T10:00", {}}, {"2024-03-05T24:00", {}}, {"2024-03-05T08:30:60", {}}, {"2024-03-05T08:30+24:00", {}},
        {"2024-03-05T08:30+03:60", {}}, {"2024-03-05T08:30+03", {}}, {"2024-03-05T08:30+0300", {}}, {"2024-03-05 08:30", {}},
        {"2024-03-05T08:30:00.5", {}}, {"2024-03-05t08:30z", {}}, {"2024-03-05T8:30", {}}, {"2024-03-05T08:30Z ", {}},
        {"2024-03-05T08:30Z+01:00", {}}, {"2024-03-05T08:30:00:00", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(read_date_time(c.text), c.value) << c.text;
}

// A zone west of Greenwich by a half hour: the sign and the minutes.  What is
// written reads back as the same instant, in summer time, in the hour the
// clocks repeat and with an old local mean time's seconds too.
TEST(Readings, IsoDateTimeCarriesTheOffset) {
    time_zone tz("XXX+5:30");
    EXPECT_EQ(iso_date_time(0), "1969-12-31T18:30:00-05:30");
    EXPECT_EQ(iso_date_time(std::numeric_limits<long>::max()), "");
    for (const char* zone : {berlin, "LMT-2:30:17"}) {
        time_zone other(zone);
        for (const long t : {0L, 1709627459L, 1720160000L, 1729989000L, 1729992600L, local_time(1801, 1, 1)})
            EXPECT_EQ(read_date_time(iso_date_time(t)), t) << zone << " " << iso_date_time(t);
    }
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
