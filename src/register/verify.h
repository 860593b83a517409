// A read-only check of a register file for a technician who suspects damage:
// the bytes that give the file its shape, and the stored forms that can hold
// what no value can be (a packed digit above 9, a date no till ever had).
#pragma once

#include "register/registry.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

// One line per finding, "offset N: what", in the order of the offsets; none
// for a sound image.  `length` is the file's length: bytes at or past it are
// missing and are not looked at (the length finding covers them).
std::vector<std::string> verify_image(const std::array<unsigned char, register_size>& image, std::size_t length);

// The first offset, of the block starts and the end byte the file holds
// (`length`), whose byte no register has there: neither the blank image's
// byte nor 0 (a hole an earlier short write left).  Nothing for a file
// shaped as a register, an empty one included.
std::optional<std::size_t> foreign_byte(const std::array<unsigned char, register_size>& image, std::size_t length);

// The file at `path` as it is on disk.  A file that cannot be read ends the
// process with the read error, as load() does.
std::vector<std::string> verify_file(const std::string& path);
