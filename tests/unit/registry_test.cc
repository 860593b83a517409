#include "register/registry.h"
#include "process.h"
#include "tz.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <random>

namespace {

const std::string blank(reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size());

// The fifty bytes the register object owns.
bool is_field_byte(std::size_t offset) {
    static const std::pair<std::size_t, std::size_t> fields[] = {
        {5, 2}, {263, 2}, {271, 8}, {522, 7}, {536, 7}, {550, 2}, {558, 2},
        {781, 2}, {793, 7}, {807, 7}, {821, 2}, {829, 2}};
    for (auto [at, width] : fields)
        if (offset >= at && offset < at + width) return true;
    return false;
}

class RegistryFile : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string reg = dir / "cash.reg";
    std::string cashcode = dir / "quelvaris/cash/conf/cashcode";
    time_zone tz{moscow};

    void SetUp() override {
        setenv("TARNEX_ROOT", dir.path.c_str(), 1);
        std::system(("mkdir -p " + dir.path + "/quelvaris/cash/conf").c_str());
    }
    void TearDown() override { unsetenv("TARNEX_ROOT"); }
};

TEST_F(RegistryFile, BlankImageIsTheTillsBlankRegister) {
    ASSERT_EQ(blank.size(), 1296u);
    for (std::size_t block = 0; block < 5; ++block) EXPECT_EQ(blank[block * 259], static_cast<char>(block + 1));
    EXPECT_EQ(static_cast<unsigned char>(blank[1295]), 0xFF);
    int blanks = 0;
    for (char c : blank) blanks += c == ' ';
    EXPECT_EQ(blanks, 48 + 40 + 149 + 231 + 63 + 47 + 16 + 231);

    registry r(reg);
    r.create();
    EXPECT_EQ(read_file(reg), blank);
    r.load();
    EXPECT_EQ(r.cashcode, 1);
    EXPECT_EQ(r.shift, 0);
    EXPECT_EQ(r.checknum, 1);
    EXPECT_EQ(r.shift_begin, 0);
    EXPECT_EQ(r.count_sale + r.count_back + r.tcount_sale + r.tcount_back, 0);
    EXPECT_EQ(r.sum_sale + r.sum_back + r.tsum_sale + r.tsum_back, 0.0);
}

// A save writes what changed; asked to write every field, a blank register
// changes only where a stored 0 read as 1.
TEST_F(RegistryFile, LoadAndSaveOfABlankChangesOnlyTheZeroDefaults) {
    write_file(reg, blank);
    registry r(reg);
    r.load();
    r.save();
    EXPECT_EQ(read_file(reg), blank);
    EXPECT_EQ(read_file(cashcode), "1");
    r.save(field_set().set());
    const std::string saved = read_file(reg);
    ASSERT_EQ(saved.size(), blank.size());
    for (std::size_t i = 0; i < blank.size(); ++i)
        if (i != 5 && i != 781) {
            EXPECT_EQ(saved[i], blank[i]) << "offset " << i;
        }
    EXPECT_EQ(saved.substr(5, 2), std::string("\x01\x00", 2));
    EXPECT_EQ(saved.substr(781, 2), std::string("\x01\x00", 2));
    EXPECT_EQ(read_file(cashcode), "1");
}

