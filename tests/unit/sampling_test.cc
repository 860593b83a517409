// The share of a long whole-program loop that a build tries.
#include "process.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::size_t tried(std::size_t n) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += sampled(i, n);
    return count;
}

TEST(Sampling, BothEndsOfEveryLoopAreTried) {
    for (const std::size_t n : {1, 2, 7, 8, 13, 360, 1296}) {
        EXPECT_TRUE(sampled(0, n)) << n;
        EXPECT_TRUE(sampled(n - 1, n)) << n;
    }
}

TEST(Sampling, OnlyASanitizerBuildLeavesCasesOut) {
#ifdef TARNEX_SAMPLE_EVERY
    EXPECT_LE(tried(1296), 1296 / TARNEX_SAMPLE_EVERY + 2);
    EXPECT_GE(tried(1296), 1296 / TARNEX_SAMPLE_EVERY);
#else
    EXPECT_EQ(tried(1296), 1296u);
#endif
}

// The hostile-argument loop runs every value under every option, flattened
// into one case number: each value must still be tried under some option.
TEST(Sampling, ANestedLoopStillTriesEveryInnerCase) {
    const std::size_t options = 12, values = 30;
    std::set<std::size_t> seen;
    for (std::size_t o = 0; o < options; ++o)
        for (std::size_t v = 0; v < values; ++v)
            if (sampled(o * values + v, options * values)) seen.insert(v);
    EXPECT_EQ(seen.size(), values);
}

}  // namespace
