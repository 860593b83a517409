// Damaged files and strange arguments, tried on the built program as a black
// box: whatever it is given, it must end with a defined result or one
// "Error: " line, never crash, hang, or write where it was not asked to.
#include "process.h"
#include "till_images.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const std::string print_keys[] = {"cashcode",    "shift",       "checknum",  "shift_begin",
                                  "tcount_sale", "tcount_back", "tsum_sale", "tsum_back",
                                  "count_sale",  "count_back",  "sum_sale",  "sum_back"};

// Empty when `out` is the twelve print lines with a value each.
std::string twelve_lines(const std::string& out) {
    std::istringstream lines(out);
    std::string line;
    for (const std::string& key : print_keys) {
        if (!std::getline(lines, line)) return "missing " + key;
        if (line.rfind(key + " = ", 0) != 0 || line.size() == key.size() + 3) return "bad line '" + line + "'";
    }
    return std::getline(lines, line) ? "extra line '" + line + "'" : "";
}

const std::string try_help = "Try 'tarnex --help' for more information.";

// A run ended in one of the two defined ways.  The option parser's own
// complaints, which begin with the program's name, may come first, and so
// may warnings (a damaged register, another file than the till's own).
std::string defined(const run_result& r) {
    std::istringstream lines(r.err);
    int errors = 0;
    std::string line, last;
    for (; std::getline(lines, line); last = line) {
        if (line.rfind("Error: ", 0) == 0 || line == try_help)
            ++errors;
        else if (line.rfind("Warning: ", 0) == 0 && errors == 0)
            continue;
        else if (line.rfind(std::string(TARNEX_BIN) + ": ", 0) != 0)
            return "stray line on standard error: '" + line.substr(0, 200) + "'";
    }
    if (r.status == 0) return errors == 0 ? "" : "status 0 with an Error line";
    if (r.status != 1) return "status " + std::to_string(r.status) + ": " + r.err.substr(0, 300);
    if (errors != 1 || (last.rfind("Error: ", 0) != 0 && last != try_help) || r.err.back() != '\n')
        return "not one closing Error line: '" + r.err.substr(0, 300) + "'";
    return "";
}

class Hostile : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string reg = dir / "f.reg";
    std::string cashcode = dir / "quelvaris/cash/conf/cashcode";
    std::map<std::string, std::string> env = {{"TARNEX_ROOT", dir.path}, {"TZ", "UTC0"}, {"LC_ALL", "C"}};
    int tried = 0;

    void SetUp() override { fs::create_directories(dir / "quelvaris/cash/conf"); }
    run_result tx(const std::vector<std::string>& args) {
        ++tried;
        return tarnex(args, env);
    }
};

// A register cut short anywhere still loads, prints and saves: the missing
// bytes read as zero, the save writes the field it sets at its place, and nothing
// else of the file changes.
TEST_F(Hostile, ARegisterCutShortAtEveryLength) {
    const std::string whole = till::example();
    for (std::size_t length = 0; length < register_size; ++length) {
        if (!sampled(length, register_size)) continue;
        const std::string cut = whole.substr(0, length);
        write_file(reg, cut);
        const run_result r = tx({"--setshift", "5", "--print", reg});
        ASSERT_EQ(defined(r), "") << length;
        ASSERT_EQ(r.status, 0) << length << ": " << r.err;
        ASSERT_EQ(twelve_lines(r.out), "") << length;
        ASSERT_NE(r.err.find(" is damaged; "), std::string::npos) << length;  // and says so
        // What a zero-padded file of full length would have become.
        std::string padded = cut + std::string(register_size - length, '\0');
        const std::string got = read_file(reg);
        const std::size_t end_of_shift = 265;
        ASSERT_EQ(got.size(), std::max(length, end_of_shift)) << length;
        std::string full = got + std::string(register_size - got.size(), '\0');
        ASSERT_EQ(till::fieldwise(full, padded, full), "") << length;
        ASSERT_EQ(got[263], 5) << length;
    }
    std::printf("[ figures  ] %d cut registers tried\n", tried);
}

