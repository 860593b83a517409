// The command line as a technician uses it: the built program, a scratch till
// under TARNEX_ROOT, files checked after every run.
#include "process.h"
#include "register/registry.h"
#include "tui/convert.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <iconv.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <chrono>
#include <clocale>
#include <sstream>
#include <thread>

namespace {

using env_map = std::map<std::string, std::string>;

const std::string blank(reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size());

bool installed(const char* locale) {
    locale_t l = newlocale(LC_CTYPE_MASK, locale, nullptr);
    if (l) freelocale(l);
    return l != nullptr;
}

// CP1251 text in another character set, through the C library's converter.
std::string recode(std::string text, const char* charset) {
    iconv_t cd = iconv_open(charset, "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) return "(no converter to " + std::string(charset) + ")";
    std::string out(text.size() * 4, '\0');
    char* in = text.data();
    char* dst = out.data();
    std::size_t in_left = text.size(), dst_left = out.size();
    if (iconv(cd, &in, &in_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) out = "(cannot convert)";
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return out;
}

const std::vector<std::string> example_options = {
    "--setcashcode", "3", "--setshift", "41", "--setchecknum", "17", "--setshift_begin", "05.03.2024 08:30",
    "--settcount_sale", "12", "--settcount_back", "1", "--settsum_sale", "1520.5", "--settsum_back", "99.9",
    "--setcount_sale", "3050", "--setcount_back", "27", "--setsum_sale", "250000", "--setsum_back", "1234.567"};

const char* const example_print =
    "cashcode = 3\nshift = 41\nchecknum = 17\nshift_begin = 05.03.2024 08:30\n"
    "tcount_sale = 12\ntcount_back = 1\ntsum_sale = 1520.50\ntsum_back = 99.90\n"
    "count_sale = 3050\ncount_back = 27\nsum_sale = 250000.00\nsum_back = 1234.57\n";

const char* const blank_print =
    "cashcode = 1\nshift = 0\nchecknum = 1\nshift_begin = 01.01.1970 00:00\n"
    "tcount_sale = 0\ntcount_back = 0\ntsum_sale = 0.00\ntsum_back = 0.00\n"
    "count_sale = 0\ncount_back = 0\nsum_sale = 0.00\nsum_back = 0.00\n";

class Cli : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string reg = dir / "quelvaris/cash/data/cash.reg";  // the till's own
    std::string cashcode = dir / "quelvaris/cash/conf/cashcode";
    env_map env = {{"TARNEX_ROOT", dir.path}, {"TZ", "UTC0"}, {"LC_ALL", "C"}, {"SSH_CONNECTION", ""}};

    void SetUp() override {
        run({"mkdir", "-p", dir / "quelvaris/cash/conf", dir / "quelvaris/cash/data"});
        write_file(reg, blank);
    }
    run_result tx(std::vector<std::string> args) { return tarnex(args, env); }
    std::string print() { return tx({"--print", reg}).out; }
};

TEST_F(Cli, HelpIsTheUsageTextAndTouchesNothing) {
    ASSERT_TRUE(installed("ru_RU.CP1251")) << "run as root: localedef -i ru_RU -f CP1251 ru_RU.CP1251";
    env["LC_ALL"] = "ru_RU.CP1251";  // the till's own bytes
    constexpr auto first_line = "Использование: %s [опции] файл\nОпции:\n"_cp;
    const run_result r = tx({"--print", "--help", reg});
    EXPECT_EQ(r.status, 0);
    std::string expected_head = std::string(first_line);
    expected_head.replace(expected_head.find("%s"), 2, TARNEX_BIN);
    EXPECT_EQ(r.out.substr(0, expected_head.size()), expected_head);
    constexpr auto last_line = "\tномера кассы (копия, диск кассы, смонтированный в другом месте).\n\n"_cp;
    EXPECT_EQ(r.out.substr(r.out.size() - last_line.size()), std::string(last_line));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 34);
    EXPECT_NE(r.out.find("\t--init - "), std::string::npos);
    EXPECT_NE(r.out.find("\t--setshift_begin - "), std::string::npos);
    EXPECT_FALSE(exists(cashcode));
}

// A terminal of today gets the text in its own character set.  The C and
// POSIX locales, and a locale name the till has not installed (which the C
// library turns into C), stand for UTF-8.
TEST_F(Cli, HelpIsReadableInEveryLocale) {
    ASSERT_TRUE(installed("ru_RU.CP1251") && installed("ru_RU.KOI8-R"))
        << "run as root: localedef -i ru_RU -f CP1251 ru_RU.CP1251; localedef -i ru_RU -f KOI8-R ru_RU.KOI8-R";
    ASSERT_FALSE(installed("xx_XX.UTF-8"));
    const std::string cp1251 = tarnex({"--help"}, {{"LC_ALL", "ru_RU.CP1251"}}).out;
    const env_map no_locale = {{"LC_ALL", ""}, {"LC_CTYPE", ""}, {"LANG", ""}};
    struct {
        env_map env;
        const char* charset;
    } cases[] = {
        {{}, "UTF-8"},  // none of the variables set, as for a fresh root
        {{{"LANG", "C"}}, "UTF-8"},
        {{{"LC_ALL", "POSIX"}, {"LANG", "ru_RU.CP1251"}}, "UTF-8"},
        {{{"LANG", "xx_XX.UTF-8"}}, "UTF-8"},  // an SSH client's LANG the till lacks
        {{{"LANG", "C.UTF-8"}}, "UTF-8"},
        {{{"LC_CTYPE", "ru_RU.KOI8-R"}, {"LANG", "C"}}, "KOI8-R"},
        {{{"LANG", "ru_RU.CP1251"}}, "CP1251"},
    };
    for (const auto& c : cases) {
        env_map e = no_locale;
        for (const auto& [name, value] : c.env) e[name] = value;
        std::string label;
        for (const auto& [name, value] : e)
            if (!value.empty()) label += name + "=" + value + " ";
        const run_result r = tarnex({"--help"}, e);
        EXPECT_EQ(r.status, 0) << label;
        EXPECT_EQ(r.out, recode(cp1251, c.charset)) << label;
        if (c.charset == std::string("UTF-8")) {
            EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Использование: " TARNEX_BIN " [опции] файл") << label;
        }
    }
    const run_result koi8 = tarnex({"--help"}, {{"LC_ALL", "ru_RU.KOI8-R"}});
    EXPECT_EQ(koi8.out.substr(0, 14), "\xE9\xD3\xD0\xCF\xCC\xD8\xDA\xCF\xD7\xC1\xCE\xC9\xC5:");
    EXPECT_EQ(koi8.out.size(), cp1251.size()) << "one byte a character, as in CP1251";
}

// --print and the set options write only ASCII, and loading a locale's
// tables would be a good part of what they cost; only the Russian texts
// take the locale.
TEST_F(Cli, OnlyTheRussianTextsLoadALocale) {
    if (run({"strace", "-o", "/dev/null", "true"}).status != 0) GTEST_SKIP() << "strace cannot trace here";
    const auto locale_opens = [&](std::vector<std::string> args, env_map e) {
        const std::string trace = dir / "trace";
        std::vector<std::string> argv = {"strace", "-f", "-e", "trace=open,openat", "-o", trace, TARNEX_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        e["ASAN_OPTIONS"] = "exitcode=86:detect_leaks=0";  // LeakSanitizer cannot run under a tracer
        EXPECT_EQ(run(argv, e).status, 0);
        int n = 0;
        std::istringstream lines(read_file(trace));
        for (std::string line; std::getline(lines, line);)
            n += line.find("/locale") != std::string::npos || line.find("/gconv") != std::string::npos;
        return n;
    };
    for (const char* lang : {"C.UTF-8", "", "ru_RU.KOI8-R"}) {
        env_map e = env;
        e["LC_ALL"] = e["LC_CTYPE"] = "";
        e["LANG"] = lang;
        EXPECT_EQ(locale_opens({"--print", reg}, e), 0) << lang;
        EXPECT_EQ(locale_opens({"--setshift", "3", "--print", reg}, e), 0) << lang;
        EXPECT_GT(locale_opens({"--help"}, e), 0) << lang;
    }
}

TEST_F(Cli, PrintsTheTwelveValuesAfterSettingThem) {
    std::vector<std::string> args = example_options;
    args.insert(args.begin(), "--create");
    args.push_back(reg);
    ASSERT_EQ(tx(args).status, 0);
    EXPECT_EQ(print(), example_print);
    EXPECT_EQ(read_file(cashcode), "3");

    // The same stored pair is the same wall-clock time in another zone.
    env["TZ"] = "MSK-3";
    EXPECT_EQ(print(), example_print);
    // --json instead: one line for a program, the keys in print order, the
    // shift's beginning in ISO 8601 with its offset, in summer time too.
    EXPECT_EQ(tx({"--json", "--print", reg}).out,
              "{\"cashcode\": 3, \"shift\": 41, \"checknum\": 17, \"shift_begin\": \"2024-03-05T08:30:00+03:00\", "
              "\"tcount_sale\": 12, \"tcount_back\": 1, \"tsum_sale\": 1520.50, \"tsum_back\": 99.90, "
              "\"count_sale\": 3050, \"count_back\": 27, \"sum_sale\": 250000.00, \"sum_back\": 1234.57}\n");
    env["TZ"] = "CET-1CEST,M3.5.0,M10.5.0/3";
    EXPECT_NE(tx({"--setshift_begin", "05.07.2024 08:30", "--json", reg}).out.find("\"2024-07-05T08:30:00+02:00\""),
              std::string::npos);

    // What --json shows, fed back, leaves the register as it was: in summer
    // time, in the hours the clocks skip and repeat, with seconds stored.
    for (const char* when : {"05.07.2024 08:30", "31.03.2024 02:30", "27.10.2024 02:30", "seconds"}) {
        if (when == std::string("seconds"))
            write_file(reg, read_file(reg).replace(275, 4, "\xFC\xB6\x2E\0", 4));  // 08:30:15
        else
            ASSERT_EQ(tx({"--setshift_begin", when, reg}).status, 0);
        const std::string json = tx({"--json", reg}).out, image = read_file(reg);
        const std::size_t at = json.find("\"shift_begin\": \"") + 16;
        const std::string iso = json.substr(at, json.find('"', at) - at);
        const run_result r = tx({"--setshift_begin", iso, reg});
        EXPECT_EQ(r.status, 0) << iso << ": " << r.err;
        EXPECT_EQ(read_file(reg), image) << when << ": " << iso;
    }
}

TEST_F(Cli, CreateBlanksTheFileAndSetsApplyAfterIt) {
    write_file(reg, std::string(1296, '\x11'));
    const run_result r = tx({"--setcashcode", "7", "--print", "--create", reg});
    EXPECT_EQ(r.status, 0);
    std::string expected = blank_print;
    expected.replace(0, 12, "cashcode = 7");
    EXPECT_EQ(r.out, expected);
    std::string image = blank;
    image[5] = 7;
    image[781] = 1;
    EXPECT_EQ(read_file(reg), image);
    EXPECT_EQ(read_file(cashcode), "7");
}

TEST_F(Cli, OnlyAChangeWrites) {
    for (auto args : {std::vector<std::string>{reg}, {"--print", reg}, {"--json", reg}, {"--dry-run", reg},
                      {"--reason", "why", "--print", reg}}) {
        const run_result r = tx(args);
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.err;
        EXPECT_EQ(read_file(reg), blank);
        EXPECT_FALSE(exists(cashcode));
    }
    EXPECT_EQ(tx({"--print", reg}).out, blank_print);
    // A register --verify faults (empty, cut short, a digit no amount has)
    // reads as before, said so once on standard error; a set still works,
    // and every change, dry or real, says so too before it writes.
    const std::string warning = "Warning: file " + reg + " is damaged; tarnex --verify " + reg + " lists what is wrong\n";
    for (const std::string& image : {std::string(), blank.substr(0, 800), blank.substr(0, 523) + "\xA0" + blank.substr(524)}) {
        write_file(reg, image);
        for (const auto& [args, prints] :
             {std::pair{std::vector<std::string>{"--print"}, true}, {{"--json"}, true}, {{"--setshift", "3", "--print"}, true},
              {{"--setcashcode", "9", "--dry-run"}, true}, {{"--setcashcode", "9"}, false}, {{"--undo", "--dry-run"}, true},
              {{"--undo"}, false}}) {
            std::vector<std::string> argv = args;
            argv.push_back(reg);
            const run_result r = tx(argv);
            EXPECT_TRUE(r.status == 0 && r.err == warning && r.out.empty() != prints) << image.size() << args[0] << r.err;
        }
        EXPECT_EQ(read_file(reg)[263], 3);
        EXPECT_EQ(read_file(reg)[5], 0) << "the undo put back the stored 0";
    }
}

TEST_F(Cli, ValuesAreReadAsTyped) {
    struct {
        std::vector<std::string> args;
        const char* line;
    } cases[] = {
        {{"--setcashcode", "65535"}, "cashcode = 65535"},
        {{"--setcashcode=12"}, "cashcode = 12"},
        {{"--setshift", "5", "--setshift", "6"}, "shift = 6"},
        {{"--setsum_sale", "12,50"}, "sum_sale = 12.50"},  // a decimal comma, as Russian is written
        // An amount is shown as the field will hold it: the next hundredth.
        {{"--setsum_sale", "0.125"}, "sum_sale = 0.13"},
        {{"--settsum_back", "999999999999.99"}, "tsum_back = 999999999999.99"},
        {{"--settsum_sale", "100.5"}, "tsum_sale = 100.50"},
        {{"--setshift_begin", "05.03.2024 08:30"}, "shift_begin = 05.03.2024 08:30"},
        {{"--setshift_begin", "29.02.2024"}, "shift_begin = 29.02.2024 00:00"},
        {{"--setshift_begin", "2024-03-05T08:30"}, "shift_begin = 05.03.2024 08:30"},
        {{"--setshift_begin", "2024-03-05T08:30:00+03:00"}, "shift_begin = 05.03.2024 05:30"},
        {{"--setshift_begin", "2024-03-05T23:30Z"}, "shift_begin = 05.03.2024 23:30"},
    };
    for (const auto& c : cases) {
        write_file(reg, blank);
        std::vector<std::string> args = c.args;
        args.push_back("--pri");  // any unambiguous abbreviation
        args.push_back(reg);
        const run_result r = tx(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(std::string(c.line) + "\n"), std::string::npos) << c.line << "\n" << r.out;
    }
    // What is printed is what the file then holds.
    ASSERT_EQ(tx({"--setsum_sale", "0.125", reg}).status, 0);
    EXPECT_EQ(read_file(reg).substr(522, 7), std::string("\0\0\0\0\0\0\x13", 7));
    EXPECT_NE(print().find("sum_sale = 0.13\n"), std::string::npos);
}

// A value that is not wholly of its field's form, an option getopt_long
// rejects or a file name missing or given twice: the run ends before anything
// is read, and the rest of the options is not carried out either.
TEST_F(Cli, AnyMistakeEndsTheRunBeforeItChangesAnything) {
    const std::string try_help = "Try 'tarnex --help' for more information.\n";
    const std::string other = dir / "a.reg";
    struct {
        std::vector<std::string> args;
        std::string err;  // its last line
    } cases[] = {
        {{"--setshift", "70000", reg}, "Error: bad value '70000' for --setshift\n"},
        {{"--setcashcode", "-1", reg}, "Error: bad value '-1' for --setcashcode\n"},
        {{"--setcount_back", "99999999999999999999", reg},
         "Error: bad value '99999999999999999999' for --setcount_back\n"},
        {{"--setsum_back", "1000000000000", reg}, "Error: bad value '1000000000000' for --setsum_back\n"},
        {{"--settsum_back", "nan", reg}, "Error: bad value 'nan' for --settsum_back\n"},
        {{"--setshift_begin", "31.02.2024 10:00", reg}, "Error: bad value '31.02.2024 10:00' for --setshift_begin\n"},
        {{"--setshift_begin", "2024-03-05T08:30:00+0300", reg},
         "Error: bad value '2024-03-05T08:30:00+0300' for --setshift_begin\n"},
        {{"--setshift", "\x1b[2J\n4", reg}, "Error: bad value '\\033[2J\\n4' for --setshift\n"},
        // The value is looked at before the file.
        {{"--setshift", "x", dir / "missing.reg"}, "Error: bad value 'x' for --setshift\n"},
        {{"--setshfit", "42", "--setchecknum", "5", "--print", reg}, try_help},
        {{"-p", reg}, try_help},
        {{"--ver", reg}, try_help},
        {{"--setshift", reg}, try_help},
        {{"--print", "--setshift"}, try_help},
        {{"--print=1", reg}, try_help},
        {{"--print"}, TARNEX_BIN ": missing file operand\n" + try_help},
        {{other, reg, "--setshift", "3"}, TARNEX_BIN ": extra operand '" + reg + "'\n" + try_help},
    };
    write_file(other, blank);
    for (const auto& c : cases) {
        const run_result r = tx(c.args);
        const std::string what = c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_TRUE(r.err.ends_with(c.err)) << what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.err.ends_with(try_help) ? 2 : 1) << what;
        EXPECT_TRUE(read_file(reg) == blank && read_file(other) == blank && !exists(cashcode)) << what << ": written";
    }
    // --help and --version still win wherever they stand.
    for (auto args : {std::vector<std::string>{"--nosuch", "--help"}, {"--setshift", "x", "--help", reg}, {"--version", "a", "b"}}) {
        const run_result r = tx(args);
        EXPECT_TRUE(r.status == 0 && !r.out.empty()) << args[0] << ": " << r.err;
    }
    // The file may stand anywhere among the options.
    EXPECT_EQ(tx({reg, "--setshift", "3"}).status, 0);
    EXPECT_NE(print().find("shift = 3\n"), std::string::npos);
}

// A dry run reads and checks as the run would, prints what it would change,
// and writes nothing at all: no register, no kept image, no cash code file.
TEST_F(Cli, DryRunShowsTheChangeAndWritesNothing) {
    ASSERT_EQ(tx({"--setshift", "41", "--setsum_sale", "5", "--setshift_begin", "2024-03-13T08:30:15Z", reg}).status, 0);
    const std::string image = read_file(reg), kept = read_file(reg + "-"), code = read_file(cashcode);
    struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        // The till's cash code file changes with the desk number.
        {{"--setshift", "42", "--setsum_sale", "5", "--setcashcode", "3"},
         "cashcode 1 -> 3\nshift 41 -> 42\ncash code file " + cashcode + ": 1 -> 3\n"},
        {{"--setshift", "41", "--setsum_sale", "5.00", "--setshift_begin", "2024-03-13T08:30:15Z"}, ""},
        // The blank register's desk and receipt numbers are saved as the 1
        // they read as.
        {{"--create", "--setshift", "41"},
         "cashcode 1 (stored 0) -> 1\nshift_begin 13.03.2024 08:30 -> 01.01.1970 00:00\nsum_sale 5.00 -> 0.00\n"
         "checknum 1 (stored 0) -> 1\n"},
        {{"--undo"}, "shift 41 -> 0\nshift_begin 13.03.2024 08:30 -> 01.01.1970 00:00\nsum_sale 5.00 -> 0.00\n"},
        // A stored 0 reads as desk or receipt number 1: setting 0 changes nothing.
        {{"--setcashcode", "0", "--setchecknum", "0"}, ""},
        // Bytes that change under the same printed form are shown apart.
        {{"--setshift_begin", "13.03.2024 08:30"}, "shift_begin 13.03.2024 08:30:15 -> 13.03.2024 08:30:00\n"},
        {{"--setcashcode", "1"}, "cashcode 1 (stored 0) -> 1\n"},
        {{"--setsum_back", "12,345", "--json"},
         "{\"cashcode\": 1, \"shift\": 41, \"checknum\": 1, \"shift_begin\": \"2024-03-13T08:30:15+00:00\", \"tcount_sale\": 0, "
         "\"tcount_back\": 0, \"tsum_sale\": 0.00, \"tsum_back\": 0.00, \"count_sale\": 0, \"count_back\": 0, "
         "\"sum_sale\": 5.00, \"sum_back\": 12.35}\n"},
        {{"--setchecknum", "0", "--json"}, tx({"--json", reg}).out},
    };
    // No lock is taken and no warning given: a held register does not stop it.
    const int held = open(reg.c_str(), O_RDWR);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(held, F_SETLK, &whole), 0);
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--dry-run", reg});
        const run_result r = tx(args);
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_TRUE(read_file(reg) == image && read_file(reg + "-") == kept && read_file(cashcode) == code) << c.args[0];
    }
    close(held);
    // A copy's dry run says that the till's cash code file would change; on
    // a machine that is no till (no cash code directory) it and a read still
    // work, and only the save fails, on the cash code file.
    const std::string copy = dir / "copy.reg";
    write_file(copy, image);
    EXPECT_EQ(tx({"--setcashcode", "99", "--dry-run", copy}).out,
              "cashcode 1 -> 99\ncash code file " + cashcode + ": 1 -> 99 (" + copy + " is not the till's register)\n");
    env["TARNEX_ROOT"] = dir / "nowhere";
    const std::string none = dir / "nowhere/quelvaris/cash/conf/cashcode";
    run_result r = tx({"--setcashcode", "99", "--dry-run", copy});
    EXPECT_TRUE(r.status == 0 && r.err == "Warning: there is no cash code file " + none + " here; saving file " + copy + " needs one\n")
        << r.err;
    EXPECT_EQ(r.out, "cashcode 1 -> 99\ncash code file " + none + ": none -> 99 (" + copy + " is not the till's register)\n");
    EXPECT_EQ(tx({"--print", copy}).status, 0);
    r = tx({"--setcashcode", "99", "--print", copy});
    EXPECT_TRUE(r.status == 1 && r.out.empty() && r.err == "Error: can't open file " + none + " for write\n") << r.err;
    EXPECT_EQ(read_file(copy), image);
    env["TARNEX_ROOT"] = dir.path;
    // A dry run counts among the reading options, not the changes.
    EXPECT_EQ(tx({"--undo", "--setshift", "1", "--dry-run", reg}).status, 1);
    // The set itself tells the seconds it drops apart in its record (and
    // its log line, made by the same words).
    ASSERT_EQ(tx({"--setshift_begin", "13.03.2024 08:30", reg}).status, 0);
    const std::string newest = tx({"--history", reg}).out;
    EXPECT_TRUE(newest.substr(0, newest.find('\n')).ends_with(": shift_begin 13.03.2024 08:30:15 -> 13.03.2024 08:30:00"))
        << newest;
}

