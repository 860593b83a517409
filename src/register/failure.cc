#include "register/failure.h"

#include <cstdio>
#include <cstdlib>

namespace {
void (*restore_terminal)() = nullptr;
void (*remove_temporaries)() = nullptr;
std::string waiting;  // warnings held back while the editor owns the terminal

[[noreturn]] void give_up(const std::string& message) {
    if (remove_temporaries) {
        auto cleanup = remove_temporaries;
        remove_temporaries = nullptr;
        cleanup();
    }
    if (restore_terminal) {
        auto restore = restore_terminal;
        restore_terminal = nullptr;  // a failure inside the restore must not loop
        restore();
    }
    std::fflush(stdout);
    show_warnings();
    std::fputs(message.c_str(), stderr);
    std::exit(1);
}

std::string formatted(const char* format, const std::string& a, const std::string* b = nullptr) {
    const int n = b ? std::snprintf(nullptr, 0, format, a.c_str(), b->c_str()) : std::snprintf(nullptr, 0, format, a.c_str());
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (b)
        std::snprintf(out.data(), out.size() + 1, format, a.c_str(), b->c_str());
    else
        std::snprintf(out.data(), out.size() + 1, format, a.c_str());
    return out;
}
}  // namespace

void on_failure(void (*restore)()) { restore_terminal = restore; }
void on_failure_cleanup(void (*cleanup)()) { remove_temporaries = cleanup; }

void fail(const char* format, const std::string& path) { give_up(formatted(format, path)); }

void fail(const char* format, const std::string& first, const std::string& second) {
    give_up(formatted(format, first, &second));
}

void warn(const char* format, const std::string& path) {
    waiting += formatted(format, path);
    if (!restore_terminal) show_warnings();
}

void warn(const char* format, const std::string& first, const std::string& second) {
    waiting += formatted(format, first, &second);
    if (!restore_terminal) show_warnings();
}

void show_warnings() {
    std::fflush(stdout);
    std::fputs(waiting.c_str(), stderr);
    waiting.clear();
}
