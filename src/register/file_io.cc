#include "register/file_io.h"

#include "register/failure.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <utility>
#include <vector>

namespace {

constexpr const char* read_error = "Error: can't open file %s for read\n";
constexpr const char* open_error = "Error: can't open file %s for write\n";
constexpr const char* write_error = "Error: can't write file %s\n";
constexpr const char* lock_error = "Error: can't lock file %s\n";
// Rewritten in place, a file of another length passes through texts that
// were never meant: "12" becomes "32" before its cut, and a power cut can
// keep the cut without the write.
constexpr const char* in_place_error =
    "Error: can't write file %s whole: this user may not write its directory; run as root\n";
constexpr const char* changed_error = "Error: can't write file %s; the register %s was changed\n";

// How long a writer waits for another one to finish, in steps of 50 ms.
constexpr int lock_attempts = 60;

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name in a directory held open: whatever is renamed around it, what is
// looked at and written is in that very directory.
struct place {
    int dir;
    std::string name;
};

// The kernel lets only root rename a name in such a directory.
bool only_root_writes(int dir) {
    struct stat st;
    return fstat(dir, &st) == 0 && st.st_uid == 0 &&
           ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
}

// The directory `path` names from `from` (or from the root, for an absolute
// one), each component opened without following a link: whoever owns a
// directory on the way could otherwise swap one for a link and send root
// elsewhere.  -1 when a component is missing, no directory, or a link.
int open_directory_strictly(int from, const std::string& path) {
    int fd = path.starts_with('/') ? open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : fcntl(from, F_DUPFD_CLOEXEC, 0);
    for (std::size_t at = 0; fd >= 0 && at < path.size();) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    return fd;
}

// Where the last component of `path` is, with its symbolic links followed
// under the link rule (see the header) when `follow`; a missing name, or one
// that is no link, is returned as it is, for the caller's open to report or
// create.  Each link is read relative to the directory whose owner and mode
// were checked.  Without an `error` to end the run with, a path that cannot be
// followed gives no directory (-1).
place locate(const std::string& path, bool follow, const char* error) {
    const auto refused = [&]() -> place {
        if (error) fail(error, path);
        return {-1, ""};
    };
    int dir = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return refused();
    std::string name = name_of(path);
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (!follow || fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            return {dir, name};
        char text[PATH_MAX];
        ssize_t n = -1;
        if (geteuid() != 0 || (st.st_uid == 0 && only_root_writes(dir))) n = readlinkat(dir, name.c_str(), text, sizeof text);
        const std::string to(text, n > 0 ? static_cast<std::size_t>(n) : 0);
        // An absolute target ignores `dir`; a relative one starts from it.
        // Its directories are not followed: a link there is refused.
        const int next = n > 0 && n < static_cast<ssize_t>(sizeof text) ? open_directory_strictly(dir, directory_of(to)) : -1;
        close(dir);
        if (next < 0) return refused();
        dir = next;
        name = name_of(to);
    }
    close(dir);
    return refused();
}

constexpr int open_always = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// With O_CREAT, `created` tells whether this very call made the file.  A
// name that is neither a regular file nor a link is never opened: opening a
// device can rewind a tape or hang up a line, and a FIFO's writer sees a
// reader come and go.
int open_in(int dir, const std::string& name, int flags, bool& created) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        errno = ENXIO;
        return -1;
    }
    if (!(flags & O_CREAT)) return openat(dir, name.c_str(), flags | open_always);
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = openat(dir, name.c_str(), (flags & ~O_CREAT) | open_always);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = openat(dir, name.c_str(), flags | O_EXCL | open_always, 0666);
        if (fd >= 0) created = true;
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// A register made where none was belongs to the till, as its directory does,
// not to root: the cash desk's user must still write it.  Best effort.
void give_to_directory_owner(int fd, int dir, const std::string& path) {
    struct stat st;
    const bool known = dir == AT_FDCWD ? stat(directory_of(path).c_str(), &st) == 0 : fstat(dir, &st) == 0;
    if (known && fchown(fd, st.st_uid, st.st_gid) != 0) {
    }
}

