// Amounts too large for the field keep their lowest digits.  The remainder is
// worked out from the double's bits, so every size of exponent is walked: a
// doubling too many or too few shows at once against fmod.
#include "register/registry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

TEST(AmountsBeyondTheField, KeepTheirLowestTwelveWholeDigitsExactly) {
    const registry codec("");
    std::vector<double> values = {1e14, 123456789012345678.0, 1e20, 1e300, std::nextafter(HUGE_VAL, 0.0)};
    for (int e = 47; e <= 1023; ++e)
        for (double m : {1.0, 1.5, 0x1.fffffffffffffp0, 0x1.0000000000001p0}) values.push_back(std::ldexp(m, e));
    std::mt19937_64 random(1296);
    for (int i = 0; i < 2000; ++i)
        values.push_back(std::ldexp(static_cast<double>(random() >> 11), 47 + static_cast<int>(random() % 920)));

    for (double v : values) {
        // Below this the hundredths are exact and another path encodes them;
        // a fraction adds its cents after the whole digits.
        if (v * 100 < 0x1p53 || v != std::floor(v)) continue;
        unsigned char stored[7];
        codec.doubleToBuff(v, stored);
        EXPECT_EQ(codec.buffToDouble(stored), std::fmod(v, 1e12)) << std::hexfloat << v;
    }
}

}  // namespace
