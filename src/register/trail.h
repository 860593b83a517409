// What a technician leaves behind on a till: one line in the system log per
// change of a register, and the image it replaced kept beside it.
#pragma once

#include "register/registry.h"

#include <optional>
#include <string>

// The register's name with "-" appended: where the image a change replaced is
// kept, as the account tools keep /etc/passwd-.
std::string kept_path(const std::string& register_path);

// The log line of a change from `before` to `after`: the register, who made
// it (the real user, and SUDO_USER when set), from which terminal, what kind
// of change ("create", "undo" or none) and each value that changed as
// "name old -> new" in its printed form.
std::string trail_line(const std::string& path, const char* action, const registry& before, const registry& after);

// Sends a line to the system log under the ident "tarnex".  A till without a
// running log loses the line; that never fails a run and prints nothing.
void log_line(const std::string& line);

// Another process that has the register open, found through /proc/*/fd.
struct holder {
    int pid;
    std::string name;
};
std::optional<holder> find_holder(const std::string& path);