// Only regular files are registers, so nothing else is opened, read or
// written (O_NONBLOCK still keeps a FIFO swapped in meanwhile from hanging
// the open).  The plain open is tried first: a register that is no link
// costs a look and one open.  Without an `error`, -1
// for a file that cannot be opened.
int open_regular(const std::string& path, int flags, const char* error) {
    bool created = false;
    int fd = open_in(AT_FDCWD, path, flags, created);
    if (fd < 0 && errno == ELOOP) {
        const place p = locate(path, true, error);
        fd = p.dir < 0 ? -1 : open_in(p.dir, p.name, flags, created);
        if (created) give_to_directory_owner(fd, p.dir, path);
        if (p.dir >= 0) close(p.dir);
    } else if (created) {
        give_to_directory_owner(fd, AT_FDCWD, path);
    }
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd < 0 && error) fail(error, path);
    return fd;
}

// Whether the regular file `name` in `dir` holds exactly `bytes`.
bool holds(int dir, const std::string& name, std::string_view bytes) {
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    char buffer[register_size + 1];
    const ssize_t n = fd < 0 ? -1 : read(fd, buffer, sizeof buffer);
    if (fd >= 0) close(fd);
    return n >= 0 && std::string_view(buffer, static_cast<std::size_t>(n)) == bytes;
}

// Reads the image from offset 0: one call for a regular file.
register_image read_from(int fd, const std::string& path, std::size_t& got) {
    register_image image{};
    got = 0;
    while (got < image.size()) {
        const ssize_t n = pread(fd, image.data() + got, image.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            fail(read_error, path);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return image;
}

// Writes all of `data`, at `offset` or (when it is negative) where the file is.
bool write_all(int fd, const unsigned char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = offset >= 0 ? pwrite(fd, data, size, offset) : write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        if (offset >= 0) offset += n;
    }
    return true;
}

}  // namespace

int open_followed(const std::string& path, int flags) { return open_regular(path, flags, nullptr); }

void probe_register(const std::string& path) { close(open_regular(path, O_RDWR, open_error)); }

register_image read_image(const std::string& path, std::size_t* length) {
    const int fd = open_regular(path, O_RDONLY, read_error);
    std::size_t got = 0;
    const register_image image = read_from(fd, path, got);
    if (length) {
        // What was read, unless the image filled before the end of the file.
        struct stat st {};
        if (got == image.size() && fstat(fd, &st) != 0) {
            close(fd);
            fail(read_error, path);
        }
        *length = got < image.size() ? got : std::max(image.size(), static_cast<std::size_t>(st.st_size));
    }
    if (close(fd) != 0) fail(read_error, path);
    return image;
}

namespace {

// Whether `path`, looked up as open_regular() opened it, still names the file
// open at `fd`: a cash desk that saves by renaming a new file over its
// register leaves a lock on the old one worth nothing.
bool still_at(const std::string& path, int fd) {
    struct stat held, now;
    if (fstat(fd, &held) != 0) return false;
    int found = fstatat(AT_FDCWD, path.c_str(), &now, AT_SYMLINK_NOFOLLOW);
    if (found == 0 && S_ISLNK(now.st_mode)) {
        const place p = locate(path, true, open_error);
        found = fstatat(p.dir, p.name.c_str(), &now, AT_SYMLINK_NOFOLLOW);
        close(p.dir);
    }
    return found == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino;
}

// How often the file at the path is opened again when it was replaced while
// its lock was awaited.
constexpr int reopen_attempts = 5;

}  // namespace

