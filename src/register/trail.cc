#include "register/trail.h"

#include "register/members.h"
#include "register/text_forms.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fcntl.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

std::string kept_path(const std::string& register_path) { return register_path + "-"; }

std::string record_path(const std::string& register_path) { return kept_path(register_path) + ".last"; }

namespace {

// A record is these bytes, then the field mask (2 bytes), the two lengths
// (8 bytes each) and the fifty field bytes before and after; little-endian.
constexpr std::string_view record_magic = "tarnex last change 1\n";
constexpr std::size_t record_size = record_magic.size() + 2 + 8 + 8 + 50 + 50;

}  // namespace

std::string encode_record(const register_image& before, std::size_t length_before, const register_image& after,
                          std::size_t length_after) {
    change_record r;
    r.length_before = length_before;
    r.length_after = length_after;
    std::size_t at = 0;
    for (std::size_t i = 0; i < register_fields.size(); at += register_fields[i].width, ++i) {
        const register_field& f = register_fields[i];
        std::memcpy(r.before.data() + at, before.data() + f.offset, f.width);
        std::memcpy(r.after.data() + at, after.data() + f.offset, f.width);
        r.fields[i] = std::memcmp(r.before.data() + at, r.after.data() + at, f.width) != 0;
    }
    unsigned char numbers[18];
    write_le(r.fields.to_ulong(), numbers, 2);
    write_le(r.length_before, numbers + 2, 8);
    write_le(r.length_after, numbers + 10, 8);
    std::string out(record_magic);
    out.append(reinterpret_cast<const char*>(numbers), sizeof numbers);
    out.append(reinterpret_cast<const char*>(r.before.data()), r.before.size());
    out.append(reinterpret_cast<const char*>(r.after.data()), r.after.size());
    return out;
}

std::optional<change_record> decode_record(const std::string& bytes) {
    if (bytes.size() != record_size || bytes.compare(0, record_magic.size(), record_magic) != 0) return std::nullopt;
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data()) + record_magic.size();
    change_record r;
    const std::uint64_t mask = read_le(at, 2);
    if (mask >> register_fields.size()) return std::nullopt;
    r.fields = field_set(mask);
    r.length_before = read_le(at + 2, 8);
    r.length_after = read_le(at + 10, 8);
    std::memcpy(r.before.data(), at + 18, r.before.size());
    std::memcpy(r.after.data(), at + 18 + r.before.size(), r.after.size());
    return r;
}

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

namespace {

std::string reason;  // of this run's changes

}  // namespace

void set_trail_reason(std::string text) { reason = std::move(text); }

std::string trail_line(const std::string& path, const char* action, const registry& before, const registry& after,
                       bool kept) {
    // A log is read far from the shell that ran the command: name the file
    // from the root.
    std::string line = path;
    if (line.empty() || line.front() != '/') {
        char* here = getcwd(nullptr, 0);
        if (here) line = std::string(here).append("/").append(path);
        std::free(here);
    }
    line = escaped(line);
    line.append(": user ").append(escaped(user_name(getuid())));
    if (const char* sudo = std::getenv("SUDO_USER"); sudo && *sudo) line.append(", SUDO_USER ").append(escaped(sudo));
    line.append(", tty ").append(escaped(terminal()));
    // The client's address is the first of the four words sshd sets.
    if (const char* ssh = std::getenv("SSH_CONNECTION"); ssh && *ssh && *ssh != ' ')
        line.append(", from ").append(escaped(std::string_view(ssh).substr(0, std::string_view(ssh).find(' '))));
    if (!reason.empty()) {
        line.append(", reason \"");
        for (const char c : escaped(reason)) {
            if (c == '"') line += '\\';
            line += c;
        }
        line.append("\"");
    }
    line.append(":");
    if (action) line.append(" ").append(action).append(";");
    if (!kept) line.append(" previous version not kept;");
    const char* sep = " ";
    for (const std::string& value : changed_values(before, after)) {
        line.append(sep).append(value);
        sep = ", ";
    }
    if (*sep == ' ') line += " no value changed";
    return line;
}

void log_line(const std::string& line) {
    openlog("tarnex", LOG_PID, LOG_USER);
    syslog(LOG_NOTICE, "%s", line.c_str());
}

namespace {

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
