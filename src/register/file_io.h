// File access for the register object.  Every call checks its result and
// ends the process through fail() with the message that names the file, so
// that a full disk or an I/O error is never reported as success.
#pragma once

#include "register/registry.h"

#include <array>
#include <csignal>
#include <cstddef>
#include <string>
#include <string_view>

// The register image in the regular file at `path`; bytes past the end of a
// shorter file read as zero, as in the blank image.  `length`, when given,
// receives the file's length.
std::array<unsigned char, register_size> read_image(const std::string& path, std::size_t* length = nullptr);

// An existing regular file opened for writing in place, without truncation.
class file_updater {
public:
    explicit file_updater(std::string path);
    file_updater(const file_updater&) = delete;
    file_updater& operator=(const file_updater&) = delete;
    ~file_updater();

    void write_at(std::size_t offset, const unsigned char* data, std::size_t size);
    void commit();  // makes the writes durable and closes the file

private:
    std::string path_;
    int fd_;
};

// Replaces the file at `path` with `bytes` so that at every moment it holds
// either its old or its new content: a temporary file in the same directory is
// written, synced and renamed over it.  An existing file keeps its mode and
// owner; the file a symbolic link points to is the one replaced.
void replace_file(const std::string& path, std::string_view bytes);

// Holds SIGINT, SIGTERM and SIGHUP while alive, so that an interrupt never
// lands between the writes that belong together.
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
