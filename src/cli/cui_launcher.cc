#include "editor/cui.h"

#include "register/failure.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace {

// The directory of the running program, "" when /proc cannot tell.
std::string own_directory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    const std::string exe(path, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1);
}

}  // namespace

void cui() {
    const std::string dir = own_directory();
    // Beside the program in a build tree; then where an install under any
    // prefix puts it; then where this build was configured to put it.
    std::string candidates[] = {dir + "tarnex-editor", dir + TARNEX_EDITOR_RELATIVE, TARNEX_EDITOR_INSTALLED};
    char* const argv[] = {const_cast<char*>("tarnex"), nullptr};
    for (const std::string& path : candidates)
        if (path.front() == '/' && access(path.c_str(), X_OK) == 0) execv(path.c_str(), argv);
    fail("Error: can't run file %s\n", TARNEX_EDITOR_INSTALLED);
}
