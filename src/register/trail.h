// What a technician leaves behind on a till: one line in the system log per
// change of a register, and the image it replaced kept beside it.
#pragma once

#include "register/file_io.h"
#include "register/registry.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

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
// it (the real user, and SUDO_USER when set), from which terminal, the SSH
// client's address when SSH_CONNECTION is set, the reason given to
// set_trail_reason() in double quotes, what kind of change ("create", "undo"
// or none) and each value that changed as "name old -> new" in its printed
// form; `kept` false notes that the previous version could not be kept.
// Every text from elsewhere in it is escaped, and a '"' in the reason too.
std::string trail_line(const std::string& path, const char* action, const registry& before, const registry& after,
                       bool kept = true);

// Why the changes of this run are made, for their log lines; empty for none.
void set_trail_reason(std::string reason);

// Sends a line to the system log under the ident "tarnex".  A till without a
// running log loses the line; that never fails a run and prints nothing.
void log_line(const std::string& line);

// Another process that has the register open.  Whether there is one costs a
// write lease taken and dropped at once, which the kernel refuses exactly
// while another descriptor is open on the file; only then, or where the file
// system has no leases, /proc/*/fd is scanned to name it.  `name` is escaped.
struct holder {
    int pid;
    std::string name;
};
std::optional<holder> find_holder(const std::string& path);
