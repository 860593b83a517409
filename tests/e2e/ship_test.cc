// The tool as a technician meets it on a till: --version and --verify on the
// built program, the manual page and the completion, an install under a
// prefix, and the Debian package unpacked into a scratch folder.
#include "cli/commandline.h"
#include "process.h"
#include "register/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <sstream>

namespace {

using env_map = std::map<std::string, std::string>;

const std::string blank(reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size());
const std::string manual = TARNEX_BUILD_DIR "/doc/tarnex.1";
const std::string completion = TARNEX_SOURCE_DIR "/doc/tarnex.bash-completion";

std::set<std::string> option_names() {
    std::set<std::string> names;
    for (const option& o : long_options())
        if (o.name) names.insert(std::string("--") + o.name);
    return names;
}

std::set<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::set<std::string> out;
    for (std::string w; in >> w;) out.insert(w);
    return out;
}

// A scratch till: TARNEX_ROOT, its conf directory, a register `f.reg`.
struct till {
    scratch_dir dir;
    std::string reg = dir / "f.reg";
    std::string cashcode = dir / "quelvaris/cash/conf/cashcode";
    env_map env = {{"TARNEX_ROOT", dir.path}, {"TZ", "UTC0"}, {"LC_ALL", "C"}};
    till() {
        run({"mkdir", "-p", dir / "quelvaris/cash/conf"});
        write_file(reg, blank);
    }
};

TEST(Version, PrintsTheProjectVersionAndTouchesNothing) {
    till t;
    for (auto args : {std::vector<std::string>{"--version"},
                      {"--version", "--setshift", "3", t.reg},
                      {"--create", "--vers", t.reg}}) {
        const run_result r = tarnex(args, t.env);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "tarnex " TARNEX_VERSION "\n");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(read_file(t.reg), blank);
    EXPECT_FALSE(exists(t.cashcode));
    EXPECT_EQ(run({"sh", "-c", TARNEX_BIN " --version >/dev/full"}).status, 1);
}

class VerifyRun : public ::testing::Test {
protected:
    till t;
    run_result tx(std::vector<std::string> args) { return tarnex(args, t.env); }
    // A register with a damaged sum and a wrong end byte, and the cash code
    // file a previous save left.
    std::string damaged() {
        std::string image = blank;
        image[5] = 3;
        image[523] = '\x3A';
        image[1295] = 0;
        write_file(t.reg, image);
        write_file(t.cashcode, "3");
        return image;
    }
};

TEST_F(VerifyRun, DamageStopsEveryChange) {
    const std::string image = damaged();
    const std::string findings =
        "offset 523: sum_sale: low half-byte 0xA above 9\noffset 1295: end byte is 0x00, not 0xFF\n";
    for (auto args : {std::vector<std::string>{"--verify"},
                      {"--setshift", "5", "--verify", "--print"},
                      {"--create", "--veri"},
                      {"--verify", "--setsum_sale", "12", "--setshift_begin", "05.03.2024 08:30"}}) {
        args.push_back(t.reg);
        const run_result r = tx(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, findings);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(t.reg), image);
        EXPECT_EQ(read_file(t.cashcode), "3");
    }
}

TEST_F(VerifyRun, ASoundFileSaysOkThenTheRestRuns) {
    run_result r = tx({"--verify", t.reg});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ok\n");
    EXPECT_EQ(read_file(t.reg), blank);  // --verify alone writes nothing
    EXPECT_FALSE(exists(t.cashcode));

    r = tx({"--setshift", "5", "--print", "--verify", t.reg});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 30), "ok\ncashcode = 1\nshift = 5\nchec");
    EXPECT_EQ(read_file(t.cashcode), "1");
    EXPECT_EQ(tx({"--verify", t.reg}).out, "ok\n");  // what the tool writes passes
}

