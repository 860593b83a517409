// Register images the fault and hostile-input tests start from, and the test
// every image left behind by a failed or killed run must pass.
#pragma once

#include "register/registry.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace till {

struct span {
    std::size_t offset, width;
    bool amount;  // packed decimal: every half-byte must be a digit
};

// The 13 fields, 50 bytes in all: the only bytes a save may change.
inline constexpr std::array<span, 13> fields = {{
    {5, 2, false},   {263, 2, false}, {271, 4, false}, {275, 4, false}, {522, 7, true},
    {536, 7, true},  {550, 2, false}, {558, 2, false}, {781, 2, false}, {793, 7, true},
    {807, 7, true},  {821, 2, false}, {829, 2, false},
}};

inline std::string blank() { return {reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size()}; }

inline void put(std::string& image, std::size_t at, std::initializer_list<unsigned> bytes) {
    for (unsigned b : bytes) image[at++] = static_cast<char>(b);
}

// The worked example of a till in use (cash code 3, shift 41, receipt 17,
// shift begun 05.03.2024 08:30, counters and sums), with foreign bytes between
// and around the fields so that a stray write anywhere shows.
inline std::string example() {
    std::string image = blank();
    put(image, 5, {3, 0});
    put(image, 263, {41, 0});
    put(image, 271, {0x6D, 0x3E, 0x01, 0x00});  // day 81517
    put(image, 275, {0x20, 0xB1, 0x2E, 0x00});  // 3060000 hundredths: 08:30
    put(image, 522, {0, 0, 0, 0x25, 0, 0, 0});
    put(image, 536, {0, 0, 0, 0, 0x12, 0x34, 0x57});
    put(image, 550, {0xEA, 0x0B});
    put(image, 558, {27, 0});
    put(image, 781, {17, 0});
    put(image, 793, {0, 0, 0, 0, 0x15, 0x20, 0x50});
    put(image, 807, {0, 0, 0, 0, 0, 0x99, 0x90});
    put(image, 821, {12, 0});
    put(image, 829, {1, 0});
    for (std::size_t at : {1u, 4u, 7u, 262u, 265u, 270u, 279u, 529u, 535u, 543u, 552u, 557u, 560u, 780u, 783u,
                           792u, 800u, 814u, 820u, 823u, 828u, 831u, 1100u, 1294u})
        image[at] = static_cast<char>(0xA5);
    return image;
}

// `image` with the 16-bit field at `offset` set to `value`.
inline std::string with_number(std::string image, std::size_t offset, unsigned value) {
    put(image, offset, {value & 0xFF, value >> 8});
    return image;
}

// Empty when `got` is `from` on its way to `to`: the same length, nothing
// outside the fields changed, each field holding its old bytes or its new
// ones, every amount in valid digits.  Otherwise says what is wrong.
inline std::string fieldwise(const std::string& got, const std::string& from, const std::string& to) {
    if (got.size() != from.size()) return "length " + std::to_string(got.size());
    std::array<bool, register_size> in_field{};
    for (const span& f : fields) {
        for (std::size_t i = 0; i < f.width; ++i) in_field[f.offset + i] = true;
        const std::string g = got.substr(f.offset, f.width);
        if (g != from.substr(f.offset, f.width) && g != to.substr(f.offset, f.width))
            return "field at " + std::to_string(f.offset) + " is neither old nor new";
        if (f.amount)
            for (unsigned char c : g)
                if ((c >> 4) > 9 || (c & 0x0F) > 9) return "amount at " + std::to_string(f.offset) + " not digits";
    }
    for (std::size_t i = 0; i < got.size() && i < register_size; ++i)
        if (!in_field[i] && got[i] != from[i]) return "byte " + std::to_string(i) + " outside the fields changed";
    return "";
}

}  // namespace till
