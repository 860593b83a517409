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

// Whether `text` is laid out as `form`, in which 'd' stands for a digit.
bool shaped(std::string_view text, std::string_view form) {
    if (text.size() != form.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (form[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != form[i]) return false;
    return true;
}

int number(std::string_view text, std::size_t from, std::size_t count) {
    return static_cast<int>(value_of(text.substr(from, count), 9999));
}

// The local year of a calendar time, or 0.
long long local_year(std::time_t t) {
    std::tm tm;
    return localtime_r(&t, &tm) ? tm.tm_year + 1900LL : 0;
}

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
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    std::optional<long> east;  // the offset from UTC the text gives, in seconds
    if (shaped(text, "dd.dd.dddd") || shaped(text, "dd.dd.dddd dd:dd")) {
        day = number(text, 0, 2), month = number(text, 3, 2), year = number(text, 6, 4);
        if (text.size() > 10) hour = number(text, 11, 2), minute = number(text, 14, 2);
    } else if (shaped(text.substr(0, 16), "dddd-dd-ddTdd:dd")) {
        // ISO 8601, as --json writes it: whole seconds, and the offset with
        // seconds too for a zone's old local mean time.
        year = number(text, 0, 4), month = number(text, 5, 2), day = number(text, 8, 2);
        hour = number(text, 11, 2), minute = number(text, 14, 2);
        std::string_view zone = text.substr(16);
        if (shaped(zone.substr(0, 3), ":dd")) second = number(zone, 1, 2), zone.remove_prefix(3);
        if (zone == "Z") {
            east = 0;
        } else if (!zone.empty()) {
            const std::string_view hms = zone.substr(1);
            if ((zone[0] != '+' && zone[0] != '-') || !(shaped(hms, "dd:dd") || shaped(hms, "dd:dd:dd")))
                return std::nullopt;
            const int h = number(hms, 0, 2), m = number(hms, 3, 2), s = hms.size() > 5 ? number(hms, 6, 2) : 0;
            if (h > 23 || m > 59 || s > 59) return std::nullopt;
            east = (zone[0] == '-' ? -1 : 1) * (h * 3600L + m * 60L + s);
        }
    } else {
        return std::nullopt;
    }
    constexpr int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1801 || year > 9998 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    if (day < 1 || day > month_days[month - 1] + (month == 2 && leap(year))) return std::nullopt;
    std::tm t{};
    t.tm_mday = day;
    t.tm_mon = month - 1;
    t.tm_year = year - 1900;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    if (!east) {
        t.tm_isdst = -1;  // let the zone's rules decide, as a person reading the clock would
        return std::mktime(&t);
    }
    // An instant: the file keeps it as the till's local date and time, which
    // must still be a day the file may hold.
    const std::time_t instant = timegm(&t) - *east;
    const long long local = local_year(instant);
    if (local < 1801 || local > 9998) return std::nullopt;
    return instant;
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

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) {
            out += c;
            continue;
        }
        char code[8];
        std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
        out += code;
    }
    return out + "\"";
}
