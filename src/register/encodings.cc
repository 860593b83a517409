// The stored forms of amounts, dates and times.
//
// Amount: 7 bytes of packed decimal, two digits a byte, the more significant
// digit in the high half, byte 0 the most significant.  The 14 digits count
// hundredths: 1234.56 is 00 00 00 00 12 34 56.  No sign, no length.
//
// Date: a day number in which 28.12.1800 is day 0 (1.1.1801 is day 4).
// Time: hundredths of a second since local midnight.
//
// Both go through the process's local time zone: the stored pair is a local
// date and a local time of day, and the same pair means other moments in
// other zones.
#include "register/registry.h"

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's
// algorithm); exact for every date the register can hold and far beyond.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct civil {
    std::int64_t year, month, day;  // month 1..12
};

civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + era * 400 + (m <= 2), m, d};
}

const std::int64_t day_zero = days_from_civil(1800, 12, 28);

// Day numbers beyond this reach years that struct tm cannot hold.
constexpr std::int64_t day_limit = 365LL * 2'000'000'000;

bool local(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

// A whole number's remainder by 10^12, exactly as fmod gives it, worked out
// from the number's bits (whole = m * 2^e): fmod alone would make every run
// of the program load the maths library.
std::uint64_t low_twelve_digits(double whole) {
    constexpr std::uint64_t modulus = 1'000'000'000'000ULL;
    const auto bits = std::bit_cast<std::uint64_t>(whole);
    const int biased = static_cast<int>(bits >> 52 & 0x7FF);
    const std::uint64_t m = (bits & ((1ULL << 52) - 1)) | (biased ? 1ULL << 52 : 0);
    int e = (biased ? biased : 1) - 1075;
    if (e < 0) return e > -64 ? (m >> -e) % modulus : 0;  // the bits shifted out are 0 in a whole number
    std::uint64_t r = m % modulus;
    for (; e > 0; --e) r = r * 2 % modulus;  // below 2 * 10^12: no overflow
    return r;
}

// Whole hundredths k >= 0 such that k / 100 is the smallest value that is not
// below `amount`, reduced to the 14 digits the field holds.
std::uint64_t hundredths(double amount) {
    constexpr std::uint64_t digits14 = 100'000'000'000'000ULL;
    if (!(amount > 0) || std::isinf(amount)) return 0;  // no sign in the field; NaN too
    constexpr double exact = 9007199254740992.0;          // 2^53: whole numbers stay exact below
    if (amount * 100 < exact) {
        std::uint64_t k = static_cast<std::uint64_t>(std::ceil(amount * 100));
        while (k > 0 && static_cast<double>(k - 1) / 100 >= amount) --k;
        while (static_cast<double>(k) / 100 < amount) ++k;
        return k % digits14;
    }
    // Far beyond the field's 14 digits: keep the lowest ones, taking the whole
    // part and the fraction apart so that nothing is rounded or overflows.
    const double whole = std::floor(amount);
    const double fraction = amount - whole;
    std::uint64_t cents = 0;
    while (cents < 100 && static_cast<double>(cents) / 100 < fraction) ++cents;
    return (low_twelve_digits(whole) * 100 + cents) % digits14;
}

}  // namespace

double registry::buffToDouble(const unsigned char* buff) const {
    double v = 0;
    for (int i = 0; i < 7; ++i) v = (v * 10 + (buff[i] >> 4)) * 10 + (buff[i] & 0x0F);
    return v / 100;
}

void registry::doubleToBuff(double amount, unsigned char* buff) const {
    std::uint64_t k = hundredths(amount);
    for (int i = 6; i >= 0; --i) {
        const unsigned low = k % 10;
        k /= 10;
        const unsigned high = k % 10;
        k /= 10;
        buff[i] = static_cast<unsigned char>(high << 4 | low);
    }
}

std::time_t registry::ClarionDateToDateTime(std::int64_t day, std::time_t base) const {
    std::tm t;
    if (day < -day_limit || day > day_limit || !local(base, t)) return -1;
    const civil c = civil_from_days(day + day_zero);
    t.tm_year = static_cast<int>(c.year - 1900);
    t.tm_mon = static_cast<int>(c.month - 1);
    t.tm_mday = static_cast<int>(c.day);
    t.tm_isdst = -1;  // the new date's own rule, not the base's
    return std::mktime(&t);
}

std::time_t registry::ClarionTimeToDateTime(std::int64_t time, std::time_t base) const {
    std::tm t;
    const std::int64_t hour = time / 360000;
    if (hour < INT_MIN || hour > INT_MAX || !local(base, t)) return -1;
    t.tm_hour = static_cast<int>(hour);
    t.tm_min = static_cast<int>(time / 6000 % 60);
    t.tm_sec = static_cast<int>(time / 100 % 60);
    t.tm_isdst = -1;
    return std::mktime(&t);
}

std::int64_t registry::DateTimeToClarionDate(std::time_t moment) const {
    std::tm t;
    if (!local(moment, t)) return 0;
    return days_from_civil(t.tm_year + 1900LL, t.tm_mon + 1, t.tm_mday) - day_zero;
}

std::int64_t registry::DateTimeToClarionTime(std::time_t moment) const {
    std::tm t;
    if (!local(moment, t)) return 0;
    return t.tm_hour * 360000LL + t.tm_min * 6000LL + t.tm_sec * 100LL;
}
