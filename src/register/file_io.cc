#include "register/file_io.h"

#include "register/failure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

namespace {

constexpr const char* read_error = "Error: can't open file %s for read\n";
constexpr const char* open_error = "Error: can't open file %s for write\n";
constexpr const char* write_error = "Error: can't write file %s\n";
constexpr const char* lock_error = "Error: can't lock file %s\n";

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

// What the last component of `path` names once its symbolic links are
// followed under the link rule (see the header); a missing name is returned
// as it is, for the caller's open to report or create.  Each link is looked
// at through a descriptor of its own, so that the text read is the text of
// the very link whose owner was checked.
std::string final_target(const std::string& path, const char* error) {
    std::string p = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        // A missing name, or any other failure, is the open's to report.
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        const int l = open(p.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (l < 0) fail(error, path);
        const bool link = fstat(l, &st) == 0 && S_ISLNK(st.st_mode);
        char text[PATH_MAX];
        ssize_t n = -1;
        if (link && (geteuid() != 0 || st.st_uid == 0)) n = readlinkat(l, "", text, sizeof text);
        close(l);
        if (!link) return p;
        if (n <= 0 || n == static_cast<ssize_t>(sizeof text)) fail(error, path);
        const std::string to(text, static_cast<std::size_t>(n));
        p = to.front() == '/' ? to : directory_of(p) + "/" + to;
    }
    fail(error, path);
}

// O_NONBLOCK keeps a FIFO from hanging the open; only regular files are
// registers, so nothing else is read or written.  The plain open is tried
// first: a register that is no link costs one call.
int open_regular(const std::string& path, int flags, const char* error) {
    constexpr int always = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd = open(path.c_str(), flags | always, 0666);
    if (fd < 0 && errno == ELOOP) fd = open(final_target(path, error).c_str(), flags | always, 0666);
    if (fd < 0) fail(error, path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        fail(error, path);
    }
    return fd;
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

register_lock::register_lock(std::string path, bool create_missing)
    : path_(std::move(path)), fd_(open_regular(path_, O_RDWR | (create_missing ? O_CREAT : 0), open_error)) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (int attempt = 1;; ++attempt) {
        if (fcntl(fd_, F_OFD_SETLK, &whole) == 0) break;
        if ((errno != EAGAIN && errno != EACCES && errno != EINTR) || attempt == lock_attempts) {
            close(fd_);
            fail(lock_error, path_);
        }
        const timespec step{0, 50'000'000};
        nanosleep(&step, nullptr);
    }
    std::size_t got = 0;
    on_disk_ = read_from(fd_, path_, got);
}

register_lock::~register_lock() {
    if (fd_ >= 0) close(fd_);
}

void register_lock::unlock() {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) fail(write_error, path_);
}

void register_lock::write(const register_image& image, std::size_t from, std::size_t to) {
    bool ok = write_all(fd_, image.data() + from, to - from, static_cast<off_t>(from));
    if (ok && from == 0 && to == image.size()) {
        struct stat st;
        ok = fstat(fd_, &st) == 0 && (st.st_size <= static_cast<off_t>(to) || ftruncate(fd_, static_cast<off_t>(to)) == 0);
    }
    if (!ok || fdatasync(fd_) != 0) fail(write_error, path_);
}

struct stat register_lock::status() const {
    struct stat st;
    if (fstat(fd_, &st) != 0) fail(open_error, path_);
    return st;
}

void replace_file(const std::string& path, std::string_view bytes, const struct stat* like) {
    // Replace what a symbolic link points to, not the link itself.
    const std::string target = final_target(path, open_error);
    const int dir = open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) fail(open_error, path);
    const std::string name = name_of(target), temp = name + ".tmp";
    // Only a regular file is ever replaced: a rename would otherwise turn a
    // device, a FIFO, a socket or a link swapped in meanwhile into a file.
    struct stat old;
    const bool existed = fstatat(dir, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (existed && !S_ISREG(old.st_mode)) {
        close(dir);
        fail(open_error, path);
    }
    // One fixed name, so that a run killed here leaves at most one behind
    // and the next run clears it.
    const bool cleared = unlinkat(dir, temp.c_str(), 0) == 0 || errno == ENOENT;
    const int fd = cleared ? openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
    if (fd < 0) {
        close(dir);
        fail(open_error, path);
    }
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
    const bool written = write_all(fd, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), -1) &&
                         fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
        unlinkat(dir, temp.c_str(), 0);
        close(dir);
        fail(write_error, path);
    }
    // The rename itself is durable only once the directory is.
    const bool synced = fsync(dir) == 0;
    if (close(dir) != 0 || !synced) fail(write_error, path);
}

held_signals::held_signals() {
    sigset_t hold;
    sigemptyset(&hold);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&hold, s);
    sigprocmask(SIG_BLOCK, &hold, &saved_);
}

held_signals::~held_signals() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

std::uint64_t read_le(const unsigned char* at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;) v = (v << 8) | at[i];
    return v;
}

void write_le(std::uint64_t value, unsigned char* at, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i, value >>= 8) at[i] = static_cast<unsigned char>(value & 0xFF);
}
