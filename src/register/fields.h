// The register file's fields: where each lies, how it is stored, and which
// member of the register object holds it.  One table drives load, save,
// print, set, verify and the trail, so a field is described here once.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <variant>

class registry;

inline constexpr std::size_t register_size = 1296;
inline constexpr std::size_t register_block = 259;  // five of them, then the end byte

// A choice among the thirteen fields of the file, by their place in
// register_fields.
using field_set = std::bitset<13>;

// The blank register that create() writes.
extern const std::array<unsigned char, register_size> empty_reg;

// A value member of the register, whatever its type; the type decides how the
// value is shown and how a typed text becomes a value.
using register_member =
    std::variant<std::uint16_t registry::*, std::time_t registry::*, double registry::*>;

enum class encoding { number, number_not_zero, amount, clarion_date, clarion_time };

// One field of the file (the layout is described in fields.cc); `name` is
// the member's name as the command line shows it.
struct register_field {
    std::size_t offset;
    std::size_t width;
    encoding enc;
    register_member member;
    const char* name;
};

// The thirteen fields load() reads and save() writes, in file order.
extern const std::array<register_field, 13> register_fields;

// The fields that hold `member` (two for shift_begin).
field_set fields_of(register_member member);
