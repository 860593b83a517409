// Who else has a register open: the cash desk program, most likely, which
// the technician should know of before changing what it is counting.
#pragma once

#include <optional>
#include <string>

// Another process that has the register open.  Whether there is one costs a
// write lease taken and dropped at once on the file the register's path
// names (through a link the register's open would follow), which the kernel
// refuses exactly while another descriptor is open on it; only then, or where
// the file system or the caller has no leases, /proc/*/fd is scanned to name
// it.  The scan gives up after scan_limit: a till with many descriptors open
// must not make every run wait.  `pid` is 0 when no process could be named
// though one has the file open, or may have: the lease was refused, or the
// scan ran out of time.  `name` is the process's own, unescaped.
struct holder {
    int pid;
    std::string name;
};
inline constexpr long scan_limit_ms = 200;
std::optional<holder> find_holder(const std::string& path);
