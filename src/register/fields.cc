// The register file.
//
// 1296 bytes: five blocks of 259 bytes, then one end byte 0xFF.  Block k
// (k = 1..5) starts at offset 259 * (k - 1) with the byte k.  Integers are
// little-endian.  The thirteen fields below are the only bytes the tool
// interprets or ever writes; every other byte is carried through unchanged.
//
//   offset width  member          encoding
//        5     2  cashcode        16-bit, a stored 0 reads as 1
//      263     2  shift           16-bit
//      271     4  shift_begin     Clarion day number (days since 28.12.1800)
//      275     4  shift_begin     Clarion time of day (hundredths since midnight)
//      522     7  sum_sale        packed decimal, 14 digits, 2 of them decimals
//      536     7  sum_back
//      550     2  count_sale
//      558     2  count_back
//      781     2  checknum        16-bit, a stored 0 reads as 1
//      793     7  tsum_sale
//      807     7  tsum_back
//      821     2  tcount_sale
//      829     2  tcount_back
//
// A date and time both 0 mean "not set" (shift_begin 0).  A shorter file reads
// as if the missing bytes were zero.
#include "register/fields.h"

#include "register/registry.h"

const std::array<register_field, 13> register_fields = {{
    {5, 2, encoding::number_not_zero, &registry::cashcode, "cashcode"},
    {263, 2, encoding::number, &registry::shift, "shift"},
    {271, 4, encoding::clarion_date, &registry::shift_begin, "shift_begin"},
    {275, 4, encoding::clarion_time, &registry::shift_begin, "shift_begin"},
    {522, 7, encoding::amount, &registry::sum_sale, "sum_sale"},
    {536, 7, encoding::amount, &registry::sum_back, "sum_back"},
    {550, 2, encoding::number, &registry::count_sale, "count_sale"},
    {558, 2, encoding::number, &registry::count_back, "count_back"},
    {781, 2, encoding::number_not_zero, &registry::checknum, "checknum"},
    {793, 7, encoding::amount, &registry::tsum_sale, "tsum_sale"},
    {807, 7, encoding::amount, &registry::tsum_back, "tsum_back"},
    {821, 2, encoding::number, &registry::tcount_sale, "tcount_sale"},
    {829, 2, encoding::number, &registry::tcount_back, "tcount_back"},
}};

namespace {

// The blank image, range by range.
constexpr std::array<unsigned char, register_size> make_empty_reg() {
    struct run {
        std::size_t from, to;
        unsigned char byte;
    };
    constexpr run runs[] = {
        {0, 0, 0x01},       {1, 6, 0x00},       {7, 54, 0x20},     {55, 61, 0x00},     {62, 101, 0x20},
        {102, 109, 0x00},   {110, 258, 0x20},   {259, 259, 0x02},  {260, 286, 0x00},   {287, 517, 0x20},
        {518, 518, 0x03},   {519, 713, 0x00},   {714, 776, 0x20},  {777, 777, 0x04},   {778, 988, 0x00},
        {989, 1035, 0x20},  {1036, 1036, 0x05}, {1037, 1046, 0x00}, {1047, 1062, 0x20}, {1063, 1063, 0x00},
        {1064, 1294, 0x20}, {1295, 1295, 0xFF},
    };
    std::array<unsigned char, register_size> image{};
    for (const run& r : runs)
        for (std::size_t i = r.from; i <= r.to; ++i) image[i] = r.byte;
    return image;
}

}  // namespace

const std::array<unsigned char, register_size> empty_reg = make_empty_reg();

field_set fields_of(register_member member) {
    field_set set;
    for (std::size_t i = 0; i < register_fields.size(); ++i) set[i] = register_fields[i].member == member;
    return set;
}