TEST_F(Cli, FailuresSayWhatAndChangeNothing) {
    const auto not_register = [](const std::string& file, const std::string& where) {
        return "Error: file " + file + " is not a register (offset " + where + "); --create makes it one\n";
    };
    struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--create", dir / "missing.reg"}, "Error: can't stat file " + dir / "missing.reg" + "\n"},
        {{"--print", dir.path}, "Error: can't open file " + dir.path + " for read\n"},
        {{"--setshift", "4", "/dev/null"}, "Error: can't open file /dev/null for write\n"},
        // A name the directory's owner chose reaches the terminal escaped.
        {{"--print", dir / "x\033]0;t\007.reg"}, "Error: can't stat file " + dir / "x\\033]0;t\\x07.reg" + "\n"},
        // No change lands in a file that is no register, nor is one shown.
        {{"--setshift", "3", dir / "hostname"}, not_register(dir / "hostname", "0 holds 0x74")},
        {{"--setshift", "3", "--dry-run", dir / "passwd"}, not_register(dir / "passwd", "0 holds 0x72")},
        {{"--setcashcode", "3", "--print", dir / "tail.reg"}, not_register(dir / "tail.reg", "1036 holds 0x0A")},
    };
    const std::map<std::string, std::string> files = {{"hostname", "till-042\n"},
        {"passwd", "root:x:0:0:root:/root:/bin/bash\n" + std::string(1400, 'x')}, {"tail.reg", blank.substr(0, 1036) + "\nx"}};
    for (const auto& [name, bytes] : files) write_file(dir / name, bytes);
    for (const auto& c : cases) {
        const run_result r = tx(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.out, "");
    }
    for (const auto& [name, bytes] : files) EXPECT_EQ(read_file(dir / name), bytes) << name;
    EXPECT_FALSE(exists(dir / "missing.reg"));

    // A FIFO is no register, and must not hang the run.
    run({"mkfifo", dir / "fifo"});
    EXPECT_EQ(tx({"--print", dir / "fifo"}).err, "Error: can't open file " + dir / "fifo" + " for read\n");
    EXPECT_FALSE(exists(cashcode));
    // Nor is it ever opened, by the read, the verify or a change's look for
    // another process on it: a writer waiting for a reader keeps waiting.
    const int writer = start({"sh", "-c", "echo x > " + dir / "fifo"});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& args : {std::vector<std::string>{"--setshift", "3"}, {"--verify", "--json"}, {"--json"}}) {
        std::vector<std::string> argv = args;
        argv.push_back(dir / "fifo");
        EXPECT_EQ(tx(argv).status, 1) << args[0];
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the FIFO was opened";
    kill(writer, SIGKILL);
    finish(writer);

    // A directory at a name the change writes (the cash code file's
    // temporary name, the journal, the journal's temporary name while there
    // is no journal) fails the dry run as it fails the change, before either
    // prints.
    for (const auto& [name, failing] : {std::pair{cashcode + ".tmp", cashcode}, {reg + ".journal", reg + ".journal"},
                                        {reg + ".journal.tmp", reg + ".journal"}}) {
        ASSERT_EQ(mkdir(name.c_str(), 0755), 0) << name;
        for (const char* mode : {"--dry-run", "--print"}) {
            const run_result r = tx({"--setcashcode", "5", mode, reg});
            EXPECT_TRUE(r.status == 1 && r.out.empty() && r.err == "Error: can't open file " + failing + " for write\n")
                << name << " " << mode << ": " << r.err;
        }
        rmdir(name.c_str());
        EXPECT_EQ(read_file(reg), blank) << name;
    }

    // Standard output that cannot be written (full, closed, a pipe closed
    // by its reader) is a failure: before the change nothing is saved; after
    // it (an undo writes, then prints) the failure says so, lest a retry redo.
    ASSERT_EQ(tx({"--setshift", "7", reg}).status, 0);
    const std::string changed = "; the register " + reg + " was changed";
    for (const auto& [command, output, after] :
         {std::tuple{"--setshift 9 --print", ">/dev/full", ""}, {"--setshift 9 --print", ">&-", ""},
          {"--undo --print", ">/dev/full", changed.c_str()}, {"--undo --json", "| (exec <&-; sleep 1)", changed.c_str()}}) {
        const std::string before = read_file(reg);
        const run_result r = run({"bash", "-o", "pipefail", "-c", TARNEX_BIN " " + std::string(command) + " " + reg + output}, env);
        EXPECT_EQ(r.status, 1) << command << output;
        EXPECT_EQ(r.err, "Error: can't write file standard output" + std::string(after) + "\n") << command << output;
        EXPECT_EQ(read_file(reg) == before, *after == '\0') << command << output;
    }
}

