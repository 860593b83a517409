#include "register/verify.h"
#include "process.h"
#include "tz.h"

#include <gtest/gtest.h>

namespace {

using image = std::array<unsigned char, register_size>;
using lines = std::vector<std::string>;

void put_le(image& i, std::size_t at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k, value >>= 8) i[at + k] = static_cast<unsigned char>(value);
}

// A till in the middle of a shift: real values must never be findings.
image till() {
    image i = empty_reg;
    i[5] = 3;
    put_le(i, 271, 81517);    // 05.03.2024
    put_le(i, 275, 3060000);  // 08:30:00
    for (std::size_t at : {522, 536, 793, 807}) i[at + 6] = 0x99;
    i[550] = i[551] = 0xFF;   // counters use every bit pattern
    return i;
}

struct damage_case {
    const char* what;
    void (*damage)(image&);
    std::size_t length;
    lines expected;
};

const damage_case cases[] = {
    {"blank register", [](image&) {}, register_size, {}},
    {"till mid-shift", [](image& i) { i = till(); }, register_size, {}},
    {"first and last day, last second",
     [](image& i) {
         put_le(i, 271, 4);
         put_le(i, 275, 8639900);
         i[522] = 0x99;
     },
     register_size, {}},
    {"time not set is midnight", [](image& i) { put_le(i, 271, 81517); }, register_size, {}},
    {"block number zeroed", [](image& i) { i[518] = 0; }, register_size,
     {"offset 518: block 3 starts with 0x00, not 0x03"}},
    {"blocks swapped",
     [](image& i) {
         i[0] = 2;
         i[259] = 1;
     },
     register_size,
     {"offset 0: block 1 starts with 0x02, not 0x01", "offset 259: block 2 starts with 0x01, not 0x02"}},
    {"last block", [](image& i) { i[1036] = 0x20; }, register_size, {"offset 1036: block 5 starts with 0x20, not 0x05"}},
    {"end byte", [](image& i) { i[1295] = 0; }, register_size, {"offset 1295: end byte is 0x00, not 0xFF"}},
    {"high half of an amount", [](image& i) { i[813] = 0xA0; }, register_size,
     {"offset 813: tsum_back: high half-byte 0xA above 9"}},
    {"both halves of an amount", [](image& i) { i[536] = 0xFB; }, register_size,
     {"offset 536: sum_back: high half-byte 0xF above 9", "offset 536: sum_back: low half-byte 0xB above 9"}},
    {"every amount's first and last byte",
     [](image& i) {
         for (std::size_t at : {522, 536, 793, 807}) i[at] = i[at + 6] = 0x0C;
     },
     register_size,
     {"offset 522: sum_sale: low half-byte 0xC above 9", "offset 528: sum_sale: low half-byte 0xC above 9",
      "offset 536: sum_back: low half-byte 0xC above 9", "offset 542: sum_back: low half-byte 0xC above 9",
      "offset 793: tsum_sale: low half-byte 0xC above 9", "offset 799: tsum_sale: low half-byte 0xC above 9",
      "offset 807: tsum_back: low half-byte 0xC above 9", "offset 813: tsum_back: low half-byte 0xC above 9"}},
    {"bytes beside an amount are not its own",
     [](image& i) {
         i[521] = i[529] = 0xFF;
     },
     register_size, {}},
    {"day before 1801", [](image& i) { put_le(i, 271, 3); }, register_size,
     {"offset 271: shift_begin: day 3 is not a date from 01.01.1801 to 31.12.9999"}},
    {"day after 9999", [](image& i) { put_le(i, 271, 2994627); }, register_size,
     {"offset 271: shift_begin: day 2994627 is not a date from 01.01.1801 to 31.12.9999"}},
    {"negative day", [](image& i) { put_le(i, 271, 0xFFFFFFFF); }, register_size,
     {"offset 271: shift_begin: day -1 is not a date from 01.01.1801 to 31.12.9999"}},
    {"time without a date", [](image& i) { put_le(i, 275, 100); }, register_size,
     {"offset 271: shift_begin: day 0 is not a date from 01.01.1801 to 31.12.9999"}},
    {"24:00",
     [](image& i) {
         put_le(i, 271, 81517);
         put_le(i, 275, 8640000);
     },
     register_size, {"offset 275: shift_begin: time 8640000 is not a time of day below 24:00 in whole seconds"}},
    {"hundredths",
     [](image& i) {
         put_le(i, 271, 81517);
         put_le(i, 275, 3060050);
     },
     register_size, {"offset 275: shift_begin: time 3060050 is not a time of day below 24:00 in whole seconds"}},
    {"day and time both wrong",
     [](image& i) {
         put_le(i, 271, 1);
         put_le(i, 275, 0xFFFFFFFF);
     },
     register_size,
     {"offset 271: shift_begin: day 1 is not a date from 01.01.1801 to 31.12.9999",
      "offset 275: shift_begin: time -1 is not a time of day below 24:00 in whole seconds"}},
    {"findings come in file order",
     [](image& i) {
         i[1295] = 0xFE;
         i[797] = 0xE0;
         i[259] = 9;
     },
     register_size,
     {"offset 259: block 2 starts with 0x09, not 0x02", "offset 797: tsum_sale: high half-byte 0xE above 9",
      "offset 1295: end byte is 0xFE, not 0xFF"}},
    // Missing bytes read as zero, and are the length finding's, not the
    // block's, the date's or the end byte's.
    {"empty file", [](image& i) { i.fill(0); }, 0, {"offset 0: file is 0 bytes long, not 1296"}},
    {"cut inside the last block", [](image& i) { std::fill(i.begin() + 1000, i.end(), 0); }, 1000,
     {"offset 1000: file is 1000 bytes long, not 1296"}},
    {"cut inside the shift's begin",
     [](image& i) {
         put_le(i, 271, 7);
         std::fill(i.begin() + 277, i.end(), 0);
     },
     277, {"offset 277: file is 277 bytes long, not 1296"}},
    {"cut before the end byte", [](image& i) { i[1295] = 0; }, 1295,
     {"offset 1295: file is 1295 bytes long, not 1296"}},
    {"longer file", [](image&) {}, 1300, {"offset 1296: file is 1300 bytes long, not 1296"}},
};