// Things that are no register at all.
TEST_F(Hostile, ThingsThatAreNoRegister) {
    const std::string big = dir / "big.reg", loop = dir / "loop", fifo = dir / "fifo", sub = dir / "sub",
                      zero = dir / "zero", link = dir / "link.reg", dangling = dir / "dangling";
    std::string ten_mb = till::example() + std::string(10 * 1024 * 1024 - register_size, '\x5A');
    write_file(big, ten_mb);
    fs::create_symlink(loop, loop);
    fs::create_symlink(dir / "nothing", dangling);
    run({"mkfifo", fifo});
    fs::create_directories(sub);
    write_file(reg, till::example());
    fs::create_symlink(reg, link);
    // A device of our own, so that a fault here can never replace the real one.
    const bool have_device = mknod(zero.c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0;

    const std::vector<std::vector<std::string>> commands = {{"--print"}, {"--setshift", "5"}, {"--create", "--setcashcode", "7"}};
    const auto on = [&](std::vector<std::string> options, const std::string& path) {
        options.push_back(path);
        const run_result r = tx(options);
        EXPECT_EQ(defined(r), "") << path << " " << options[0];
        return r;
    };
    for (const std::string& path : {sub, fifo, loop, dangling, reg + "/", dir / "", std::string("/dev/zero"),
                                    std::string("/dev/null")})
        for (const auto& options : commands) {
            // --create is tried on a device of our own below, never on the real one.
            if (path.rfind("/dev/", 0) == 0 && options[0] == "--create") continue;
            EXPECT_EQ(on(options, path).status, 1) << path << " " << options[0];
        }
    // Nothing that is no regular file was replaced or turned into one.
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_TRUE(fs::is_symlink(loop));
    EXPECT_FALSE(exists(dir / "nothing"));
    EXPECT_TRUE(fs::is_character_file("/dev/zero"));

    // A 10 MB file is a register with a long tail: the tail stays as it is.
    EXPECT_EQ(on({"--setshift", "5", "--print"}, big).status, 0);
    std::string got = read_file(big);
    EXPECT_EQ(got.size(), ten_mb.size());
    EXPECT_EQ(got.substr(register_size), ten_mb.substr(register_size));
    EXPECT_EQ(till::fieldwise(got.substr(0, register_size), till::example(), got.substr(0, register_size)), "");
    EXPECT_EQ(on({"--create"}, big).status, 0);
    EXPECT_EQ(read_file(big), till::with_number(till::with_number(till::blank(), 5, 1), 781, 1));

    // A link is followed: the file it names is the register, the link stays.
    for (const auto& options : commands) EXPECT_EQ(on(options, link).status, 0) << options[0];
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(reg), till::with_number(till::with_number(till::blank(), 5, 7), 781, 1));

    if (!have_device) {
        std::printf("[ figures  ] %d damaged inputs tried (no device of our own: mknod refused)\n", tried);
        return;
    }
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--print"}, {"--setshift", "5"}, {"--create", "--setcashcode", "7"}}) {
        std::vector<std::string> args = options;
        args.push_back(zero);
        const run_result r = tx(args);
        EXPECT_EQ(r.status, 1) << options[0];
        EXPECT_EQ(defined(r), "") << options[0];
    }
    EXPECT_TRUE(fs::is_character_file(zero)) << "--create replaced a device with a file";
    // The journals of the changes made are the only names beside the registers.
    for (const auto& e : fs::directory_iterator(dir.path))
        EXPECT_TRUE(e.path().filename().string().find(".reg.") == std::string::npos || e.path().extension() == ".journal")
            << "left behind: " << e.path();
    for (const auto& e : fs::directory_iterator(dir.path))
        EXPECT_EQ(e.path().filename().string().find("zero."), std::string::npos) << "left behind: " << e.path();
    std::printf("[ figures  ] %d damaged inputs tried\n", tried);
}