// The check comes before --create, so the damage is seen, not blanked away.
TEST_F(VerifyRun, ReadsTheFileBeforeAnyOtherCommand) {
    write_file(t.reg, blank.substr(0, 1000));
    const run_result r = tx({"--create", "--verify", t.reg});
    EXPECT_EQ(r.out, "offset 1000: file is 1000 bytes long, not 1296\n");
    EXPECT_EQ(read_file(t.reg).size(), 1000u);
}

TEST_F(VerifyRun, FailuresAreStillFailures) {
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--verify", t.dir / "missing"}, "Error: can't stat file " + t.dir / "missing" + "\n"},
        {{"--verify", t.dir.path}, "Error: can't open file " + t.dir.path + " for read\n"},
    };
    for (const auto& c : cases) {
        const run_result r = tx(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    const run_result full = run({"sh", "-c", TARNEX_BIN " --verify --setshift 2 " + t.reg + " >/dev/full"}, t.env);
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "Error: can't write file standard output\n");
    EXPECT_EQ(read_file(t.reg), blank);
}

TEST(Manual, FormatsWithoutWarningsAndCoversEveryOption) {
    for (const char* locale : {"C", "C.UTF-8"}) {
        const run_result r = run({"man", "--warnings", "-l", manual}, {{"LC_ALL", locale}, {"MANWIDTH", "80"}});
        EXPECT_EQ(r.status, 0) << locale;
        EXPECT_EQ(r.err, "") << locale;
    }
    const run_result page = run({"man", "-l", manual}, {{"LC_ALL", "C"}, {"MANWIDTH", "200"}});
    for (const std::string& o : option_names()) EXPECT_NE(page.out.find(o), std::string::npos) << o;
    for (const char* heading : {"NAME", "SYNOPSIS", "OPTIONS", "ARGUMENTS", "VERIFY", "EDITOR", "ENVIRONMENT",
                                "TARNEX_ROOT", "FILES", "EXIT STATUS", "EXAMPLES", "tarnex " TARNEX_VERSION})
        EXPECT_NE(page.out.find(heading), std::string::npos) << heading;
    // whatis and apropos find it.
    EXPECT_EQ(run({"lexgrog", manual}).out.find(": \"tarnex - "), manual.size());
}

// What bash offers after `line` (the word being completed is the last one).
std::set<std::string> complete(const std::string& line) {
    const std::string script = "source '" + completion +
                               "' || exit 9\n"
                               "read -ra COMP_WORDS <<<\"$1\"; [[ $1 == *' ' ]] && COMP_WORDS+=('')\n"
                               "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tarnex\n"
                               "printf '%s\\n' \"${COMPREPLY[@]}\"";
    const run_result r = run({"bash", "--norc", "-c", script, "bash", line});
    EXPECT_EQ(r.status, 0) << r.err;
    return words(r.out);
}

TEST(Completion, OffersEveryLongOptionAndNoValues) {
    EXPECT_EQ(complete("tarnex --"), option_names());
    EXPECT_EQ(complete("tarnex --print --ver"), (std::set<std::string>{"--verify", "--version"}));
    EXPECT_EQ(complete("tarnex --setsum"), (std::set<std::string>{"--setsum_sale", "--setsum_back"}));
    // A set option's value and the file are not options.
    for (const char* line : {"tarnex --setshift ", "tarnex --setshift_begin 05", "tarnex --print ", "tarnex f"})
        EXPECT_EQ(complete(line), std::set<std::string>{}) << line;
    const run_result r = run({"bash", "--norc", "-c", "source '" + completion + "'; complete -p tarnex"});
    EXPECT_NE(r.out.find("-F _tarnex"), std::string::npos);
    EXPECT_NE(r.out.find("-o default"), std::string::npos);  // the register file is a file name
}