TEST(Verify, EachDamageIsReportedWhereItLies) {
    for (const damage_case& c : cases) {
        image i = empty_reg;
        c.damage(i);
        EXPECT_EQ(verify_image(i, c.length), c.expected) << c.what;
    }
}

// The day numbers of the range's ends must agree with the register's own
// calendar, in a zone where the local date differs from the UTC one.
TEST(Verify, TheDateRangeEndsWhereTheRegisterWritesIt) {
    time_zone tz{moscow};
    scratch_dir dir;
    setenv("TARNEX_ROOT", dir.path.c_str(), 1);
    run({"mkdir", "-p", dir / "quelvaris/cash/conf"});
    const std::string path = dir / "cash.reg";
    struct {
        std::time_t moment;
        bool sound;
    } moments[] = {
        {local_time(1801, 1, 1, 0, 0, 0), true},
        {local_time(1800, 12, 31, 23, 59, 59), false},
        {local_time(9999, 12, 31, 23, 59, 59), true},
        {local_time(9999, 12, 31, 23, 59, 59) + 1, false},
    };
    for (const auto& m : moments) {
        registry reg(path);
        reg.create();
        reg.load();
        reg.shift_begin = m.moment;
        reg.save();
        EXPECT_EQ(verify_file(path).empty(), m.sound) << m.moment;
    }
    unsetenv("TARNEX_ROOT");
}

// The length is the file's, read as it is on disk, however long.
TEST(Verify, ReadsTheFileAsItIsOnDisk) {
    scratch_dir dir;
    const std::string path = dir / "cash.reg";
    const std::string blank(reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size());
    write_file(path, blank);
    EXPECT_EQ(verify_file(path), lines{});
    write_file(path, blank + std::string(70000, 'x'));
    EXPECT_EQ(verify_file(path), lines{"offset 1296: file is 71296 bytes long, not 1296"});
    write_file(path, blank.substr(0, 259) + '\x07');
    EXPECT_EQ(verify_file(path), (lines{"offset 259: block 2 starts with 0x07, not 0x02",
                                        "offset 260: file is 260 bytes long, not 1296"}));
}

}  // namespace
