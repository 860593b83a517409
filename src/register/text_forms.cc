#include "register/text_forms.h"

#include <algorithm>
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

namespace {

bool digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The digits' value, or more than `limit` when it would exceed it.
std::uint64_t value_of(std::string_view text, std::uint64_t limit) {
    std::uint64_t v = 0;
    for (char c : text) {
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > limit) return limit + 1;
    }
    return v;
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

std::optional<std::uint16_t> read_integer(std::string_view text) {
    if (!digits(text)) return std::nullopt;
    const std::uint64_t v = value_of(text, 65535);
    if (v > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

std::optional<double> read_sum(std::string_view text) {
    constexpr std::uint64_t most = 99'999'999'999'999ULL;  // 999999999999.99 in hundredths
    const std::size_t point = text.find_first_of(".,");
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
    if (whole.empty() && fraction.empty()) return std::nullopt;
    if ((!whole.empty() && !digits(whole)) || (!fraction.empty() && !digits(fraction))) return std::nullopt;
    std::uint64_t cents = value_of(whole, most) * 100;
    if (fraction.size() > 0) cents += static_cast<std::uint64_t>(fraction[0] - '0') * 10;
    if (fraction.size() > 1) cents += static_cast<std::uint64_t>(fraction[1] - '0');
    // What lies below a hundredth makes the next one, as the file rounds.
    if (fraction.size() > 2 && fraction.find_first_not_of('0', 2) != std::string_view::npos) ++cents;
    if (cents > most) return std::nullopt;
    return static_cast<double>(cents) / 100;
}

std::optional<long> read_date_time(std::string_view text) {
    constexpr std::string_view form = "dd.dd.dddd dd:dd";
    if (text.size() != 10 && text.size() != form.size()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (form[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != form[i]) return std::nullopt;
    const auto number = [&](std::size_t from, std::size_t count) {
        return from >= text.size() ? 0 : static_cast<int>(value_of(text.substr(from, count), 9999));
    };
    const int day = number(0, 2), month = number(3, 2), year = number(6, 4), hour = number(11, 2),
              minute = number(14, 2);
    constexpr int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1801 || year > 9998 || month < 1 || month > 12 || hour > 23 || minute > 59) return std::nullopt;
    if (day < 1 || day > month_days[month - 1] + (month == 2 && leap(year))) return std::nullopt;
    std::tm t{};
    t.tm_mday = day;
    t.tm_mon = month - 1;
    t.tm_year = year - 1900;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;  // let the zone's rules decide, as a person reading the clock would
    return std::mktime(&t);
}

std::string iso_date_time(long value) {
    const std::time_t t = value;
    std::tm tm;
    if (!localtime_r(&t, &tm)) return "";
    const long offset = tm.tm_gmtoff < 0 ? -tm.tm_gmtoff : tm.tm_gmtoff;
    char text[96];
    const int n = std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", tm.tm_year + 1900LL,
                                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                                tm.tm_gmtoff < 0 ? '-' : '+', offset / 3600, offset / 60 % 60);
    // A zone's old local mean time is off by seconds too.
    if (offset % 60 != 0 && n > 0 && static_cast<std::size_t>(n) < sizeof text)
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ":%02ld", offset % 60);
    return text;
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