register_lock::register_lock(std::string path, bool create_missing) : path_(std::move(path)), fd_(-1) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (int round = 1;; ++round) {
        fd_ = open_regular(path_, O_RDWR | (create_missing ? O_CREAT : 0), open_error);
        for (int attempt = 1;; ++attempt) {
            if (fcntl(fd_, F_OFD_SETLK, &whole) == 0) break;
            if ((errno != EAGAIN && errno != EACCES && errno != EINTR) || attempt == lock_attempts) {
                close(fd_);
                fail(lock_error, path_);
            }
            const timespec step{0, 50'000'000};
            nanosleep(&step, nullptr);
        }
        if (still_at(path_, fd_)) break;
        close(fd_);
        fd_ = -1;
        if (round == reopen_attempts) fail(lock_error, path_);
    }
    std::size_t got = 0;
    on_disk_ = read_from(fd_, path_, got);
    length_ = got;
    struct stat st;
    if (got == on_disk_.size()) {
        if (fstat(fd_, &st) != 0) fail(read_error, path_);
        length_ = static_cast<std::size_t>(st.st_size);
    }
}

register_lock::~register_lock() {
    if (fd_ >= 0) close(fd_);
}

void register_lock::unlock() {
    const int fd = fd_;
    fd_ = -1;
    // Once written and synced, a script must not make the change twice.
    if (close(fd) != 0) {
        if (written_) fail(changed_error, path_, path_);
        fail(write_error, path_);
    }
}

void register_lock::write(const register_image& image, std::size_t from, std::size_t to, std::size_t length,
                          std::string_view tail) {
    std::string span(reinterpret_cast<const char*>(image.data()) + from, (tail.empty() ? to : image.size()) - from);
    span += tail;
    to = from + span.size();
    bool ok = write_all(fd_, reinterpret_cast<const unsigned char*>(span.data()), span.size(), static_cast<off_t>(from));
    if (ok && length < std::max(length_, to)) ok = ftruncate(fd_, static_cast<off_t>(length)) == 0;
    if (!ok || fdatasync(fd_) != 0) fail(write_error, path_);
    written_ = true;
    length_ = length;
    on_disk_ = image;
}

