#include "register/holder.h"

#include "register/text_forms.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
// dropped at once.  A lease being broken signals its holder with SIGIO, whose
// default ends the process, so it is ignored meanwhile (an ignored signal is
// dropped, never left pending).  Nothing is known when the file system or
// the caller cannot take leases.
std::optional<bool> nobody_else_open(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
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
    close(fd);
    sigaction(SIGIO, &saved, nullptr);
    return alone;
}

}  // namespace

std::optional<holder> find_holder(const std::string& path) {
    struct stat reg;
    if (stat(path.c_str(), &reg) != 0 || !S_ISREG(reg.st_mode)) return std::nullopt;
    if (nobody_else_open(path).value_or(false)) return std::nullopt;
    DIR* proc = opendir("/proc");
    if (!proc) return std::nullopt;
    std::optional<holder> found;
    const int self = getpid();
    while (const dirent* p = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (*end || pid <= 0 || pid == self) continue;
        const std::string fds = "/proc/" + std::string(p->d_name) + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (!dir) continue;  // gone, or another user's
        while (const dirent* d = readdir(dir)) {
            struct stat st;
            if (d->d_name[0] == '.' || stat((fds + "/" + d->d_name).c_str(), &st) != 0) continue;
            if (st.st_dev != reg.st_dev || st.st_ino != reg.st_ino) continue;
            found = holder{static_cast<int>(pid), escaped(command_name(p->d_name))};
            break;
        }
        closedir(dir);
        if (found) break;
    }
    closedir(proc);
    return found;
}
