#include "register/registry.h"
#include "tz.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>

namespace {

using bytes7 = std::array<unsigned char, 7>;

const registry codec("");

bytes7 encode(double amount) {
    bytes7 b{};
    codec.doubleToBuff(amount, b.data());
    return b;
}

TEST(Amount, DecodesPackedDigits) {
    EXPECT_EQ(codec.buffToDouble(bytes7{0, 0, 0, 0, 0x12, 0x34, 0x56}.data()), 1234.56);
    EXPECT_EQ(codec.buffToDouble(bytes7{0, 0, 0, 0, 0x90, 0, 0}.data()), 9000.00);
    EXPECT_EQ(codec.buffToDouble(bytes7{0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99}.data()), 999999999999.99);
    // Damaged halves are not checked: 0xA counts ten in its place.
    EXPECT_EQ(codec.buffToDouble(bytes7{0, 0, 0, 0, 0, 0, 0xA0}.data()), 1.00);
}

TEST(Amount, EncodesTheSmallestHundredthNotBelowTheAmount) {
    EXPECT_EQ(encode(0.07), (bytes7{0, 0, 0, 0, 0, 0, 0x07}));
    EXPECT_EQ(encode(0.29), (bytes7{0, 0, 0, 0, 0, 0, 0x29}));
    EXPECT_EQ(encode(12.345), (bytes7{0, 0, 0, 0, 0, 0x12, 0x35}));
    EXPECT_EQ(encode(1234.56), (bytes7{0, 0, 0, 0, 0x12, 0x34, 0x56}));
    EXPECT_EQ(encode(999999999999.99), (bytes7{0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99}));
    EXPECT_EQ(encode(1000000000000.00), bytes7{});  // only 14 digits are kept
    EXPECT_EQ(encode(1234567000000000.25), (bytes7{0x56, 0x70, 0, 0, 0, 0, 0x25}));
}

TEST(Amount, NoSignNoNonsense) {
    for (double odd : {-0.0, -3.5, -1e300, std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
        EXPECT_EQ(encode(odd), bytes7{}) << odd;
    // Huge finite amounts keep their 14 lowest digits without overflow.
    EXPECT_EQ(encode(std::numeric_limits<double>::max()).size(), 7u);
    EXPECT_EQ(encode(1e20), bytes7{});
    EXPECT_EQ(encode(1152921504606846976.0), (bytes7{0x50, 0x46, 0x06, 0x84, 0x69, 0x76, 0x00}));  // 2^60
}

TEST(Amount, EveryStoredAmountSurvivesLoadAndSave) {
    std::mt19937_64 rng(1);
    std::uniform_int_distribution<std::uint64_t> any14(0, 99'999'999'999'999ULL);
    for (int i = 0; i < 300000; ++i) {
        std::uint64_t k = i < 100000 ? static_cast<std::uint64_t>(i) : any14(rng);
        bytes7 b{};
        for (int j = 6; j >= 0; --j, k /= 100) b[j] = static_cast<unsigned char>((k % 100 / 10) << 4 | k % 10);
        ASSERT_EQ(encode(codec.buffToDouble(b.data())), b) << i;
    }
}

TEST(ClarionDate, KnownDays) {
    time_zone tz(utc);
    struct {
        int y, m, d;
        std::int64_t day;
    } known[] = {{1801, 1, 1, 4},        {1970, 1, 1, 61730},   {2000, 12, 31, 73052}, {2001, 1, 1, 73053},
                 {2024, 2, 29, 81512},   {2024, 12, 31, 81818}, {2026, 12, 7, 82524},  {2068, 12, 31, 97889},
                 {2020, 1, 1, 79992},    {1800, 12, 28, 0}};
    for (const auto& k : known) {
        const std::time_t t = local_time(k.y, k.m, k.d);
        EXPECT_EQ(codec.DateTimeToClarionDate(t), k.day) << k.y << "-" << k.m << "-" << k.d;
        EXPECT_EQ(codec.ClarionDateToDateTime(k.day, 0), t) << k.day;
    }
}

// Every date the register can meet comes back as itself, in a zone without
// and in a zone with summer time (where a midnight base can shift an hour).
TEST(ClarionDate, EveryDayRoundTrips) {
    for (const char* zone : {utc, berlin}) {
        time_zone tz(zone);
        const std::int64_t first = 4, last = codec.DateTimeToClarionDate(local_time(9998, 12, 31, 12));
        for (std::int64_t day = first; day <= last; ++day) {
            const std::time_t t = codec.ClarionDateToDateTime(day, 0);
            ASSERT_EQ(codec.DateTimeToClarionDate(t), day) << zone;
        }
    }
}

TEST(ClarionTime, HundredthsSinceLocalMidnight) {
    time_zone tz(berlin);
    const std::time_t t = local_time(2024, 3, 31, 12, 34, 56);  // a summer-time switch day
    EXPECT_EQ(codec.DateTimeToClarionTime(t), 4529600);
    EXPECT_EQ(codec.DateTimeToClarionTime(local_time(2024, 1, 1, 23, 59, 59)), 8639900);

    const std::time_t day = codec.ClarionDateToDateTime(codec.DateTimeToClarionDate(t), 0);
    EXPECT_EQ(codec.ClarionTimeToDateTime(4529600, day), t);
    EXPECT_EQ(codec.ClarionTimeToDateTime(4529699, day), t);  // hundredths dropped
    EXPECT_EQ(codec.ClarionTimeToDateTime(0, day), local_time(2024, 3, 31));
    EXPECT_EQ(codec.ClarionTimeToDateTime(8640000, day), local_time(2024, 4, 1));
}

TEST(ClarionDate, SameStoredPairMeansLocalWallClockInEveryZone) {
    std::int64_t day, time;
    {
        time_zone tz(moscow);
        const std::time_t t = local_time(2024, 3, 5, 8, 30);
        day = codec.DateTimeToClarionDate(t);
        time = codec.DateTimeToClarionTime(t);
        EXPECT_EQ(codec.ClarionTimeToDateTime(time, codec.ClarionDateToDateTime(day, 0)), t);
    }
    time_zone tz(utc);
    EXPECT_EQ(codec.ClarionTimeToDateTime(time, codec.ClarionDateToDateTime(day, 0)), local_time(2024, 3, 5, 8, 30));
    // A date of 0 with a time is 28.12.1800 at that time.
    EXPECT_EQ(codec.ClarionTimeToDateTime(4529600, codec.ClarionDateToDateTime(0, 0)),
              local_time(1800, 12, 28, 12, 34, 56));
}

TEST(ClarionDate, ExtremeArgumentsAreDefined) {
    time_zone tz(utc);
    for (std::int64_t v : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1}, std::int64_t{0xFFFFFFFF},
                           std::numeric_limits<std::int64_t>::max()}) {
        codec.ClarionDateToDateTime(v, 0);
        codec.ClarionTimeToDateTime(v, 0);
        codec.ClarionDateToDateTime(4, v);
    }
    EXPECT_EQ(codec.DateTimeToClarionDate(std::numeric_limits<std::time_t>::max()), 0);
    EXPECT_EQ(codec.DateTimeToClarionTime(std::numeric_limits<std::time_t>::max()), 0);
}

}  // namespace