TEST(Install, PutsProgramManualAndCompletionUnderThePrefix) {
    scratch_dir prefix;
    const run_result r = run({"cmake", "--install", TARNEX_BUILD_DIR, "--prefix", prefix.path});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((prefix / "bin/tarnex").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXOTH);
    EXPECT_EQ(read_file(prefix / "share/man/man1/tarnex.1"), read_file(manual));
    EXPECT_EQ(read_file(prefix / "share/bash-completion/completions/tarnex"), read_file(completion));
    EXPECT_EQ(run({prefix / "bin/tarnex", "--version"}).out, "tarnex " TARNEX_VERSION "\n");
}

// The package is built from this tree and unpacked, never installed.
TEST(Package, CarriesItsDependenciesManualAndCompletion) {
    scratch_dir out;
    const run_result built = run({"cpack", "-G", "DEB", "--config", TARNEX_BUILD_DIR "/CPackConfig.cmake", "-B", out.path});
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    const std::string deb = out / ("tarnex_" TARNEX_VERSION "_" + run({"dpkg", "--print-architecture"}).out);
    const std::string package = deb.substr(0, deb.size() - 1) + ".deb";
    ASSERT_TRUE(exists(package)) << built.out;

    const run_result info = run({"dpkg-deb", "-I", package});
    EXPECT_EQ(info.status, 0);
    for (const char* field : {" Package: tarnex\n", " Version: " TARNEX_VERSION "\n", " Maintainer: ", " Description: "})
        EXPECT_NE(info.out.find(field), std::string::npos) << field << "\n" << info.out;
    // Depends names the package of each library the binary links, and no other.
    std::string depends = info.out.substr(info.out.find(" Depends: "));
    depends = depends.substr(0, depends.find('\n'));
    const std::string needed = run({"objdump", "-p", TARNEX_BIN}).out;
    const std::pair<const char*, const char*> libraries[] = {{"libc.so.6", "libc6 (>= "},
                                                             {"libncursesw.so.6", "libncursesw6 (>= "},
                                                             {"libtinfo.so.6", "libtinfo6 (>= "},
                                                             {"libstdc++.so.6", "libstdc++6 (>= "},
                                                             {"libgcc_s.so.1", "libgcc-s1 (>= "}};
    ASSERT_NE(needed.find("NEEDED               libc.so.6"), std::string::npos) << needed;
    for (const auto& [library, package_name] : libraries)
        EXPECT_EQ(depends.find(package_name) != std::string::npos,
                  needed.find("NEEDED               " + std::string(library)) != std::string::npos)
            << library << "\n" << depends;

    const run_result contents = run({"dpkg-deb", "-c", package});
    for (const char* entry : {"-rwxr-xr-x root/root", " ./usr/bin/tarnex\n", " ./usr/share/man/man1/tarnex.1.gz\n",
                              " ./usr/share/bash-completion/completions/tarnex\n"})
        EXPECT_NE(contents.out.find(entry), std::string::npos) << entry << "\n" << contents.out;
    EXPECT_EQ(contents.out.find("/home/"), std::string::npos);  // nothing of the build machine

    const std::string root = out / "root";
    ASSERT_EQ(run({"dpkg-deb", "-x", package, root}).status, 0);
    const std::string tarnex = root + "/usr/bin/tarnex";
    EXPECT_EQ(run({tarnex, "--version"}).out, "tarnex " TARNEX_VERSION "\n");
    EXPECT_EQ(run({"sh", "-c", "gzip -dc " + root + "/usr/share/man/man1/tarnex.1.gz"}).out, read_file(manual));
    EXPECT_EQ(run({"man", "--warnings", "-l", root + "/usr/share/man/man1/tarnex.1.gz"}, {{"LC_ALL", "C"}}).err, "");

    till t;
    run_result r = run({tarnex, "--verify", "--setcashcode", "7", "--print", t.reg}, t.env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 16), "ok\ncashcode = 7\n");
    EXPECT_EQ(read_file(t.cashcode), "7");
    write_file(t.reg, blank.substr(0, 1295));
    r = run({tarnex, "--verify", t.reg}, t.env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "offset 1295: file is 1295 bytes long, not 1296\n");
}

}  // namespace