// Arguments no technician would type, and some a script might produce: each
// is stored as typed or refused with the register untouched.
TEST_F(Hostile, StrangeArgumentsAreStoredAsTypedOrRefused) {
    const std::string huge(100 * 1024, '9'), junk(100 * 1024, 'x');
    const std::vector<std::string> values = {
        "99999999999999999999999999", "-99999999999999999999999", "2147483648", "-2147483649", "NaN", "nan(123)",
        "inf", "-inf", "INFINITY", "1e308", "-1e308", "1e-320", "0x1p+60", "-0", "999999999999.995", "1e15",
        "\x01\x02\x1b[2J\x7f", "\xff\xfe\xfd", "   42junk", "+-5", "", " ", huge, junk, "99.99.9999 99:99",
        "\xff\xff.\xff\xff.\xff\xff\xff\xff \xff\xff:\xff\xff", "00.00.0000 00:00", "31.12.1969 23:59", "01.01.1700 12:00", "1.1.1",
        "42", "0"};
    const char* const options[] = {"--setcashcode", "--setshift",       "--setchecknum",   "--setshift_begin",
                                   "--setcount_sale", "--setcount_back", "--settcount_sale", "--settcount_back",
                                   "--setsum_sale",  "--setsum_back",    "--settsum_sale",  "--settsum_back"};
    std::size_t case_number = 0;
    int stored = 0;
    for (const char* option : options) {
        for (const std::string& value : values) {
            if (!sampled(case_number++, std::size(options) * values.size())) continue;
            write_file(reg, till::example());
            const std::string what = std::string(option) + " '" + value.substr(0, 40) + "'";
            const run_result r = tx({option, value, "--print", reg});
            ASSERT_EQ(defined(r), "") << what;
            if (r.status != 0) {
                ASSERT_TRUE(r.out.empty() && read_file(reg) == till::example()) << what << ": refused, yet printed or wrote";
                continue;
            }
            ++stored;
            ASSERT_EQ(twelve_lines(r.out), "") << what;
            const std::string got = read_file(reg);
            ASSERT_EQ(till::fieldwise(got, till::example(), got), "") << what;
            // What was stored reads back as it was printed, a desk or
            // receipt number 0 included.
            const run_result again = tx({"--print", reg});
            ASSERT_EQ(again.status, 0) << what;
            ASSERT_EQ(again.out, r.out) << what;
        }
    }

    // Hostile words where the file name goes, and a great many words.
    const std::vector<std::vector<std::string>> lines = {
        {"--print", huge}, {"--print", "\x1b]0;title\x07"}, {"--print", "-"}, {"--"}, {"--print", "--", "--print"},
        {"--setshift"}, {"--setshift="}, {"--setshift=" + huge, reg}, {"-" + junk, reg}, {"--" + junk, reg},
        std::vector<std::string>(20000, "--print"),
        // The option parser's complaints name the typed option escaped.
        {"--set\x1b]0;owned\x07X=1", reg}, {"-\x1b", reg}, {"--h=\x1b[2J", reg}, {"--print=\x07", reg},
        {"--print", "-a\x1b", reg},
    };
    const auto raw = [](const std::string& err) {
        return std::find_if(err.begin(), err.end(), [](char c) { return (c >= 0 && c < 0x20 && c != '\n' && c != '\t') || c == 0x7f; }) != err.end();
    };
    for (const auto& args : lines) {
        const run_result r = tx(args);
        EXPECT_EQ(defined(r), "") << args.size() << " words, first " << args[0].substr(0, 20);
        EXPECT_FALSE(raw(r.err)) << args[0].substr(0, 20) << ": " << r.err.substr(0, 200);
    }
    EXPECT_EQ(tx({"--set\x1b]0;owned\x07X=1", reg}).err,
              std::string(TARNEX_BIN) + ": unrecognized option '--set\\033]0;owned\\x07X=1'\n" + try_help + "\n");
    // And --help the name the program was started under.
    const run_result help = run({"bash", "-c", "exec -a $'tarnex\\e]0;owned\\a' " TARNEX_BIN " --help"}, env);
    EXPECT_TRUE(help.status == 0 && help.out.find("tarnex\\033]0;owned\\x07 ") != std::string::npos && !raw(help.out))
        << help.out.substr(0, 100);
    EXPECT_GT(stored, 0);
    std::printf("[ figures  ] %d hostile argument runs tried, %d of them stored a value\n", tried, stored);
}

}  // namespace
