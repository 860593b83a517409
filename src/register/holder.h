// Who else has a register open: the cash desk program, most likely, which
// the technician should know of before changing what it is counting.
#pragma once

#include <optional>
#include <string>

// Another process that has the register open.  Whether there is one costs a
// write lease taken and dropped at once, which the kernel refuses exactly
// while another descriptor is open on the file; only then, or where the file
// system has no leases, /proc/*/fd is scanned to name it.  `name` is escaped.
struct holder {
    int pid;
    std::string name;
};
std::optional<holder> find_holder(const std::string& path);
