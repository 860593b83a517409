// The one way the program gives up: restore what the user's terminal needs,
// write one "Error: " line to standard error, exit with status 1.
#pragma once

#include <string>

// `format` holds one %s for the path, e.g. "Error: can't open file %s for read\n".
[[noreturn]] void fail(const char* format, const std::string& path);

// Runs first on every failure; the editor hands in the code that ends its
// curses session, so that the error line lands on a working terminal.
void on_failure(void (*restore)());