// Root ignores file modes, so these run as an unprivileged user.
TEST_F(Cli, PermissionsAreHonouredAndReported) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    const auto as_nobody = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TARNEX_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, env);
    };
    // A writing run opens the register, then the cash code file, for writing
    // before it prints; a dry run opens what the change would write, so it
    // fails as the change does.
    const std::string no_write = "Error: can't open file " + reg + " for write\n";
    const std::string no_code = "Error: can't open file " + cashcode + " for write\n";
    const struct {
        mode_t mode;
        std::vector<std::string> args;
        std::string error;
    } refused[] = {
        {0644, {"--setshift", "5", "--print", reg}, no_write},
        {0644, {"--setshift", "5", "--dry-run", reg}, no_write},
        {0600, {"--print", reg}, "Error: can't open file " + reg + " for read\n"},
        // Files the user may write in directories only root may: saved in
        // place, without a kept version, once the cash code file is writable too.
        {0666, {"--setcashcode", "5", "--print", reg}, no_code},
        {0666, {"--setcashcode", "5", "--dry-run", reg}, no_code},
    };
    write_file(cashcode, "12");
    run_result r;
    for (const auto& c : refused) {
        chmod(reg.c_str(), c.mode);
        r = as_nobody(c.args);
        EXPECT_TRUE(r.status == 1 && r.out.empty() && r.err == c.error) << c.args[0] << c.args[2] << r.err;
        EXPECT_EQ(read_file(reg), blank) << c.args[0] << c.args[2];
    }
    EXPECT_EQ(as_nobody({"--setcashcode", "12", "--dry-run", reg}).status, 0);  // the file holds it already
    chmod(cashcode.c_str(), 0666);
    // Rewritten in place, the cash code file keeps its length: "12" never
    // passes through "52" or "1" on its way to "5".
    for (const char* dry : {"--print", "--dry-run"}) {
        r = as_nobody({"--setcashcode", "5", dry, reg});
        EXPECT_EQ(r.err, "Error: can't write file " + cashcode + " whole: this user may not write its directory; run as root\n");
        EXPECT_TRUE(r.status == 1 && r.out.empty() && read_file(reg) == blank && read_file(cashcode) == "12") << dry;
    }
    const system_log log(dir.path);
    chmod(log.path.c_str(), 0666);
    r = run(log.logging({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TARNEX_BIN, "--setcashcode", "15", reg}), env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Warning: can't keep the previous version " + reg + ".journal\n");
    EXPECT_EQ(read_file(reg)[5], 15);
    EXPECT_EQ(read_file(cashcode), "15");
    EXPECT_FALSE(exists(reg + "-"));
    EXPECT_NE(log.next(1000).find(": previous version not kept; cashcode 1 -> 15"), std::string::npos);
}

