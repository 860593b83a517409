// The till's fixed files.  TARNEX_ROOT, when set and not empty, moves them
// under another directory (a till's disk mounted elsewhere, or a test's
// scratch tree), the way dpkg --root does.
#pragma once

#include <string>

inline constexpr const char* register_file = "/quelvaris/cash/data/cash.reg";
inline constexpr const char* cashcode_file = "/quelvaris/cash/conf/cashcode";

// `fixed` as this run sees it: under TARNEX_ROOT when that is set.
std::string rooted(const char* fixed);
