#include "register/failure.h"

#include "register/text_forms.h"

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

// `format` with each "%s" replaced by the next of `args`, escaped.
std::string formatted(const char* format, std::initializer_list<const std::string*> args) {
    std::string out;
    auto next = args.begin();
    for (const char* at = format; *at; ++at) {
        if (at[0] == '%' && at[1] == 's' && next != args.end()) {
            out += escaped(**next++);
            ++at;
        } else {
            out += *at;
        }
    }
    return out;
}
}  // namespace

void on_failure(void (*restore)()) { restore_terminal = restore; }
void on_failure_cleanup(void (*cleanup)()) { remove_temporaries = cleanup; }

void fail(const char* message) { give_up(message); }

void fail(const char* format, const std::string& path) { give_up(formatted(format, {&path})); }

void fail(const char* format, const std::string& first, const std::string& second) {
    give_up(formatted(format, {&first, &second}));
}

void warn(const char* format, const std::string& path) {
    waiting += formatted(format, {&path});
    if (!restore_terminal) show_warnings();
}

void warn(const char* format, const std::string& first, const std::string& second, const std::string& third) {
    waiting += formatted(format, {&first, &second, &third});
    if (!restore_terminal) show_warnings();
}

void warn(const char* format, const std::string& first, const std::string& second) {
    waiting += formatted(format, {&first, &second});
    if (!restore_terminal) show_warnings();
}

void show_warnings() {
    std::fflush(stdout);
    std::fputs(waiting.c_str(), stderr);
    waiting.clear();
}

std::string take_warnings() {
    std::string lines;
    lines.swap(waiting);
    return lines;
}

void add_warning_lines(const std::string& lines) {
    waiting += lines;
    if (!restore_terminal) show_warnings();
}
