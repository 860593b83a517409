// The texts in which the register's values are shown: the command line's
// print lines and the editor's menu and fields.  The argument's type alone
// picks the form, so a calendar time must arrive as long and a counter never
// as long.
#pragma once

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

// Typed texts to values, as the C library's atoi, atof and mktime read them,
// but without their undefined corners.

// Leading white space, a sign, digits; what follows is ignored; no number
// reads as 0.  Saturates at the range of int instead of overflowing.
int read_int(const std::string& text);

// read_int kept to its low 16 bits: "70000" is 4464, "-1" is 65535.
unsigned short read_integer(const std::string& text);

// A decimal number with "." as the point, as atof reads it.
double read_sum(const std::string& text);

// "DD.MM.YYYY hh:mm" read by character position (missing characters count as
// "0"), each digit being its byte minus "0", normalised by mktime in local
// time; -1 when mktime cannot represent it.
long read_date_time(const std::string& text);

// Text that comes from elsewhere (a process name, a user name, a path, a typed
// value) as it may be shown on a terminal or in the log: control characters,
// DEL and bytes that are not valid UTF-8 become "\\r", "\\033", "\\xff" and the
// like, and "\\" becomes "\\\\", so nothing it holds can move a cursor or start
// a line, and the text stays readable.
std::string escaped(std::string_view text);
