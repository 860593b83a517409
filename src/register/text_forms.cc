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

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0.
std::size_t utf8_length(std::string_view text, std::size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t n = 0;
    unsigned min = 0;
    unsigned cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) n = 2, min = 0x80, cp = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF) n = 3, min = 0x800, cp = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4) n = 4, min = 0x10000, cp = lead & 0x07u;
    else return 0;
    if (i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    // Overlong forms, surrogates and C1 controls are no text to show.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || (cp >= 0x80 && cp <= 0x9F)) return 0;
    return n;
}

}  // namespace

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            if (c == '\\') out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (const std::size_t n = c >= 0x80 ? utf8_length(text, i) : 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        char code[8];
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case 033: out += "\\033"; break;
        default:
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        }
        ++i;
    }
    return out;
}
