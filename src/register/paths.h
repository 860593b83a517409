// The till's fixed files.  TARNEX_ROOT, when set and not empty, moves them
// under another directory (a till's disk mounted elsewhere, or a test's
// scratch tree), the way dpkg --root does.
#pragma once

#include <string>

#include <sys/stat.h>

inline constexpr const char* register_file = "/quelvaris/cash/data/cash.reg";
inline constexpr const char* cashcode_file = "/quelvaris/cash/conf/cashcode";

// `fixed` as this run sees it: under TARNEX_ROOT when that is set.
std::string rooted(const char* fixed);

// Whether `file` (a register's status) is the same file as the till's own
// register, rooted(register_file), wherever links lead; a till without one
// has no register that is its own.
bool tills_register(const struct stat& file);
