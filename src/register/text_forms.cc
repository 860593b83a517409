#include "register/text_forms.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

// Without string streams: the first one made in a run builds the C++
// runtime's whole table of locale facets, which costs a `--print` more time
// than everything else it does.  The program sets only the character-type
// locale, so printf's numbers always have a "." for their point.

std::string anyToWString(double value) {
    char text[400];  // the largest double in fixed point has 309 digits
    const int n = std::snprintf(text, sizeof text, "%.2f", value);
    return std::string(text, n > 0 ? std::min(static_cast<std::size_t>(n), sizeof text - 1) : 0);
}

std::string anyToWString(long value) {
    const std::time_t t = value;
    std::tm tm;
    if (!localtime_r(&t, &tm)) return "??.??.???? ??:??";
    char text[64];
    std::snprintf(text, sizeof text, "%02d.%02d.%02lld %02d:%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900LL,
                  tm.tm_hour, tm.tm_min);
    return text;
}

int read_int(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long v = 0;
    constexpr long long limit = 1LL << 32;  // past int either way; stops growth
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        if (v < limit) v = v * 10 + (text[i] - '0');
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

unsigned short read_integer(const std::string& text) { return static_cast<unsigned short>(read_int(text)); }

double read_sum(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

long read_date_time(const std::string& text) {
    const auto digit = [&](std::size_t pos) {
        const unsigned char c = pos < text.size() ? static_cast<unsigned char>(text[pos]) : '0';
        return static_cast<int>(c) - '0';
    };
    const auto number = [&](std::size_t from, std::size_t count) {
        int v = 0;
        for (std::size_t i = 0; i < count; ++i) v = v * 10 + digit(from + i);
        return v;
    };
    std::tm t{};
    t.tm_mday = number(0, 2);
    t.tm_mon = number(3, 2) - 1;
    t.tm_year = number(6, 4) - 1900;
    t.tm_hour = number(11, 2);
    t.tm_min = number(14, 2);
    t.tm_sec = 0;
    t.tm_isdst = -1;  // let the zone's rules decide, as a person reading the clock would
    return std::mktime(&t);
}
