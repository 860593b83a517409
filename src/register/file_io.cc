#include "register/file_io.h"

#include "register/failure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr const char* read_error = "Error: can't open file %s for read\n";
constexpr const char* open_error = "Error: can't open file %s for write\n";
constexpr const char* write_error = "Error: can't write file %s\n";

// O_NONBLOCK keeps a FIFO from hanging the open; only regular files are
// registers, so nothing else is read or written.
int open_regular(const std::string& path, int flags, const char* error) {
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) fail(error, path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        fail(error, path);
    }
    return fd;
}

void write_all(int fd, const unsigned char* data, std::size_t size, off_t offset, const std::string& path) {
    while (size > 0) {
        const ssize_t n = offset >= 0 ? pwrite(fd, data, size, offset) : write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(write_error, path);
        data += n;
        size -= static_cast<std::size_t>(n);
        if (offset >= 0) offset += n;
    }
}

void sync_and_close(int fd, const std::string& path) {
    const bool synced = fdatasync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!synced || !closed) fail(write_error, path);
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::array<unsigned char, register_size> read_image(const std::string& path, std::size_t* length) {
    constexpr std::size_t N = register_size;
    std::array<unsigned char, N> image{};
    const int fd = open_regular(path, O_RDONLY, read_error);
    std::size_t got = 0;
    while (got < N) {
        const ssize_t n = read(fd, image.data() + got, N - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            fail(read_error, path);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (length) {
        // What was read, unless the image filled before the end of the file.
        struct stat st {};
        if (got == N && fstat(fd, &st) != 0) {
            close(fd);
            fail(read_error, path);
        }
        *length = got < N ? got : std::max(N, static_cast<std::size_t>(st.st_size));
    }
    if (close(fd) != 0) fail(read_error, path);
    return image;
}

file_updater::file_updater(std::string path) : path_(std::move(path)), fd_(open_regular(path_, O_WRONLY, open_error)) {}

file_updater::~file_updater() {
    if (fd_ >= 0) close(fd_);
}

void file_updater::write_at(std::size_t offset, const unsigned char* data, std::size_t size) {
    write_all(fd_, data, size, static_cast<off_t>(offset), path_);
}

void file_updater::commit() {
    const int fd = fd_;
    fd_ = -1;
    sync_and_close(fd, path_);
}

void replace_file(const std::string& path, std::string_view bytes) {
    // Replace what a symbolic link points to, not the link itself.
    std::string target = path;
    if (char* real = realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    const std::string dir = directory_of(target);
    // Only a regular file is ever replaced: a rename would otherwise turn a
    // device, a FIFO or a socket that happens to be named into a file.
    struct stat old;
    const bool existed = stat(target.c_str(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) fail(open_error, path);
    std::string temp = target + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) fail(open_error, path);

    if (existed) {
        // Best effort: an unprivileged user cannot give a file away.
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
        }
        fchmod(fd, old.st_mode & 07777);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
    }

    const auto abandon = [&] {
        close(fd);
        unlink(temp.c_str());
        fail(write_error, path);
    };
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) abandon();
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0) abandon();
    if (close(fd) != 0) {
        unlink(temp.c_str());
        fail(write_error, path);
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        unlink(temp.c_str());
        fail(write_error, path);
    }
    // The rename itself is durable only once the directory is.
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) fail(write_error, path);
    const bool synced = fsync(dfd) == 0;
    if (close(dfd) != 0 || !synced) fail(write_error, path);
}

held_signals::held_signals() {
    sigset_t hold;
    sigemptyset(&hold);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&hold, s);
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
