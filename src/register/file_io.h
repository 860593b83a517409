// File access for the register object.  Every call checks its result and
// ends the process through fail() with the message that names the file, so
// that a full disk or an I/O error is never reported as success.
//
// Links.  tarnex runs as root on tills whose conf directory may belong to the
// cash desk's own user, so as root a symbolic link in the last component of a
// path is followed only when root owns it (the rule the kernel applies in
// sticky directories, applied everywhere); a link owned by anyone else gets
// that file's open error.  A followed link whose target is missing gets its
// target created, as fopen would, and is never itself replaced.
#pragma once

#include "register/registry.h"

#include <array>
#include <csignal>
#include <cstddef>
#include <string>
#include <string_view>

#include <sys/stat.h>

using register_image = std::array<unsigned char, register_size>;

// The register image in the regular file at `path`; bytes past the end of a
// shorter file read as zero, as in the blank image.  `length`, when given,
// receives the file's length.  Takes no lock: readers never wait.
register_image read_image(const std::string& path, std::size_t* length = nullptr);

// The register opened for one change and locked against every other writer
// from construction to destruction: an open-file-description lock over the
// whole file, which also conflicts with the classic record locks a cash desk
// program takes.  A lock held elsewhere is waited for a few seconds, then the
// run ends with "Error: can't lock file %s".
class register_lock {
public:
    // `create_missing`: a register that does not exist yet is made.
    register_lock(std::string path, bool create_missing);
    register_lock(const register_lock&) = delete;
    register_lock& operator=(const register_lock&) = delete;
    ~register_lock();

    // The image as it is on disk now, read once under the lock.
    const register_image& on_disk() const { return on_disk_; }
    // One write of image[from, to) at offset `from`, then one sync; a whole
    // image also cuts a longer file to its size.  The file keeps its inode.
    void write(const register_image& image, std::size_t from, std::size_t to);
    // Closes the file, which lets the next writer in.
    void unlock();
    // The register's mode and owner, for the files that go with it.
    struct stat status() const;

private:
    std::string path_;
    int fd_;
    register_image on_disk_{};
};

// Replaces the file at `path` with `bytes` so that at every moment it holds
// either its old or its new content: a temporary file of one fixed name beside
// it is written, synced and renamed over it, all relative to the directory
// opened once.  The new file takes the mode and owner of `like` when given,
// else of the file it replaces.
void replace_file(const std::string& path, std::string_view bytes, const struct stat* like = nullptr);

// Holds SIGINT, SIGTERM, SIGHUP and SIGQUIT while alive, so that an
// interrupt never lands between the writes that belong together.
class held_signals {
public:
    held_signals();
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
    ~held_signals();

private:
    sigset_t saved_;
};

// Reads a little-endian integer of `width` bytes.
std::uint64_t read_le(const unsigned char* at, std::size_t width);
// Writes the low `width` bytes of `value`, little-endian.
void write_le(std::uint64_t value, unsigned char* at, std::size_t width);