std::string register_lock::tail() const {
    std::string bytes;
    if (length_ <= on_disk_.size()) return bytes;
    bytes.resize(length_ - on_disk_.size());
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = pread(fd_, bytes.data() + got, bytes.size() - got, static_cast<off_t>(on_disk_.size() + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(read_error, path_);
        got += static_cast<std::size_t>(n);
    }
    return bytes;
}

struct stat register_lock::status() const {
    struct stat st;
    if (fstat(fd_, &st) != 0) fail(open_error, path_);
    return st;
}

namespace {

// The temporary files staged and not yet put in place, by directory and
// name: a failing run removes them on its way out.
std::vector<std::pair<int, std::string>> pending_names;

void remove_pending() {
    for (const auto& [dir, name] : pending_names) unlinkat(dir, name.c_str(), 0);
    pending_names.clear();
}

void forget_pending(int dir) {
    std::erase_if(pending_names, [dir](const auto& p) { return p.first == dir; });
}

}  // namespace

staged_file::staged_file(std::string path, std::string_view bytes, kind k, const struct stat* like)
    : path_(std::move(path)), bytes_(bytes) {
    const place p = locate(path_, k == kind::followed, open_error);
    dir_ = p.dir;
    name_ = p.name;
    temp_ = name_ + ".tmp";
    on_failure_cleanup(remove_pending);
    if (k == kind::followed) {
        for (int attempt = 1; flock(dir_, LOCK_EX | LOCK_NB) != 0; ++attempt) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || attempt == lock_attempts) fail(lock_error, path_);
            const timespec step{0, 50'000'000};
            nanosleep(&step, nullptr);
        }
    }
    // Only a regular file is ever replaced: a rename would otherwise turn a
    // device, a FIFO, a socket or a directory swapped in meanwhile into a
    // file.  A link where a name of our own belongs is replaced as a name.
    struct stat old;
    const bool existed = fstatat(dir_, name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(old.st_mode);
    if (existed && !S_ISREG(old.st_mode)) fail(open_error, path_);
    // A name of our own that is the register itself, or any file with
    // another name, is no copy of its own: it is replaced, never kept.
    const bool shared = k == kind::owned && existed &&
                        (old.st_nlink > 1 || (like && old.st_dev == like->st_dev && old.st_ino == like->st_ino));
    unchanged_ = existed && !shared && holds(dir_, name_, bytes_);
    if (unchanged_) return;
    const bool cleared = unlinkat(dir_, temp_.c_str(), 0) == 0 || errno == ENOENT;
    const int fd = cleared ? openat(dir_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
    if (fd < 0) {
        // A directory the caller may not write: a file it may write is
        // rewritten where it is, later; a name of our own is not kept.
        const bool refused = errno == EACCES || errno == EPERM;
        if (refused && k == kind::owned) {
            in_place_ = true;
            return;
        }
        if (refused && existed && faccessat(dir_, name_.c_str(), W_OK, AT_EACCESS) == 0) {
            if (static_cast<std::size_t>(old.st_size) != bytes_.size()) fail(in_place_error, path_);
            in_place_ = true;
            return;
        }
        fail(open_error, path_);
    }
    pending_ = true;
    pending_names.emplace_back(dir_, temp_);
    if (like || existed) {
        const struct stat& from = like ? *like : old;
        // Best effort: an unprivileged user cannot give a file away.
        if (fchown(fd, from.st_uid, from.st_gid) != 0) {
        }
        fchmod(fd, from.st_mode & 07777);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
    }
    const bool written = write_all(fd, reinterpret_cast<const unsigned char*>(bytes_.data()), bytes_.size(), -1) &&
                         fsync(fd) == 0;
    if (close(fd) != 0 || !written) fail(write_error, path_);
}

staged_file::~staged_file() {
    if (dir_ < 0) return;
    if (pending_) unlinkat(dir_, temp_.c_str(), 0);
    forget_pending(dir_);
    close(dir_);
}

bool make_register(const std::string& path, const register_image& image) {
    const place p = locate(path, true, open_error);
    struct stat st;
    const auto done = [&](bool made) {
        close(p.dir);
        return made;
    };
    if (fstatat(p.dir, p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return done(false);
    const std::string temp = p.name + ".tmp";
    if (unlinkat(p.dir, temp.c_str(), 0) != 0 && errno != ENOENT) fail(open_error, path);
    const int fd = openat(p.dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) fail(open_error, path);
    on_failure_cleanup(remove_pending);
    pending_names.emplace_back(p.dir, temp);
    give_to_directory_owner(fd, p.dir, path);
    const bool written = write_all(fd, image.data(), image.size(), -1) && fsync(fd) == 0;
    if (close(fd) != 0 || !written) fail(write_error, path);
    const bool linked = linkat(p.dir, temp.c_str(), p.dir, p.name.c_str(), 0) == 0;
    const int link_error = errno;
    unlinkat(p.dir, temp.c_str(), 0);
    forget_pending(p.dir);
    if (!linked && link_error == EEXIST) return done(false);
    if (!linked || fsync(p.dir) != 0) fail(write_error, path);
    return done(true);
}

namespace {

// Whether the staging's temporary name `temp` in `dir` can be cleared: a
// directory there (which anyone who may write `dir` can make) cannot be, and
// fails the staging, unless `dir` is closed to the caller and the staging
// goes another way.
bool temp_clear(int dir, const std::string& temp) {
    struct stat st;
    return fstatat(dir, temp.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
           faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) != 0;
}

}  // namespace

void probe_staged(const std::string& path, std::string_view bytes) {
    const place p = locate(path, true, open_error);
    struct stat old;
    const bool existed = fstatat(p.dir, p.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(old.st_mode);
    // As the staging goes: a file that holds the bytes already is left alone;
    // else a temporary file beside it, or, where the directory is closed to
    // the caller, the file itself rewritten.
    const bool open_dir = faccessat(p.dir, ".", W_OK | X_OK, AT_EACCESS) == 0;
    bool ok = false;
    if (existed && !S_ISREG(old.st_mode))
        ok = false;
    else if (existed && holds(p.dir, p.name, bytes))
        ok = true;
    else if (open_dir)
        ok = temp_clear(p.dir, p.name + ".tmp");
    else
        ok = existed && faccessat(p.dir, p.name.c_str(), W_OK, AT_EACCESS) == 0;
    // Rewritten where it is, only at its own length.
    const bool whole = !existed || open_dir || static_cast<std::size_t>(old.st_size) == bytes.size() ||
                       holds(p.dir, p.name, bytes);
    close(p.dir);
    if (!ok) fail(open_error, path);
    if (!whole) fail(in_place_error, path);
}

bool directory_missing(const std::string& path) {
    struct stat st;
    return stat(directory_of(path).c_str(), &st) != 0 && errno == ENOENT;
}

std::optional<std::string> read_followed(const std::string& path, std::size_t limit) {
    const int fd = open_regular(path, O_RDONLY, nullptr);
    if (fd < 0) return std::nullopt;
    std::string text(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = read(fd, text.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    text.resize(got);
    return text;
}

bool probe_make_register(const std::string& path) {
    const place p = locate(path, true, open_error);
    struct stat st;
    const bool there = fstatat(p.dir, p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const bool ok = there || (faccessat(p.dir, ".", W_OK | X_OK, AT_EACCESS) == 0 && temp_clear(p.dir, p.name + ".tmp"));
    close(p.dir);
    if (!ok) fail(open_error, path);
    return !there;
}

void probe_owned(const std::string& path) {
    const place p = locate(path, false, open_error);
    struct stat old;
    const bool odd = fstatat(p.dir, p.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(old.st_mode) &&
                     !S_ISREG(old.st_mode);
    const bool ok = !odd && temp_clear(p.dir, p.name + ".tmp");
    close(p.dir);
    if (!ok) fail(open_error, path);
}

void staged_file::put_in_place(const std::string& changed_register) {
    const auto broken = [&](const char* plain) {
        if (changed_register.empty()) fail(plain, path_);
        fail(changed_error, path_, changed_register);
    };
    if (unchanged_) return;
    if (in_place_) {
        const int fd = openat(dir_, name_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) close(fd);
            broken(open_error);
        }
        // One write of the same length: the old text or the new one, at
        // any kill or power cut.
        const bool written = fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) == bytes_.size() &&
                             write_all(fd, reinterpret_cast<const unsigned char*>(bytes_.data()), bytes_.size(), 0) &&
                             fsync(fd) == 0;
        if (close(fd) != 0 || !written) broken(write_error);
        return;
    }
    pending_ = false;
    forget_pending(dir_);
    if (renameat(dir_, temp_.c_str(), dir_, name_.c_str()) != 0) {
        unlinkat(dir_, temp_.c_str(), 0);
        broken(write_error);
    }
    // The rename itself is durable only once the directory is.
    if (fsync(dir_) != 0) broken(write_error);
}

bool read_owned(const std::string& path, std::string& bytes, std::size_t limit) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0) return false;
    bytes.assign(limit + 1, '\0');
    std::size_t got = 0;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (ok && got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        ok = n >= 0;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(std::min(got, limit + 1));
    return close(fd) == 0 && ok;
}

held_signals::held_signals() {
    sigset_t hold;
    sigemptyset(&hold);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&hold, s);
    sigprocmask(SIG_BLOCK, &hold, &saved_);
}

held_signals::~held_signals() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

void hold_signals_until_exit() {
    sigset_t hold;
    sigemptyset(&hold);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&hold, s);
    sigprocmask(SIG_BLOCK, &hold, nullptr);
}

std::uint64_t read_le(const unsigned char* at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;) v = (v << 8) | at[i];
    return v;
}

void write_le(std::uint64_t value, unsigned char* at, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i, value >>= 8) at[i] = static_cast<unsigned char>(value & 0xFF);
}
