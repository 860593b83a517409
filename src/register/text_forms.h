// The texts in which the register's values are shown: the command line's
// print lines and the editor's menu and fields.  The argument's type alone
// picks the form, so a calendar time must arrive as long and a counter never
// as long.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A sum: fixed point with two decimals, as printf's %.2f.
std::string anyToWString(double value);

// A calendar time: local "DD.MM.YYYY hh:mm"; "??.??.???? ??:??" for a time
// the C library cannot convert.
std::string anyToWString(long value);

// A number: plain decimal.
template <typename T>
std::string anyToWString(T value) {
    return std::to_string(value);
}

// Typed texts to values.  A text is read only when it is wholly of its
// value's form; anything else is no value (nullopt), so that what is stored is
// always what was typed and never what a lenient reading made of it.

// Decimal digits only, 0 to 65535.
std::optional<std::uint16_t> read_integer(std::string_view text);

// Digits with at most one decimal point or decimal comma, 0 to
// 999999999999.99, the range of the file's 14 digits.  More than two
// decimals round up to the next hundredth, as the file stores an amount.
std::optional<double> read_sum(std::string_view text);

// "DD.MM.YYYY" or "DD.MM.YYYY hh:mm": a day that exists, from 01.01.1801 to
// 31.12.9998, at a time of day that exists, made a calendar time by mktime in
// local time (in a gap of the clock, the time mktime gives).  Also ISO 8601,
// "YYYY-MM-DDThh:mm", optionally with ":ss" and then "Z" or an offset
// "+hh:mm" ("-", and ":ss" after it, as iso_date_time writes them): without
// an offset local time as above, with one that instant, whose local date must
// lie in the same range; so what iso_date_time writes reads back as the same
// calendar time.
std::optional<long> read_date_time(std::string_view text);

// A calendar time as ISO 8601 local time with its UTC offset,
// "2024-03-13T08:30:00+03:00"; empty for a time the C library cannot convert.
std::string iso_date_time(long value);

// Text that comes from elsewhere (a process name, a user name, a path, a typed
// value) as it may be shown on a terminal or in the log: control characters,
// DEL and bytes that are not valid UTF-8 become "\\r", "\\033", "\\xff" and the
// like, and "\\" becomes "\\\\", so nothing it holds can move a cursor or start
// a line, and the text stays readable.
std::string escaped(std::string_view text);

// `text` as a JSON string, in double quotes; control characters as \u00XX.
std::string json_string(std::string_view text);