TEST_F(RegistryFile, SaveWritesTheFieldsAndNothingElse) {
    std::mt19937 rng(7);
    std::string image(1296, '\0');
    for (auto& c : image) c = static_cast<char>(rng() % 10 * 0x11);  // valid packed digits everywhere
    for (std::size_t at = 0; at < image.size(); at += 259) image[at] = blank[at];  // a register's block starts and end
    write_file(reg, image);

    registry r(reg);
    r.load();
    r.cashcode = 65535;
    r.shift = 42;
    r.checknum = 17;
    r.shift_begin = local_time(2024, 3, 5, 8, 30);
    r.count_sale = 3050;
    r.count_back = 27;
    r.tcount_sale = 12;
    r.tcount_back = 1;
    r.sum_sale = 250000;
    r.sum_back = 1234.567;
    r.tsum_sale = 1520.5;
    r.tsum_back = 99.9;
    r.save();

    const std::string saved = read_file(reg);
    for (std::size_t i = 0; i < image.size(); ++i)
        if (!is_field_byte(i)) {
            ASSERT_EQ(saved[i], image[i]) << "offset " << i;
        }
    EXPECT_EQ(saved.substr(522, 7), std::string("\x00\x00\x00\x25\x00\x00\x00", 7));
    EXPECT_EQ(saved.substr(536, 7), std::string("\x00\x00\x00\x00\x12\x34\x57", 7));
    EXPECT_EQ(read_file(cashcode), "65535");

    registry back(reg);
    back.load();
    EXPECT_EQ(back.cashcode, 65535);
    EXPECT_EQ(back.shift, 42);
    EXPECT_EQ(back.shift_begin, r.shift_begin);
    EXPECT_EQ(back.count_sale, 3050);
    EXPECT_EQ(back.tcount_back, 1);
    EXPECT_EQ(back.sum_back, 1234.57);
    EXPECT_EQ(back.tsum_back, 99.9);

    // Unchanged, saved again: byte for byte the same.
    back.save();
    EXPECT_EQ(read_file(reg), saved);
}

TEST_F(RegistryFile, NotSetStaysNotSet) {
    write_file(reg, blank);
    registry r(reg);
    r.load();
    r.shift_begin = 0;
    r.save();
    EXPECT_EQ(read_file(reg).substr(271, 8), std::string(8, '\0'));
}

TEST_F(RegistryFile, EveryShortFileLoadsAsIfZeroPadded) {
    std::string image = blank;
    image.replace(263, 2, "\x29\x00", 2);
    image.replace(829, 2, "\x05\x00", 2);
    for (std::size_t length = 0; length < 1296; ++length) {
        write_file(reg, image.substr(0, length));
        registry r(reg);
        r.load();
        ASSERT_EQ(r.shift, length >= 264 ? 41 : 0) << length;
        ASSERT_EQ(r.tcount_back, length >= 830 ? 5 : 0) << length;
        ASSERT_EQ(r.cashcode, 1) << length;
    }
    // A save on a short file puts its fields in place, lengthening it.
    write_file(reg, "");
    registry r(reg);
    r.load();
    r.tcount_back = 5;
    r.save();
    EXPECT_EQ(read_file(reg).size(), 831u);
}

TEST_F(RegistryFile, TheCashCodeFileHoldsDigitsOnly) {
    write_file(reg, blank);
    write_file(cashcode, "12345678\n");
    registry r(reg);
    r.load();
    r.cashcode = 7;
    r.save();
    EXPECT_EQ(read_file(cashcode), "7");
    // A desk number 0 is stored as 0 and names the desk 1 every load reads.
    r.cashcode = 0;
    r.save();
    EXPECT_EQ(read_file(reg).substr(5, 2), std::string(2, '\0'));
    EXPECT_EQ(read_file(cashcode), "1");
}

TEST_F(RegistryFile, FailuresEndTheRunWithOneLine) {
    registry missing(dir / "nope.reg");
    EXPECT_EXIT(missing.save(), ::testing::ExitedWithCode(1),
                "^Error: can't open file " + dir.path + "/nope.reg for write\n$");
    EXPECT_FALSE(exists(dir / "nope.reg"));
    EXPECT_EXIT(missing.load(), ::testing::ExitedWithCode(1), "^Error: can't open file .*/nope.reg for read\n$");

    registry directory(dir.path);
    EXPECT_EXIT(directory.load(), ::testing::ExitedWithCode(1), "can't open file .* for read");

    write_file(reg, "till-042\n");  // the editor's save, as a set, writes no text file
    registry text(reg);
    EXPECT_EXIT(text.save(field_set().set(0)), ::testing::ExitedWithCode(1),
                "^Error: file .*/cash.reg is not a register \\(offset 0 holds 0x74\\); --create makes it one\n$");
    EXPECT_EQ(read_file(reg), "till-042\n");

    write_file(reg, blank);
    std::system(("rm -r " + dir.path + "/quelvaris").c_str());
    registry r(reg);
    r.load();
    r.shift = 9;
    EXPECT_EXIT(r.save(), ::testing::ExitedWithCode(1),
                "^Error: can't open file " + dir.path + "/quelvaris/cash/conf/cashcode for write\n$");
}

}  // namespace
