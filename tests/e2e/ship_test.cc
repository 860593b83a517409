// The tool as a technician meets it on a till: --version and --verify on the
// built program, the manual page and the completion, and an install under a
// prefix.  The Debian package is built and checked by scripts/package.
#include "cli/commandline.h"
#include "process.h"
#include "register/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <sstream>

namespace {

using env_map = std::map<std::string, std::string>;

const std::string blank(reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size());
const std::string manual = TARNEX_BUILD_DIR "/doc/tarnex.1";
const std::string manual_ru = TARNEX_BUILD_DIR "/doc/tarnex.ru.1";
const std::string completion = TARNEX_SOURCE_DIR "/doc/tarnex.bash-completion";

std::set<std::string> option_names() {
    std::set<std::string> names;
    for (const option& o : long_options())
        if (o.name && o.name[1]) names.insert(std::string("--") + o.name);  // not --h, help's old short form
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
    // The Debian package says the version the program says.
    EXPECT_EQ(read_file(TARNEX_SOURCE_DIR "/debian/changelog").rfind("tarnex (" TARNEX_VERSION ") ", 0), 0u);
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
    const std::string json = R"({"damage": [{"offset": 523, "finding": "sum_sale: low half-byte 0xA above 9"}, )"
                             R"({"offset": 1295, "finding": "end byte is 0x00, not 0xFF"}], "interrupted": null, )"
                             R"("cashcode_file": {"path": ")" + t.cashcode + R"(", "text": "3", "agrees": null}})" "\n";
    for (auto args : {std::vector<std::string>{"--verify"},
                      {"--setshift", "5", "--verify", "--print"},
                      {"--create", "--veri"},
                      {"--verify", "--setsum_sale", "12", "--setshift_begin", "05.03.2024 08:30"},
                      {"--verify", "--json", "--setshift", "5"}}) {
        const bool for_a_program = std::find(args.begin(), args.end(), "--json") != args.end();
        args.push_back(t.reg);
        const run_result r = tx(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, for_a_program ? json : findings);
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

    // For a program, one object: the values, no damage, and the cash code
    // file as the link rule lets root read it, and whether it names the
    // till's register's desk (null for any other register).
    const std::string values = tx({"--json", t.reg}).out;
    const std::string own = t.dir / "quelvaris/cash/data/cash.reg";
    run({"mkdir", "-p", t.dir / "quelvaris/cash/data"});
    write_file(own, blank);
    const std::string planted = t.dir / "secret";
    write_file(planted, "42");
    for (const auto& [file, text, agrees, link_owner] :
         {std::tuple{t.reg, "\"1\"", "null", -1}, {own, "\"1\"", "true", -1}, {own, "\"42\"", "false", 0},
          {own, "null", "false", 65534}}) {
        if (link_owner >= 0 && geteuid() != 0) continue;  // only root's links are looked at so
        std::remove(t.cashcode.c_str());
        if (link_owner < 0) {
            write_file(t.cashcode, "1");
        } else {
            ASSERT_EQ(symlink(planted.c_str(), t.cashcode.c_str()), 0);
            ASSERT_EQ(lchown(t.cashcode.c_str(), static_cast<uid_t>(link_owner), 0), 0);
        }
        r = tx({"--verify", "--json", file});
        // A file that names another desk is a finding, as a torn change is.
        EXPECT_EQ(r.status, std::string(agrees) == "false" ? 1 : 0) << r.err;
        std::string expected = file == t.reg ? values : tx({"--json", file}).out;
        expected.insert(expected.size() - 2, std::string(", \"damage\": [], \"interrupted\": null, \"cashcode_file\": {\"path\": \"") +
                                                 t.cashcode + "\", \"text\": " + text + ", \"agrees\": " + agrees + "}");
        EXPECT_EQ(r.out, expected) << link_owner;
    }
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

// The options of the usage text, and any it lacks.
std::set<std::string> documented_options() {
    std::set<std::string> names = option_names();
    // An option's word ends where its argument's form or a comma begins.
    for (std::string w : words(tarnex({"--help"}, {{"LC_ALL", "C.UTF-8"}}).out))
        if (w.rfind("--", 0) == 0) names.insert(w.substr(0, w.find_first_not_of("abcdefghijklmnopqrstuvwxyz_-")));
    return names;
}

TEST(Manual, FormatsWithoutWarningsAndCoversEveryOption) {
    // The Russian page is read where the till's Russian texts are; its text
    // is checked as UTF-8.
    const struct {
        const std::string& page;
        std::vector<std::string> locales;
        std::vector<std::string> headings;
    } manuals[] = {
        {manual,
         {"C", "C.UTF-8"},
         {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "DIAGNOSTICS", "ENVIRONMENT", "FILES",
          "EXAMPLES", "SEE ALSO"}},
        {manual_ru,
         {"C.UTF-8", "ru_RU.CP1251"},
         {"НАЗВАНИЕ", "СИНТАКСИС", "ОПИСАНИЕ", "ПАРАМЕТРЫ", "КОД ВЫХОДА", "ДИАГНОСТИКА", "ОКРУЖЕНИЕ", "ФАЙЛЫ",
          "ПРИМЕРЫ", "СМОТРИТЕ ТАКЖЕ"}},
    };
    // Every message the program prints and every file it uses, as the page
    // shows them, in both languages: the messages are English in both.
    const char* const messages_and_files[] = {
        "Warning: finished an interrupted change", "has an interrupted change", "is open in process",
        "may be open in another process", "is damaged; tarnex --verify", "is not the till's register",
        "can't keep the previous version", "interrupted change", "bytes long, not 1296", "starts with 0x", "end byte is",
        "half-byte", "is not a date from", "is not a time of day", "Error: can't stat file", "can't open file",
        "for read", "for write", "can't lock file", "bad value", "is not a register (offset",
        "can't undo and change file", "can't show the history of file", "has no change to undo", "has no change",
        "changed since the last change", "since change", "can't write file", "the register", "was changed",
        "no terminal to show the editor on", "can't show the editor", "terminal too small", "can't run file",
        "unrecognized option", "is ambiguous", "missing file operand", "Try 'tarnex --help' for more information.",
        "cash code file", "/quelvaris/cash/data/cash.reg", ".journal", "/quelvaris/cash/conf/cashcode",
        "cashcode.tmp", "tarnex-editor", "LANG=C.UTF-8 man -L ru tarnex"};
    const std::set<std::string> options = documented_options();
    for (const auto& m : manuals) {
        for (const std::string& locale : m.locales) {
            const run_result r = run({"man", "--warnings", "-l", m.page}, {{"LC_ALL", locale}, {"MANWIDTH", "80"}});
            EXPECT_EQ(r.status, 0) << m.page << " " << locale;
            EXPECT_EQ(r.err, "") << m.page << " " << locale;
        }
        // One line a paragraph, blanks run together, so that no phrase is
        // broken where the page breaks a line.
        run_result page = run({"man", "-l", m.page}, {{"LC_ALL", m.locales.front()}, {"MANWIDTH", "4000"}});
        std::string joined;
        for (const char c : page.out)
            if (c != ' ' || joined.empty() || joined.back() != ' ') joined += c;
        page.out = joined;
        for (const std::string& o : options) EXPECT_NE(page.out.find(o), std::string::npos) << m.page << " " << o;
        for (const std::string t : messages_and_files)
            EXPECT_NE(page.out.find(t), std::string::npos) << m.page << " " << t;
        for (const std::string& heading : m.headings)
            EXPECT_NE(page.out.find(heading), std::string::npos) << m.page << " " << heading;
        EXPECT_NE(page.out.find("TARNEX_ROOT"), std::string::npos) << m.page;
        EXPECT_NE(page.out.find("tarnex " TARNEX_VERSION), std::string::npos) << m.page;
        // whatis and apropos find it.
        EXPECT_EQ(run({"lexgrog", m.page}).out.find(": \"tarnex - "), m.page.size()) << m.page;
    }
    // The same sections in both languages.
    const auto sections = [](const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = text.find("\n.SH ", at)) != std::string::npos; ++at) ++n;
        return n;
    };
    EXPECT_EQ(sections(read_file(manual_ru)), sections(read_file(manual)));
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
    // Every option the program takes and every one its usage text names.
    EXPECT_EQ(complete("tarnex --"), documented_options());
    EXPECT_EQ(complete("tarnex --print --ver"), (std::set<std::string>{"--verify", "--version"}));
    EXPECT_EQ(complete("tarnex --setsum"), (std::set<std::string>{"--setsum_sale", "--setsum_back"}));
    // A set option's value and the file are not options.
    for (const char* line :
         {"tarnex --setshift ", "tarnex --setshift_begin 05", "tarnex --print ", "tarnex f", "tarnex --reason ",
          "tarnex --operator ", "tarnex --operator an", "tarnex --undo=", "tarnex --undo=1"})
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
    EXPECT_EQ(read_file(prefix / "share/man/ru/man1/tarnex.1"), read_file(manual_ru));
    // man -L ru finds the Russian page there.
    EXPECT_EQ(run({"man", "-L", "ru", "-w", "tarnex"}, {{"MANPATH", prefix / "share/man"}}).out,
              prefix / "share/man/ru/man1/tarnex.1\n");
    EXPECT_EQ(read_file(prefix / "share/bash-completion/completions/tarnex"), read_file(completion));
    EXPECT_EQ(run({prefix / "bin/tarnex", "--version"}).out, "tarnex " TARNEX_VERSION "\n");
    // Without arguments it finds its editor where the prefix put it.
    ASSERT_EQ(stat((prefix / "libexec/tarnex/tarnex-editor").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXOTH);
    EXPECT_EQ(run({prefix / "bin/tarnex"}).err, "Error: no terminal to show the editor on\n");
    // The collection, where Ansible is told to look: both modules and the
    // report's role documented from there.
    const std::string collection = prefix / "share/ansible/collections/ansible_collections/quelvaris/cash";
    for (const auto& [type, name] : {std::pair{"module", "TARNEX"}, {"module", "TARNEX_INFO"}, {"role", "REPORT"}}) {
        std::string lower(name);
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        const run_result doc =
            run({"ansible-doc", "-t", type, "quelvaris.cash." + lower},
                {{"ANSIBLE_COLLECTIONS_PATH", prefix / "share/ansible/collections"}, {"ANSIBLE_HOME", prefix / "ansible"}});
        EXPECT_EQ(doc.status, 0) << doc.err;
        EXPECT_NE(doc.out.find(std::string("> QUELVARIS.CASH.") + name), std::string::npos) << doc.out;
        EXPECT_NE(doc.out.find(collection), std::string::npos) << doc.out;
    }
}

}  // namespace
