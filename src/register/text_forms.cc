#include "register/text_forms.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <locale>

std::string anyToWString(double value) {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << std::fixed << std::setw(2) << std::setprecision(2) << value;
    return s.str();
}

std::string anyToWString(long value) {
    const std::time_t t = value;
    std::tm tm;
    if (!localtime_r(&t, &tm)) return "??.??.???? ??:??";
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << std::setfill('0') << std::setw(2) << tm.tm_mday << '.' << std::setw(2) << tm.tm_mon + 1 << '.'
      << std::setw(2) << tm.tm_year + 1900LL << ' ' << std::setw(2) << tm.tm_hour << ':' << std::setw(2)
      << tm.tm_min;
    return s.str();
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
