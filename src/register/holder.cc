#include "register/holder.h"

#include "register/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>

namespace {

// A process's name as /proc keeps it, without its line end.
std::string command_name(const char* pid) {
    char name[64] = {};
    const int fd = open(("/proc/" + std::string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? -1 : read(fd, name, sizeof name - 1);
    if (fd >= 0) close(fd);
    std::string s(name, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// Whether no other descriptor is open on the file: a write lease, taken and
// dropped at once on `fd`, the only descriptor this process has on it.  A
// lease being broken signals its holder with SIGIO, whose default ends the
// process, so it is ignored meanwhile (an ignored signal is dropped, never
// left pending).  Nothing is known when the file system or the caller cannot
// take leases.
std::optional<bool> nobody_else_open(int fd) {
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGIO, &ignore, &saved);
    std::optional<bool> alone;
    if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
        alone = true;
        fcntl(fd, F_SETLEASE, F_UNLCK);
    } else if (errno == EAGAIN || errno == EBUSY) {
        alone = false;
    }
    sigaction(SIGIO, &saved, nullptr);
    return alone;
}

}  // namespace

std::optional<holder> find_holder(const std::string& path) {
    const int fd = open_followed(path, O_RDONLY);
    if (fd < 0) return std::nullopt;  // the run's own open says why
    struct stat reg;
    const bool known = fstat(fd, &reg) == 0;
    const std::optional<bool> alone = known ? nobody_else_open(fd) : std::nullopt;
    close(fd);
    if (!known || alone.value_or(false)) return std::nullopt;
    // A refused lease, or a scan cut short, leaves a holder without a name.
    const std::optional<holder> unnamed = holder{0, ""};
    DIR* proc = opendir("/proc");
    if (!proc) return alone.has_value() ? unnamed : std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(scan_limit_ms);
    bool late = false;
    std::optional<holder> found;
    const int self = getpid();
    while (const dirent* p = late ? nullptr : readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (*end || pid <= 0 || pid == self) continue;
        const std::string fds = "/proc/" + std::string(p->d_name) + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (!dir) continue;  // gone, or another user's
        while (const dirent* d = readdir(dir)) {
            if ((late = std::chrono::steady_clock::now() > deadline)) break;
            struct stat st;
            if (d->d_name[0] == '.' || stat((fds + "/" + d->d_name).c_str(), &st) != 0) continue;
            if (st.st_dev != reg.st_dev || st.st_ino != reg.st_ino) continue;
            found = holder{static_cast<int>(pid), command_name(p->d_name)};
            break;
        }
        closedir(dir);
        if (found) break;
    }
    closedir(proc);
    return !found && (late || alone.has_value()) ? unnamed : found;
}
