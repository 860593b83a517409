// What a technician leaves behind on a till: one line in the system log per
// change of a register, and the image it replaced kept beside it.
#pragma once

#include "register/fields.h"
#include "register/file_io.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class registry;

// The register's name with "-" appended: where the image a change replaced is
// kept, as the account tools keep /etc/passwd-.
std::string kept_path(const std::string& register_path);

// What the last change did, kept beside that image ("cash.reg-.last"): the
// fields it changed, their bytes before and after it, in the order of
// register_fields, and the file's length before and after.  An undo puts back
// only these fields, and only while they still hold what the change wrote.
struct change_record {
    field_set fields;
    std::array<unsigned char, 50> before{}, after{};
    std::uint64_t length_before = 0, length_after = 0;
};
std::string record_path(const std::string& register_path);
std::string encode_record(const register_image& before, std::size_t length_before, const register_image& after,
                          std::size_t length_after);
// Nothing for bytes that are no record.
std::optional<change_record> decode_record(const std::string& bytes);

// The log line of a change from `before` to `after`: the register, who made
// it (who_text() of this_run()), what kind of change ("create", "undo" or
// none) and each value that changed as "name old -> new" in its printed form;
// `kept` false notes that the previous version could not be kept.
std::string trail_line(const std::string& path, const char* action, const registry& before, const registry& after,
                       bool kept = true);

// Why the changes of this run are made, and the operator who had them made
// from afar (an Ansible controller's user), for their log lines and journal
// records; empty for none.
void set_trail_reason(std::string reason);
void set_trail_operator(std::string name);

// Who makes this run's changes, as its records keep it: the real user,
// SUDO_USER, the operator, the terminal, the SSH client's address and the
// reason, each empty when there is none.
struct trail_who {
    std::string user, sudo_user, operator_name, tty, origin, reason;
};
trail_who this_run();
// "user U, SUDO_USER S, operator O, tty T, from A, reason "R"", the empty ones
// left out, every text escaped and a '"' in the reason too.
std::string who_text(const trail_who& who);

// Sends a line to the system log under the ident "tarnex".  A till without a
// running log loses the line; that never fails a run and prints nothing.
void log_line(const std::string& line);
