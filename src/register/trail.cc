#include "register/trail.h"

#include "register/members.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>

std::string kept_path(const std::string& register_path) { return register_path + "-"; }

namespace {

std::string user_name(uid_t uid) {
    if (const passwd* pw = getpwuid(uid)) return pw->pw_name;
    return std::to_string(uid);
}

std::string terminal() {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (const char* name = ttyname(fd)) return name;
    return "none";
}

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

}  // namespace

std::string trail_line(const std::string& path, const char* action, const registry& before, const registry& after) {
    // A log is read far from the shell that ran the command: name the file
    // from the root.
    std::string line = path;
    if (line.empty() || line.front() != '/') {
        char* here = getcwd(nullptr, 0);
        if (here) line = std::string(here).append("/").append(path);
        std::free(here);
    }
    line.append(": user ").append(user_name(getuid()));
    if (const char* sudo = std::getenv("SUDO_USER"); sudo && *sudo) line.append(", SUDO_USER ").append(sudo);
    line.append(", tty ").append(terminal()).append(":");
    if (action) line.append(" ").append(action).append(";");
    const char* sep = " ";
    for (std::size_t i = 0; i < register_fields.size(); ++i) {
        const register_field& f = register_fields[i];
        if (i > 0 && register_fields[i - 1].member == f.member) continue;  // the date and the time are one value
        const std::string was = member_text(before, f.member), is = member_text(after, f.member);
        if (was == is) continue;
        line.append(sep).append(f.name).append(" ").append(was).append(" -> ").append(is);
        sep = ", ";
    }
    if (*sep == ' ') line += " no value changed";
    return line;
}

void log_line(const std::string& line) {
    openlog("tarnex", LOG_PID, LOG_USER);
    syslog(LOG_NOTICE, "%s", line.c_str());
}

std::optional<holder> find_holder(const std::string& path) {
    struct stat reg;
    if (stat(path.c_str(), &reg) != 0 || !S_ISREG(reg.st_mode)) return std::nullopt;
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
            found = holder{static_cast<int>(pid), command_name(p->d_name)};
            break;
        }
        closedir(dir);
        if (found) break;
    }
    closedir(proc);
    return found;
}
