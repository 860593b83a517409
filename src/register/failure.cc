#include "register/failure.h"

#include <cstdio>
#include <cstdlib>

namespace {
void (*restore_terminal)() = nullptr;
}

void on_failure(void (*restore)()) { restore_terminal = restore; }

void fail(const char* format, const std::string& path) {
    if (restore_terminal) {
        auto restore = restore_terminal;
        restore_terminal = nullptr;  // a failure inside the restore must not loop
        restore();
    }
    std::fflush(stdout);
    std::fprintf(stderr, format, path.c_str());
    std::exit(1);
}
