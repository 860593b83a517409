// The one way the program gives up: restore what the user's terminal needs,
// write one "Error: " line to standard error, exit with status 1.
#pragma once

#include <string>

// Every text put in place of a "%s" (a path, a typed value) comes from
// elsewhere and is shown escaped (see escaped() in text_forms.h), so that no
// name a directory's owner chose can move the cursor or start a line; the
// format itself is the program's own and is written as it is.

// A message with nothing from elsewhere in it.
[[noreturn]] void fail(const char* message);
// `format` holds one %s for the path, e.g. "Error: can't open file %s for read\n".
[[noreturn]] void fail(const char* format, const std::string& path);
// `format` holds two %s, for `first` and `second`.
[[noreturn]] void fail(const char* format, const std::string& first, const std::string& second);

// Runs first on every failure; the editor hands in the code that ends its
// curses session, so that the error line lands on a working terminal.
void on_failure(void (*restore)());

// Runs on every failure before the message: removes the temporary files a
// run made and never put in place.
void on_failure_cleanup(void (*cleanup)());

// One "Warning: " line on standard error (`format` with one %s, or three).
// While a terminal restore is registered (the editor's screen), the line
// waits for show_warnings() or a failure, so that it never lands inside the
// screen.
void warn(const char* format, const std::string& path);
void warn(const char* format, const std::string& first, const std::string& second);
void warn(const char* format, const std::string& first, const std::string& second, const std::string& third);
void show_warnings();
// The warnings held back so far, taken from the queue unshown; and lines of
// warnings (already escaped, each ending in a line end) put on it, as another
// process of the same run wrote them.
std::string take_warnings();
void add_warning_lines(const std::string& lines);