TEST_F(Cli, CreateAndSaveKeepTheFilesOwnerAndMode) {
    chmod(reg.c_str(), 0640);
    if (chown(reg.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "cannot give the file away";
    ASSERT_EQ(tx({"--create", "--setshift", "2", reg}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(reg.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 65534u);
}

// The record lock a cash desk program takes on its register while it writes.
struct record_lock {
    int fd;
    explicit record_lock(const std::string& path) : fd(open(path.c_str(), O_RDWR)) {
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        EXPECT_EQ(fcntl(fd, F_SETLK, &whole), 0);
    }
    ~record_lock() { close(fd); }
};

// --init makes the blank register only where there is none or the file is
// empty, as it finds it under the lock; a file that holds anything, a
// register written a moment ago included, is left alone.  Status 0 either
// way; --json says which, and a dry run what it would do, writing nothing.
TEST_F(Cli, InitMakesARegisterOnlyWhereNoneIs) {
    const std::string traded = blank.substr(0, 550) + "\xEA\x0B" + blank.substr(552);  // count_sale 3050
    const std::optional<std::string> missing;
    const struct {
        std::optional<std::string> before;
        std::vector<std::string> options;
        std::string out;
        std::optional<std::string> after;
    } cases[] = {
        {missing, {}, "", blank},
        {missing, {"--json"}, "{\"created\": true}\n", blank},
        {missing, {"--json", "--dry-run"}, "{\"created\": true}\n", missing},
        {"", {"--json"}, "{\"created\": true}\n", blank},
        {"", {"--dry-run"}, "", ""},
        {traded, {"--json"}, "{\"created\": false}\n", traded},
        {traded, {"--json", "--dry-run"}, "{\"created\": false}\n", traded},
        {"x", {}, "", "x"},
    };
    for (const auto& c : cases) {
        std::remove(reg.c_str());
        std::remove((reg + ".journal").c_str());
        if (c.before) write_file(reg, *c.before);
        std::vector<std::string> args = {"--init"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(reg);
        const run_result r = tx(args);
        const std::string what = (c.before ? std::to_string(c.before->size()) : "missing") + " " + c.out;
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << what << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_EQ(exists(reg), c.after.has_value()) << what;
        if (c.after) {
            EXPECT_EQ(read_file(reg), *c.after) << what;
        }
    }
    // Decided under the lock: a cash desk that writes its first register
    // while --init waits for the lock keeps it.
    write_file(reg, "");
    auto held = std::make_unique<record_lock>(reg);
    const int init = start({TARNEX_BIN, "--init", reg}, env);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    write_file(reg, traded);
    held.reset();
    EXPECT_EQ(finish(init), 0);
    EXPECT_EQ(read_file(reg), traded);
    // A journal that cannot be made fails the dry run as the run, which then
    // makes no register either.
    std::remove(reg.c_str());
    ASSERT_EQ(mkdir((reg + ".journal").c_str(), 0755), 0);
    for (const char* mode : {"--dry-run", "--json"}) {
        EXPECT_EQ(tx({"--init", mode, reg}).err, "Error: can't open file " + reg + ".journal for write\n") << mode;
        EXPECT_FALSE(exists(reg)) << mode;
    }
    rmdir((reg + ".journal").c_str());
    EXPECT_EQ(tx({"--init", "--setshift", "3", reg}).err,
              "Error: can't make file " + reg + " a register and do more in one run\n");
}

// Writers wait for each other and each keeps what the other wrote; a lock
// held too long is reported, and nothing is written.
TEST_F(Cli, WritersTakeTurnsAndKeepEachOthersChanges) {
    ASSERT_EQ(tx({"--setcashcode", "3", reg}).status, 0);
    auto held = std::make_unique<record_lock>(reg);
    const int a = start({TARNEX_BIN, "--setshift", "5", "--setcashcode", "6", reg}, env);
    const int b = start({TARNEX_BIN, "--setchecknum", "9", "--setsum_sale", "1.5", reg}, env);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(tx({"--print", reg}).status, 0);  // readers take no lock
    held.reset();
    EXPECT_EQ(finish(a), 0);
    EXPECT_EQ(finish(b), 0);
    const std::string after = print();
    for (const char* line : {"cashcode = 6\n", "shift = 5\n", "checknum = 9\n", "sum_sale = 1.50\n"})
        EXPECT_NE(after.find(line), std::string::npos) << line << after;
    EXPECT_EQ(read_file(cashcode), "6");

    // The cash desk saves by renaming a new file over the register while a
    // writer waits: the change goes to the file at the path, and the old one,
    // no longer the register, gets nothing.
    const std::string old_image = read_file(reg), replaced = dir / "replaced.reg";
    held = std::make_unique<record_lock>(reg);
    const int c = start({TARNEX_BIN, "--setcount_back", "8", reg}, env);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    write_file(dir / "new.reg", old_image);
    ASSERT_TRUE(link(reg.c_str(), replaced.c_str()) == 0 && rename((dir / "new.reg").c_str(), reg.c_str()) == 0);
    held.reset();
    EXPECT_EQ(finish(c), 0);
    EXPECT_TRUE(read_file(replaced) == old_image && print().find("count_back = 8\n") != std::string::npos);

    const std::string before = read_file(reg);
    held = std::make_unique<record_lock>(reg);
    const run_result r = tx({"--setshift", "7", reg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Warning: file " + reg + " is open in process " + std::to_string(getpid()) +
                         " (tarnex_e2e)\nError: can't lock file " + reg + "\n");
    EXPECT_EQ(read_file(reg), before);
}

// --create writes over the register in place: the same inode, so a hard link,
// an extended attribute and a descriptor the cash desk holds all stay with it.
TEST_F(Cli, CreateKeepsTheRegistersInode) {
    const std::string other = dir / "hard.reg";
    ASSERT_EQ(tx({"--setshift", "9", reg}).status, 0);
    write_file(reg, read_file(reg) + std::string(100, 'x'));  // a longer file is cut to the image
    ASSERT_EQ(link(reg.c_str(), other.c_str()), 0);
    // A journal that is the register itself is no journal: it is replaced,
    // and the undo then has its way back, to the byte cut.
    const std::string image = read_file(reg);
    std::remove((reg + ".journal").c_str());
    ASSERT_EQ(link(reg.c_str(), (reg + ".journal").c_str()), 0);
    const bool has_xattr = setxattr(reg.c_str(), "user.till", "7", 1, 0) == 0;
    struct stat before, after;
    ASSERT_EQ(stat(reg.c_str(), &before), 0);
    ASSERT_EQ(tx({"--create", "--setcashcode", "4", reg}).status, 0);
    ASSERT_EQ(stat(reg.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_file(other), read_file(reg));
    EXPECT_EQ(read_file(reg).size(), register_size);
    EXPECT_NE(print().find("shift = 0\n"), std::string::npos);
    char value[8] = {};
    if (has_xattr) {
        EXPECT_EQ(getxattr(reg.c_str(), "user.till", value, sizeof value), 1);
    }
    struct stat kept;
    EXPECT_TRUE(stat((reg + ".journal").c_str(), &kept) == 0 && kept.st_nlink == 1 && kept.st_ino != after.st_ino);
    EXPECT_EQ(tx({"--undo", reg}).status, 0);
    EXPECT_EQ(read_file(reg), image);
}

// A field the run does not set keeps its stored bytes, even when they are
// bytes the tool would never write itself: 02:30:00.37 on the night the
// clocks go forward.
TEST_F(Cli, FieldsNotSetKeepTheirBytes) {
    std::string image = blank;
    const unsigned char when[8] = {0x87, 0x3E, 0x01, 0x00, 0x25, 0xBC, 0x0D, 0x00};  // day 81543, 900005 hundredths
    image.replace(271, 8, reinterpret_cast<const char*>(when), 8);
    write_file(reg, image);
    env["TZ"] = "CET-1CEST,M3.5.0,M10.5.0/3";
    ASSERT_EQ(tx({"--setshift", "5", reg}).status, 0);
    EXPECT_EQ(read_file(reg).substr(271, 8), image.substr(271, 8));
    EXPECT_EQ(read_file(reg)[263], 5);
}

// As root, a symbolic link is followed only when root owns it and only root
// may write its directory: the cash desk's user, owner of a data or conf
// directory, could have planted it there or moved root's own link there.  A
// link at the journal's name is replaced as a name, never followed.
TEST_F(Cli, RootFollowsOnlyLinksNobodyElseCouldHaveMoved) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string secret = dir / "vault/file", data = dir / "data", user_reg = data + "/cash.reg";
    const std::string planted = dir / "planted.reg", conf = dir / "quelvaris/cash/conf";
    run({"mkdir", "-p", data, dir / "vault"});
    enum { refused, followed, replaced };
    struct {
        std::string link, file;  // the link, and the register the run names
        uid_t link_owner, dir_owner;
        int outcome;
    } cases[] = {
        {planted, planted, 65534, 0, refused},  {cashcode, reg, 65534, 0, refused},
        {planted, planted, 0, 0, followed},     {cashcode, reg, 0, 0, followed},
        {user_reg, user_reg, 0, 65534, refused}, {cashcode, reg, 0, 65534, refused},
        {user_reg + ".journal", user_reg, 0, 65534, replaced},
    };
    for (const auto& c : cases) {
        const std::string what = c.link + " " + std::to_string(c.link_owner) + " " + std::to_string(c.dir_owner);
        run({"rm", "-f", planted, user_reg, user_reg + ".journal", cashcode});
        write_file(secret, blank);  // shaped as a register: only the link rule keeps a set out
        if (c.outcome == replaced) write_file(user_reg, blank);
        for (const std::string& d : {data, conf}) chown(d.c_str(), c.dir_owner, c.dir_owner);
        ASSERT_EQ(symlink(secret.c_str(), c.link.c_str()), 0) << what;
        ASSERT_EQ(lchown(c.link.c_str(), c.link_owner, c.link_owner), 0) << what;
        const run_result r = tx({"--setshift", "5", c.file});
        EXPECT_EQ(r.status, c.outcome == refused ? 1 : 0) << what << ": " << r.err;
        // Saved, a register not the till's own says what it did to the till's cash code file.
        if (c.outcome == refused)
            EXPECT_EQ(r.err, "Error: can't open file " + c.link + " for write\n") << what;
        else
            EXPECT_EQ(r.err.substr(0, r.err.find(';')), c.file == reg ? "" : "Warning: file " + c.file + " is not the till's register") << what;
        EXPECT_EQ(read_file(secret) == blank, c.outcome != followed) << what;
        struct stat st;
        EXPECT_TRUE(stat(secret.c_str(), &st) == 0 && st.st_uid == 0) << what;
        EXPECT_EQ(lstat(c.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode), c.outcome != replaced) << what;
    }
    // A followed link's target directories are not followed: one that the
    // owner of a directory on the way swapped for a link (here to root's
    // vault) gets the file's error, and nothing is made or written there.
    run({"rm", "-f", planted, cashcode});
    for (const std::string& d : {data, conf}) chown(d.c_str(), 0, 0);
    write_file(secret, blank);
    const std::string image = read_file(reg);
    ASSERT_EQ(symlink("vault", (dir / "swapped").c_str()), 0);
    for (const auto& [link, target, args] :
         {std::tuple{cashcode, "swapped/cashcode", std::vector<std::string>{"--setcashcode", "5", reg}},
          {planted, "swapped/file", {"--setshift", "5", planted}}}) {
        ASSERT_EQ(symlink((dir / target).c_str(), link.c_str()), 0);
        const run_result r = tx(args);
        EXPECT_EQ(r.err, "Error: can't open file " + link + " for write\n") << link;
    }
    EXPECT_FALSE(exists(dir / "vault/cashcode"));
    EXPECT_EQ(read_file(secret), blank);
    EXPECT_EQ(read_file(reg), image);
}

// --undo puts back only what the last change changed: a counter and a
// receipt number the cash desk stored since (under its lockf lock) survive;
// a field the change wrote that the cash desk changed since refuses the
// undo; a torn kept image an older version left and a file that is no
// register are refused; a register keeps its length, whatever the change did
// to it; a run that changes no byte keeps the way back.
TEST_F(Cli, UndoPutsBackOnlyTheLastChange) {
    const auto desk_writes = [&](off_t offset, unsigned char value) {  // under the cash desk's lockf lock
        const int fd = open(reg.c_str(), O_RDWR);
        ASSERT_TRUE(lockf(fd, F_LOCK, 0) == 0 && pwrite(fd, &value, 1, offset) == 1);
        close(fd);
    };
    ASSERT_EQ(tx({"--setcashcode", "7", "--setcount_sale", "10", reg}).status, 0);
    const std::string seven = read_file(reg);
    ASSERT_EQ(tx({"--setcashcode", "8", reg}).status, 0);
    desk_writes(550, 250);  // count_sale
    desk_writes(781, 251);  // checknum
    run_result r = tx({"--undo", "--print", reg});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 38), "cashcode = 7\nshift = 0\nchecknum = 251\n");
    EXPECT_NE(r.out.find("count_sale = 250\n"), std::string::npos) << r.out;
    // A rerun that changes nothing keeps the way back: the undo still redoes.
    const std::string kept = read_file(reg + ".journal");
    EXPECT_EQ(tx({"--setcashcode", "7", reg}).status, 0);
    EXPECT_EQ(read_file(reg + ".journal"), kept);
    EXPECT_EQ(tx({"--undo", reg}).status, 0);
    EXPECT_NE(print().find("cashcode = 8\n"), std::string::npos);

    struct {
        const char* what;
        std::function<void()> damage;
        std::string error;
    } refusals[] = {
        {"the undone field changed", [&] { desk_writes(5, 9); },
         "Error: field cashcode of file " + reg + " changed since the last change\n"},
        {"an older version's kept image cut short",
         [&] {
             std::remove((reg + ".journal").c_str());
             write_file(reg + "-", read_file(reg).substr(0, 300));
             write_file(reg + "-.last", "tarnex");
         },
         "Error: file " + reg + "- is damaged\n"},
        {"a journal of no record",
         [&] {
             for (const char* pair : {"-", "-.last"}) std::remove((reg + pair).c_str());
             write_file(reg + ".journal", "tarnex journal 1\n");
         },
         "Error: file " + reg + " has no change to undo\n"},
        {"the register now text", [&] { write_file(reg, "till-042\n"); },
         "Error: file " + reg + " is not a register (offset 0 holds 0x74); --create makes it one\n"},
    };
    for (const auto& c : refusals) {
        ASSERT_EQ(tx({"--setcashcode", "3", reg}).status, 0);
        c.damage();
        const std::string before = read_file(reg);
        // A dry run refuses exactly as the undo does.
        for (const auto& args : {std::vector<std::string>{"--undo", reg}, {"--undo", "--dry-run", reg}}) {
            r = tx(args);
            EXPECT_EQ(r.status, 1) << c.what;
            EXPECT_EQ(r.err, c.error) << c.what;
            EXPECT_EQ(read_file(reg), before) << c.what;
        }
    }

    // A change that lengthened the register is undone by its fields: what
    // the cash desk wrote since past the old end stays, and so does the length.
    write_file(reg, seven.substr(0, 800));
    ASSERT_EQ(tx({"--settcount_back", "1", reg}).status, 0);
    desk_writes(825, 0x5A);
    EXPECT_EQ(tx({"--undo", reg}).status, 0);
    EXPECT_EQ(read_file(reg), seven.substr(0, 800) + std::string(25, '\0') + "\x5A" + std::string(5, '\0'));
    // A new till: created from an empty file, then trading.  The undo, and
    // its dry run alike, put back the two numbers the create stored; the
    // redo puts them again, the trade kept.
    write_file(reg, "");
    ASSERT_EQ(tx({"--create", reg}).status, 0);
    desk_writes(263, 42);
    desk_writes(550, 77);
    const std::string traded = read_file(reg);
    std::string undone = traded;
    undone[5] = undone[781] = 0;
    const run_result dry = tx({"--undo", "--dry-run", "--print", reg});
    r = tx({"--undo", "--print", reg});
    EXPECT_TRUE(r.status == 0 && dry.status == 0 && dry.out.starts_with(r.out)) << r.err << dry.err << dry.out << r.out;
    EXPECT_EQ(read_file(reg), undone);
    EXPECT_EQ(tx({"--undo", reg}).status, 0);
    EXPECT_EQ(read_file(reg), traded);
}

// Runs at once on two registers never break each other's cash code step.
TEST_F(Cli, TwoRegistersWrittenInParallelLoopsAllSucceed) {
    const std::string other = dir / "g.reg";
    write_file(other, blank);
    const std::string loop = "for i in $(seq 60); do " TARNEX_BIN " --setcashcode $((i % 3 + 1)) --setshift $i $0 || exit 1; done";
    const int a = start({"sh", "-c", loop, reg}, env), b = start({"sh", "-c", loop, other}, env);
    for (const int pid : {a, b}) EXPECT_EQ(finish(pid), 0);
    for (const std::string& file : {reg, other}) EXPECT_EQ(read_file(file)[263], 60) << file;
    EXPECT_EQ(read_file(cashcode), "1");
}

// A change leaves a line in the system log and a record in the journal
// beside the register; --undo reverses the newest change, so a second one
// redoes, and --undo=N an older one, the cash code file following each time.
TEST_F(Cli, ChangesAreLoggedAndUndone) {
    ASSERT_EQ(tx({"--setcashcode", "3", "--setshift", "41", reg}).status, 0);
    const std::string before = read_file(reg);
    const system_log log(dir.path);
    std::vector<std::string> set = {TARNEX_BIN, "--setcashcode", "5", "--setshift", "42", "--reason", "", reg};
    env["SUDO_USER"] = "anna\n<13>forged";  // no second line in the log
    run_result r = run(log.logging(set), env);
    if (r.status != 0 && r.err.find("unshare") != std::string::npos) GTEST_SKIP() << "no mount namespace: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string line = log.next();
    EXPECT_NE(line.find("tarnex["), std::string::npos) << line;
    EXPECT_NE(line.find(": " + reg + ": user root, SUDO_USER anna\\n<13>forged, tty none: cashcode 3 -> 5, shift 41 -> 42"),
              std::string::npos)
        << line;
    const std::string after = read_file(reg);
    const auto newest = [&] {
        const std::string h = tx({"--history", reg}).out;
        return h.substr(0, h.find('\n'));
    };
    EXPECT_TRUE(newest().starts_with("2 ")) << newest();
    EXPECT_TRUE(newest().ends_with(": user root, SUDO_USER anna\\n<13>forged, tty none: cashcode 3 -> 5, shift 41 -> 42"))
        << newest();

    // Who and why, logged even when what it prints is lost: the SSH client's
    // address, and the reason as typed, escaped and with its quotes marked.
    env["SSH_CONNECTION"] = "10.1.2.3 52814 10.1.2.9 22";
    r = run(log.logging({"sh", "-c",
                         TARNEX_BIN " --undo --print --reason 'ticket \"42\"\n\\' " + reg + " | (exec <&-; sleep 1)"}),
            env);
    EXPECT_EQ(r.err, "Error: can't write file standard output; the register " + reg + " was changed\n");
    EXPECT_NE(log.next().find(R"(, tty none, from 10.1.2.3, reason "ticket \"42\"\n\\": undo; cashcode 5 -> 3, shift 42 -> 41)"),
              std::string::npos);
    EXPECT_TRUE(newest().ends_with(R"(from 10.1.2.3, reason "ticket \"42\"\n\\": undo 2; cashcode 5 -> 3, shift 42 -> 41)"))
        << newest();
    EXPECT_EQ(read_file(reg), before);
    EXPECT_EQ(read_file(cashcode), "3");
    EXPECT_EQ(tx({"--undo", reg}).status, 0);
    EXPECT_EQ(read_file(reg), after);
    EXPECT_EQ(read_file(cashcode), "5");
    // An older change, reached past the two undos after it; one whose
    // fields have moved since is refused, naming it.
    const std::string back = "cashcode 5 -> 3\nshift 42 -> 41\ncash code file " + cashcode + ": 5 -> 3\n";
    EXPECT_EQ(tx({"--dry-run", "--undo=2", reg}).out, back);
    EXPECT_EQ(tx({"--undo=1", reg}).err, "Error: field cashcode of file " + reg + " changed since change 1\n");
    EXPECT_EQ(tx({"--undo=7", reg}).err, "Error: file " + reg + " has no change 7 to undo\n");
    EXPECT_EQ(tx({"--undo=x", reg}).err, "Error: bad value 'x' for --undo\n");
    // A change that never landed (the register as a power cut leaves it) is
    // passed over by the undo's dry run as by the undo.
    ASSERT_EQ(tx({"--setshift", "43", reg}).status, 0);
    write_file(reg, after);
    EXPECT_EQ(tx({"--dry-run", "--undo", reg}).out, back);
    EXPECT_EQ(read_file(reg), after);

    // Desk and receipt number 0 are stored as set, and printed, logged and
    // named in the cash code file as the 1 every later read gives them.
    r = run(log.logging({TARNEX_BIN, "--setcashcode", "0", "--setchecknum", "0", "--print", reg}), env);
    EXPECT_EQ(r.out.substr(0, 37), "cashcode = 1\nshift = 42\nchecknum = 1\n");
    EXPECT_TRUE(log.next().ends_with(": cashcode 5 -> 1")) << "no checknum 1 -> 1";
    EXPECT_EQ(read_file(cashcode), "1");
    const std::string zero = read_file(reg), journal = read_file(reg + ".journal");
    EXPECT_EQ(zero.substr(5, 2) + zero.substr(781, 2), std::string(4, '\0'));
    EXPECT_EQ(tx({"--setcashcode", "0", "--setchecknum", "0", reg}).status, 0);
    EXPECT_TRUE(read_file(reg) == zero && read_file(reg + ".journal") == journal) << "a rerun changed something";

    // Reading runs leave no line; --undo changes nothing else, and nothing
    // without a journal.
    EXPECT_EQ(run(log.logging({TARNEX_BIN, "--print", reg}), env).status, 0);
    EXPECT_EQ(log.next(300), "");  // the run has ended: a line would be there
    r = tx({"--undo", "--setshift", "1", reg});
    EXPECT_EQ(r.err, "Error: can't undo and change file " + reg + " in one run\n");
    std::remove((reg + ".journal").c_str());
    r = tx({"--undo", reg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: file " + reg + " has no change to undo\n");
    EXPECT_EQ(read_file(reg), zero);
}

// A writing run warns when another process has the register open and goes
// on; a reading run and a run on a register nobody holds say nothing.
TEST_F(Cli, AWriterIsWarnedOfAnotherProcessOnTheRegister) {
    EXPECT_EQ(tx({"--setshift", "2", reg}).err, "");
    const int held = open(reg.c_str(), O_RDONLY);
    // A holder's name is its own to choose: shown escaped, it cannot erase
    // the line or move the cursor.
    // The scan of /proc that names a holder has a fifth of a second; on a
    // loaded machine it may run out and fall back on "may be open", so the
    // name is asked for again, each time with a change to make.
    const auto warning = [&](int shift) {
        std::string err;
        for (int i = 0; i < 5 && (err.empty() || err.find(" may be open ") != std::string::npos); ++i)
            err = tx({"--setshift", std::to_string(shift + 100 * i), reg}).err;
        return err;
    };
    prctl(PR_SET_NAME, "\r\033[2Kx");
    EXPECT_EQ(warning(4), "Warning: file " + reg + " is open in process " + std::to_string(getpid()) + " (\\r\\033[2Kx)\n");
    prctl(PR_SET_NAME, "tarnex_e2e");
    EXPECT_EQ(warning(3), "Warning: file " + reg + " is open in process " + std::to_string(getpid()) + " (tarnex_e2e)\n");
    run_result r;
    EXPECT_EQ(tx({"--print", reg}).err, "");
    // A holder the scan cannot see (in another pid namespace here) is still
    // reported, unnamed.
    r = run({"unshare", "--pid", "--fork", "--mount-proc", TARNEX_BIN, "--setshift", "3", reg}, env);
    if (r.err.rfind("unshare", 0) != 0) {
        EXPECT_EQ(r.err, "Warning: file " + reg + " may be open in another process\n");
    }
    close(held);
    EXPECT_NE(print().find("shift = 3\n"), std::string::npos);

    // Saving a register other than the till's own (a copy, named by whoever
    // made it) says what it did to the till's cash code file.
    const std::string copy = dir / "x\033]0;t\007.reg";
    write_file(copy, read_file(reg));
    EXPECT_EQ(tx({"--setcashcode", "99", copy}).err, "Warning: file " + dir / "x\\033]0;t\\x07.reg" +
                                                        " is not the till's register; the cash code file " +
                                                        cashcode + " now names desk 99\n");
    EXPECT_EQ(tx({"--setshift", "6", copy}).err, "");  // it names desk 99 already
    EXPECT_EQ(tx({"--setcashcode", "3", reg}).err, "");
    EXPECT_EQ(read_file(cashcode), "3");
}

}  // namespace
