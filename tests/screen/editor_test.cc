// The editor as a technician uses it: keys in, screen out, files checked
// after.  Every run works on a scratch till under TARNEX_ROOT.
#include "probe.h"
#include "process.h"
#include "register/registry.h"

#include <locale.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace screen;

const std::string blank(reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size());

// Menu rows on the screen: entry k (from 1) stands on row k + 1.
int row_of(int entry) { return entry + 1; }

class Editor : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string reg = dir / "quelvaris/cash/data/cash.reg";
    std::string cashcode = dir / "quelvaris/cash/conf/cashcode";
    options opt;

    void SetUp() override {
        run({"mkdir", "-p", dir / "quelvaris/cash/data", dir / "quelvaris/cash/conf"});
        opt.env = {{"TARNEX_ROOT", dir.path}, {"TZ", "MSK-3"}};
    }

    // Starts the editor and waits for its first paint.
    std::unique_ptr<terminal> start_editor() {
        auto t = std::make_unique<terminal>(std::vector<std::string>{TARNEX_BIN}, opt);
        EXPECT_TRUE(t->wait_text(row_of(14), 2, "Выход без сохранения"));
        EXPECT_TRUE(t->wait_idle());
        return t;
    }

    // Opens the dialog of menu entry `entry` from a menu on its first entry.
    void open(terminal& t, int entry) {
        ASSERT_TRUE(press(t, VTERM_KEY_DOWN, entry - 1));
        t.press(VTERM_KEY_ENTER);
        ASSERT_TRUE(t.wait_text(11, 5, "└"));
        ASSERT_TRUE(t.wait_idle());
    }

    // Erases the field and types `text`, then Enter, back at the menu.
    void enter(terminal& t, int entry, std::string_view text, int erase = 16) {
        open(t, entry);
        ASSERT_TRUE(press(t, VTERM_KEY_BACKSPACE, erase));
        ASSERT_TRUE(type(t, text));
        ASSERT_TRUE(press(t, VTERM_KEY_ENTER));
    }

    void leave(terminal& t, int entry) {
        ASSERT_TRUE(press(t, VTERM_KEY_DOWN, entry - 1));
        t.press(VTERM_KEY_ENTER);
    }

    std::string value(const terminal& t, int entry) { return t.text(row_of(entry), 29, 11); }

    std::string printed() { return run({TARNEX_BIN, "--print", reg}, {{"TZ", "MSK-3"}}).out; }

    // The register's whole write lock, held as the cash desk holds it while
    // it writes; the descriptor, or -1 when it could not be had.
    int hold_register() {
        const int fd = ::open(reg.c_str(), O_RDWR);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        return fd >= 0 && fcntl(fd, F_SETLK, &whole) == 0 ? fd : -1;
    }
};

TEST_F(Editor, StartsOnABlankRegisterWhenThereIsNone) {
    // The data directory belongs to the cash desk's user, and so does the
    // register the editor makes there, even run as root.
    ASSERT_EQ(chown((dir / "quelvaris/cash/data").c_str(), 65534, 65533), 0);
    auto t = start_editor();
    EXPECT_EQ(read_file(reg), blank);
    struct stat st;
    EXPECT_TRUE(stat(reg.c_str(), &st) == 0 && st.st_uid == 65534 && st.st_gid == 65533);
    const char* values[] = {"1", "0", "1", "01.01.1970 ", "0", "0", "0.00", "0.00", "0", "0", "0.00", "0.00"};
    for (int e = 1; e <= 12; ++e) EXPECT_EQ(value(*t, e), values[e - 1] + std::string(11 - strlen(values[e - 1]), ' '));
    EXPECT_EQ(t->row(row_of(1)), " │Номер кассы               :1          │");
    EXPECT_EQ(t->row(row_of(11)), " │Сумма продаж тек.см       :0.00       │");
    EXPECT_TRUE(inverse(*t, row_of(1), 2, 38));
    EXPECT_EQ(t->cursor(), at(row_of(1), 2));

    open(*t, 4);  // the date in full, in the local zone
    EXPECT_EQ(t->text(8, 8, 16), "01.01.1970 03:00");
    EXPECT_TRUE(press(*t, VTERM_KEY_ESCAPE));
    t->press(VTERM_KEY_ESCAPE);
    EXPECT_EQ(t->wait_exit(), 0);
    EXPECT_EQ(read_file(reg), blank);
    EXPECT_FALSE(exists(cashcode));
}

TEST_F(Editor, LeavingWithoutSavingWritesNothing) {
    std::string image = blank;
    image[100] = 'x';
    write_file(reg, image);
    for (bool by_escape : {false, true}) {
        auto t = start_editor();
        enter(*t, 3, "55");
        EXPECT_EQ(value(*t, 3).substr(0, 2), "55");
        if (by_escape)
            t->press(VTERM_KEY_ESCAPE);
        else
            leave(*t, 14);
        EXPECT_EQ(t->wait_exit(), 0);
        EXPECT_EQ(read_file(reg), image);
        EXPECT_FALSE(exists(cashcode));
    }
}

TEST_F(Editor, SavesEveryValueAndTheCashCode) {
    auto t = start_editor();
    enter(*t, 1, "65535");
    EXPECT_TRUE(inverse(*t, row_of(1), 2, 38)) << "the highlight is back on the first entry";
    enter(*t, 3, "4464");
    open(*t, 4);
    ASSERT_TRUE(type(*t, "020320241000"));
    ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
    EXPECT_EQ(value(*t, 4), "02.03.2024 ");
    enter(*t, 5, "12");
    enter(*t, 6, "4464");
    enter(*t, 7, "1234.5");
    EXPECT_EQ(value(*t, 7), "1234.50    ");
    enter(*t, 8, ".5");
    enter(*t, 9, "3050");
    enter(*t, 10, "27");
    enter(*t, 11, "123456789012.3");
    EXPECT_EQ(t->row(row_of(11)), " │Сумма продаж тек.см       :12345678901│") << "cut at the menu's edge";
    enter(*t, 12, "12,50");  // a comma is the decimal point, as on the command line
    EXPECT_EQ(value(*t, 12), "12.50      ");
    EXPECT_TRUE(inverse(*t, row_of(1), 2, 38));
    leave(*t, 13);
    EXPECT_EQ(t->wait_exit(), 0);

    EXPECT_EQ(printed(),
              "cashcode = 65535\nshift = 0\nchecknum = 4464\nshift_begin = 02.03.2024 10:00\n"
              "tcount_sale = 12\ntcount_back = 4464\ntsum_sale = 1234.50\ntsum_back = 0.50\n"
              "count_sale = 3050\ncount_back = 27\nsum_sale = 123456789012.30\nsum_back = 12.50\n");
    EXPECT_EQ(read_file(cashcode), "65535");
}

// A value the file cannot hold is asked again, showing the one in force.
TEST_F(Editor, ValuesTheFileCannotHoldAreAskedAgainAndEscapeKeepsThem) {
    write_file(reg, blank);
    auto t = start_editor();
    enter(*t, 1, "42");
    open(*t, 1);
    ASSERT_TRUE(press(*t, VTERM_KEY_BACKSPACE, 2));
    ASSERT_TRUE(type(*t, "70000"));
    ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
    EXPECT_TRUE(t->anywhere("Не больше 65535")) << "said why\n" << t->dump();
    ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
    EXPECT_EQ(t->text(7, 6, 26), "Номер кассы (макс. 65535):") << "asked again";
    EXPECT_EQ(t->text(8, 8, 5), "   42") << "showing the number still in force";
    ASSERT_TRUE(press(*t, VTERM_KEY_ESCAPE));  // a cancel after a refusal
    EXPECT_EQ(value(*t, 1).substr(0, 3), "42 ");

    open(*t, 1);
    ASSERT_TRUE(press(*t, VTERM_KEY_ESCAPE));  // a cancel at once
    EXPECT_EQ(value(*t, 1).substr(0, 3), "42 ");

    enter(*t, 1, "");  // an emptied field is a 0, which the till reads as desk 1
    EXPECT_EQ(value(*t, 1).substr(0, 2), "1 ");
    struct {
        int entry;
        const char *typed, *why, *shown;  // why it is refused; the field asked again, with the value in force
    } refused[] = {{2, "70000", "Не больше 65535", "     0"},
                   {8, "999999999999999", "Не больше 999999999999.99", "           0.00"},
                   {8, ",", "Введите сумму", "           0.00"},
                   {4, "310220241000", "Нет такой даты", "01.01.1970 03:00"},
                   {4, "010120242500", "Нет такого времени", "01.01.1970 03:00"},
                   {4, "01011700", "Год от 1801 до 9998", "01.01.1970 03:00"}};
    for (const auto& r : refused) {
        enter(*t, r.entry, r.typed, r.entry == 4 ? 0 : 16);  // the date's mask is typed over
        EXPECT_TRUE(t->anywhere(r.why)) << r.typed << "\n" << t->dump();
        ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
        EXPECT_EQ(t->text(8, 8, static_cast<int>(strlen(r.shown))), r.shown) << r.typed;
        ASSERT_TRUE(press(*t, VTERM_KEY_ESCAPE));
    }
    t->press(VTERM_KEY_ESCAPE);
    EXPECT_EQ(t->wait_exit(), 0);
}

TEST_F(Editor, LoweringTheShiftByTwoOrMoreShowsWhichShiftsGo) {
    write_file(reg, blank);
    auto t = start_editor();
    enter(*t, 2, "10");
    struct {
        const char* typed;
        const char* notice;  // its first line, if any
    } steps[] = {{"9", nullptr}, {"10", nullptr}, {"10", nullptr}, {"15", nullptr},
                 {"10", "Cмены с 11 по 15"}, {"7", "Cмены с 8 по 10"}};
    for (const auto& step : steps) {
        enter(*t, 2, step.typed);
        if (step.notice) {
            EXPECT_TRUE(t->anywhere(step.notice)) << t->dump();
            EXPECT_TRUE(t->anywhere("будут удалены"));
            EXPECT_EQ(t->text(10, 19, 2), "OK");
            ASSERT_TRUE(press(*t, VTERM_KEY_LEFT));  // any key closes it
        } else {
            EXPECT_FALSE(t->anywhere("удалены")) << step.typed;
        }
        EXPECT_EQ(value(*t, 2), std::string(step.typed) + std::string(11 - strlen(step.typed), ' '));
    }
    // Centred in the box, the break splitting the text in two.
    enter(*t, 2, "10");
    enter(*t, 2, "7");
    EXPECT_EQ(t->text(7, 13, 15), "Cмены с 8 по 10");
    EXPECT_EQ(t->text(8, 14, 13), "будут удалены");
    ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
    open(*t, 2);  // Escape keeps the number and tells nothing
    ASSERT_TRUE(press(*t, VTERM_KEY_BACKSPACE, 2));
    ASSERT_TRUE(type(*t, "1"));
    ASSERT_TRUE(press(*t, VTERM_KEY_ESCAPE));
    EXPECT_FALSE(t->anywhere("удалены"));
    EXPECT_EQ(value(*t, 2).substr(0, 2), "7 ");
    t->press(VTERM_KEY_ESCAPE);
    EXPECT_EQ(t->wait_exit(), 0);
}

// The editor writes only what its user changed, over the register as it is
// when the save comes: a change another run made meanwhile stays.
TEST_F(Editor, ASaveKeepsWhatAnotherRunChangedMeanwhile) {
    write_file(reg, blank);
    auto t = start_editor();
    enter(*t, 2, "5");
    ASSERT_EQ(run({TARNEX_BIN, "--setchecknum", "101", "--setsum_sale", "7", reg}, opt.env).status, 0);
    leave(*t, 13);
    EXPECT_EQ(t->wait_exit(), 0);
    const std::string after = printed();
    for (const char* line : {"shift = 5\n", "checknum = 101\n", "sum_sale = 7.00\n"})
        EXPECT_NE(after.find(line), std::string::npos) << line << after;
}

// A register reached through a link whose target is missing (its disk not
// mounted yet, say): the target is made, owned as its directory is, the link
// stays a link, and the log says a register was created.
TEST_F(Editor, AMissingRegisterBehindALinkIsMadeWhereItPoints) {
    const std::string target = dir / "quelvaris/cash/disk/real.reg";
    run({"mkdir", "-p", dir / "quelvaris/cash/disk"});
    ASSERT_EQ(chown((dir / "quelvaris/cash/disk").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink("../disk/real.reg", reg.c_str()), 0);
    const system_log log(dir.path);
    const bool logged = run(log.logging({"true"})).status == 0;
    terminal t(logged ? log.logging({TARNEX_BIN}) : std::vector<std::string>{TARNEX_BIN}, opt);
    ASSERT_TRUE(t.wait_text(row_of(14), 2, "Выход без сохранения"));
    ASSERT_TRUE(t.wait_idle());
    t.press(VTERM_KEY_ESCAPE);
    EXPECT_EQ(t.wait_exit(), 0);
    EXPECT_EQ(read_file(target), blank);
    struct stat st;
    EXPECT_TRUE(lstat(reg.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(stat(target.c_str(), &st) == 0 && st.st_uid == 65534 && st.st_gid == 65534);
    if (logged) {
        const std::string line = log.next();
        EXPECT_NE(line.find(": " + reg + ": user root, tty "), std::string::npos) << line;
        EXPECT_NE(line.find(": create; length 0 -> 1296"), std::string::npos) << line;
    }
}

// A save leaves its line in the system log; a register another process
// holds open, and one --verify faults (here cut short), are announced once
// each, before the menu, the damage again on standard error once it is over.
TEST_F(Editor, ASaveIsLoggedAndAHeldRegisterAnnounced) {
    write_file(reg, blank.substr(0, 1000));
    const int held = ::open(reg.c_str(), O_RDONLY);
    const system_log log(dir.path);
    if (const run_result r = run(log.logging({"true"})); r.status) GTEST_SKIP() << "no mount namespace: " << r.err;
    terminal t(log.logging({TARNEX_BIN}), opt);
    ASSERT_TRUE(t.wait_text(7, 8, "Реестр открыт программой"));
    // Centred in the box's 29 columns from column 6, wherever the pid's length puts it.
    const std::string named = "tarnex_screen " + std::to_string(getpid());
    EXPECT_TRUE(t.wait_text(8, 6 + (29 - static_cast<int>(named.size())) / 2, named));
    t.press(VTERM_KEY_ENTER);
    ASSERT_TRUE(t.wait_text(7, 12, "Реестр повреждён"));
    EXPECT_TRUE(t.wait_text(8, 11, "см. tarnex --verify"));
    t.press(VTERM_KEY_ENTER);
    ASSERT_TRUE(t.wait_text(row_of(14), 2, "Выход без сохранения"));
    ASSERT_TRUE(t.wait_idle());
    close(held);
    enter(t, 3, "77");
    leave(t, 13);
    EXPECT_EQ(t.wait_exit(), 0);
    const std::string line = log.next();
    EXPECT_NE(line.find(": " + reg + ": user root, tty "), std::string::npos) << line;
    EXPECT_NE(line.find(": checknum 1 -> 77"), std::string::npos) << line;
    EXPECT_NE(printed().find("checknum = 77\n"), std::string::npos);
    const std::string warning = "Warning: file " + reg + " is damaged; tarnex --verify " + reg + " lists what is wrong\r\n";
    EXPECT_TRUE(t.output().ends_with(warning)) << t.output().substr(t.output().size() - 200);
}

// A cancelled dialog, and one accepted as it was shown, leave the stored
// value as it is: the shift's seconds, which the field does not show, and the
// stored 0 the desk number 1 is shown for survive a save.
TEST_F(Editor, ACancelledOrUnchangedDialogChangesNothing) {
    write_file(reg, blank);
    ASSERT_EQ(run({TARNEX_BIN, "--setshift_begin", "2024-03-13T08:30:15+03:00", reg}, opt.env).status, 0);
    const std::string image = read_file(reg);
    auto t = start_editor();
    for (int entry : {3, 4, 5, 7, 12}) {
        open(*t, entry);
        ASSERT_TRUE(type(*t, "12"));
        ASSERT_TRUE(press(*t, VTERM_KEY_ESCAPE));
        EXPECT_TRUE(inverse(*t, row_of(1), 2, 38));
    }
    for (int entry : {1, 4, 7}) {
        open(*t, entry);
        ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
    }
    // Changed, then typed back as the file's value shows: that value again.
    open(*t, 4);
    ASSERT_TRUE(type(*t, "14"));
    ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
    EXPECT_EQ(value(*t, 4), "14.03.2024 ");
    open(*t, 4);
    ASSERT_TRUE(type(*t, "13"));
    ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
    leave(*t, 13);
    EXPECT_EQ(t->wait_exit(), 0);
    EXPECT_EQ(read_file(reg), image);
}

// A save that cannot be made (the cash desk holds its lock past the wait, a
// directory that cannot be written) says why in a box and goes back to the
// menu with every edit kept: saved again it is made; left, the error line
// still stands on standard error, with status 1.
TEST_F(Editor, AFailedSaveKeepsEveryEditAndSaysWhy) {
    for (bool save_again : {true, false}) {
        write_file(reg, blank);
        auto t = start_editor();
        enter(*t, 2, "5");
        enter(*t, 3, "77");
        const int held = hold_register();
        ASSERT_GE(held, 0);
        leave(*t, 13);
        ASSERT_TRUE(t->wait_anywhere("Error: can't lock file", std::chrono::milliseconds(8000))) << t->dump();
        ASSERT_TRUE(t->wait_idle());
        EXPECT_TRUE(t->anywhere("Запись не выполнена:")) << t->dump();
        close(held);
        EXPECT_EQ(read_file(reg), blank);
        ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));  // the box closes; the menu is back
        ASSERT_TRUE(t->wait_text(row_of(14), 2, "Выход без сохранения"));
        EXPECT_EQ(value(*t, 2).substr(0, 2), "5 ");
        EXPECT_EQ(value(*t, 3).substr(0, 3), "77 ");
        leave(*t, save_again ? 13 : 14);
        EXPECT_EQ(t->wait_exit(std::chrono::milliseconds(4000)), save_again ? 0 : 1);
        EXPECT_EQ(read_file(reg)[263], save_again ? 5 : 0);
        EXPECT_EQ(t->output().ends_with("Error: can't lock file " + reg + "\r\n"), !save_again)
            << t->output().substr(t->output().size() - 100);
    }
}

TEST_F(Editor, ShowsTheTillsOwnBytesUnderACp1251Locale) {
    opt.env["LANG"] = "ru_RU.CP1251";
    opt.charset = "CP1251";
    auto t = start_editor();
    EXPECT_EQ(t->row(row_of(9)), " │Счетчик продаж тек.см.    :0          │");
    t->press(VTERM_KEY_ESCAPE);
    EXPECT_EQ(t->wait_exit(), 0);
}

// The POSIX locale of a fresh root, or of an SSH session whose LANG names a
// locale the till lacks, shows only ASCII; the editor takes UTF-8 there,
// since that is what such terminals speak.  A KOI8-R locale gets KOI8-R.
TEST_F(Editor, ShowsItsLabelsAndBothWaysOutInEveryLocale) {
    struct {
        std::map<std::string, std::string> env;
        const char* charset;  // what the terminal speaks; "" for UTF-8
        const char* leave;    // "Запись и выход" as the bytes that reach it
    } cases[] = {
        {{{"LANG", ""}}, "", "Запись и выход"},
        {{{"LANG", "C"}}, "", "Запись и выход"},
        {{{"LC_ALL", "POSIX"}}, "", "Запись и выход"},
        {{{"LANG", "xx_XX.UTF-8"}}, "", "Запись и выход"},
        {{{"LC_CTYPE", "ru_RU.KOI8-R"}, {"LANG", "C"}}, "KOI8-R", "\xFA\xC1\xD0\xC9\xD3\xD8 \xC9 \xD7\xD9\xC8\xCF\xC4"},
    };
    locale_t absent = newlocale(LC_CTYPE_MASK, "xx_XX.UTF-8", nullptr);
    ASSERT_FALSE(absent) << "xx_XX.UTF-8 stands for a locale the till lacks";
    write_file(reg, blank);
    const auto defaults = opt;
    for (const auto& c : cases) {
        opt = defaults;
        for (const auto& [name, value] : c.env) opt.env[name] = value;
        opt.charset = c.charset;
        auto t = start_editor();
        const std::string label = c.env.begin()->first + "=" + c.env.begin()->second;
        EXPECT_EQ(t->row(row_of(1)), " │Номер кассы               :1          │") << label;
        EXPECT_EQ(t->row(row_of(10)), " │Счетчик возвратов тек.см. :0          │") << label;
        EXPECT_EQ(t->row(row_of(13)), " │Запись и выход" + std::string(24, ' ') + "│") << label;
        EXPECT_EQ(t->row(row_of(14)), " │Выход без сохранения" + std::string(18, ' ') + "│") << label;
        EXPECT_NE(t->output().find(c.leave), std::string::npos) << label;
        open(*t, 2);
        EXPECT_EQ(t->text(7, 6, 12), "Номер смены:") << label;
        ASSERT_TRUE(press(*t, VTERM_KEY_ESCAPE));
        leave(*t, 14);
        EXPECT_EQ(t->wait_exit(), 0) << label;
    }
    EXPECT_EQ(read_file(reg), blank);
}

// Failures end curses first, so that the line is readable and the shell works.
TEST_F(Editor, RegisterErrorsLeaveAUsableTerminal) {
    struct {
        std::string setup;
        std::string error;
    } cases[] = {
        {"mkdir " + reg, "Error: can't open file " + reg + " for read"},  // exists, cannot be read
        {"rm -r " + dir / "quelvaris/cash/data", "Error: can't open file " + reg + " for write"},
        {"rm -r " + dir / "quelvaris/cash/conf", "Error: can't open file " + cashcode + " for write"},
    };
    for (const auto& c : cases) {
        run({"rm", "-rf", dir / "quelvaris"});
        run({"mkdir", "-p", dir / "quelvaris/cash/data", dir / "quelvaris/cash/conf"});
        run({"sh", "-c", c.setup});
        terminal t({TARNEX_BIN}, opt);
        if (t.wait_text(row_of(14), 2, "Выход без сохранения", std::chrono::milliseconds(2000))) {
            ASSERT_TRUE(t.wait_idle());
            leave(t, 13);
            // A save that fails says so and keeps the session; left, the
            // error line follows it.
            ASSERT_TRUE(t.wait_anywhere("Запись не выполнена:")) << c.error;
            ASSERT_TRUE(t.wait_idle());
            t.press(VTERM_KEY_ENTER);
            ASSERT_TRUE(t.wait_idle());
            leave(t, 14);
        }
        EXPECT_EQ(t.wait_exit(), 1) << c.error;
        EXPECT_NE(t.output().find(c.error + "\r\n"), std::string::npos) << c.error;
        const termios modes = t.modes();
        EXPECT_TRUE((modes.c_lflag & ECHO) && (modes.c_lflag & ICANON)) << c.error;
    }
    EXPECT_TRUE(exists(reg)) << "an unreadable register is never replaced";
}

// A terminal the editor cannot be shown on is refused before the register is
// created or read, with one line and not a byte of escape sequences.
TEST_F(Editor, RefusesATerminalItCannotShowBeforeTouchingTheRegister) {
    const std::string small = "Error: terminal too small: need 41 columns and 21 rows";
    const std::string none = "Error: no terminal to show the editor on";
    const std::pair<std::string, std::string> cases[] = {
        // How a shell on the terminal starts the editor; what it is told.
        {"stty rows 20;", small},
        {"stty cols 40;", small},
        {"LINES=20", small},
        {"TERM=dumb", "Error: terminal type dumb can't show the editor"},
        {"TERM=\"$(printf 'no\\033such')\"", "Error: terminal type no\\033such can't show the editor"},
        {"unset TERM;", none + ": TERM is not set"},
        {">" + dir / "out", none},
        {"</dev/null", none},
    };
    for (const auto& [shell, error] : cases) {
        terminal t({"/bin/sh", "-c", shell + " " TARNEX_BIN}, opt);
        EXPECT_EQ(t.wait_exit(), 1) << shell;
        EXPECT_EQ(t.output(), error + "\r\n") << shell;
        EXPECT_FALSE(exists(reg)) << shell;
        EXPECT_EQ(read_file(dir / "out"), "") << shell;
    }
}

// A window made too small shows only a notice, to which keys are no answer;
// grown again, the session goes on where it was, with every edit still there.
TEST_F(Editor, ShrinkingAndGrowingTheWindowKeepsTheSession) {
    auto t = start_editor();
    enter(*t, 3, "55");
    open(*t, 2);
    ASSERT_TRUE(type(*t, "4"));
    const int sizes[][2] = {{15, 30}, {30, 40}, {20, 100}, {21, 41}, {30, 100}};
    for (const auto& [rows, cols] : sizes) {
        t->resize(rows, cols);
        if (rows < 21 || cols < 41) {
            ASSERT_TRUE(t->wait_text(1, 0, "до 41x21")) << rows << "x" << cols;
            ASSERT_TRUE(type(*t, "9"));
            ASSERT_TRUE(press(*t, VTERM_KEY_ESCAPE));
            EXPECT_EQ(t->text(0, 0, 14), "Увеличьте окно");
            EXPECT_FALSE(t->anywhere("│")) << t->dump();
        } else {  // the menu, the dialog over it and the field as typed so far
            ASSERT_TRUE(t->wait_text(11, 5, "└")) << rows << "x" << cols;
            ASSERT_TRUE(t->wait_idle());
            EXPECT_EQ(t->text(7, 6, 12) + t->text(8, 8, 6), "Номер смены:    04");
            EXPECT_EQ(t->row(row_of(14)), " │Выход без сохранения" + std::string(18, ' ') + "│");
            EXPECT_FALSE(t->anywhere("Увеличьте окно"));
        }
    }
    ASSERT_TRUE(type(*t, "2"));
    ASSERT_TRUE(press(*t, VTERM_KEY_ENTER));
    leave(*t, 13);
    EXPECT_EQ(t->wait_exit(), 0);
    EXPECT_NE(printed().find("shift = 42\nchecknum = 55\n"), std::string::npos) << printed();
}

// Over a slow link an arrow key's bytes can come apart.  ESCDELAY lets the
// user wait for the rest; without it a lone Escape is Escape after 10 ms.
TEST_F(Editor, AnArrowKeySplitWithinEscdelayIsStillAnArrow) {
    write_file(reg, blank);
    for (const char* delay : {"", "1000"}) {
        opt.env["ESCDELAY"] = delay;
        auto t = start_editor();
        t->send("\x1b");
        usleep(100000);
        t->send("OB");
        if (*delay) {
            ASSERT_TRUE(t->wait_idle());
            EXPECT_TRUE(inverse(*t, row_of(2), 2, 38)) << t->dump();
            t->press(VTERM_KEY_ESCAPE);
        }
        EXPECT_EQ(t->wait_exit(), 0) << delay;
    }
}

// A lost line or a signal ends the session at once, saves nothing and
// restores the terminal.
TEST_F(Editor, SignalsAndALostTerminalEndTheSessionWithoutSaving) {
    write_file(reg, blank);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, 0}) {
        opt.ignore_hangup = sig == 0;
        auto t = start_editor();
        enter(*t, 2, "5");
        open(*t, 3);
        if (sig)
            kill(t->pid(), sig);
        else
            t->hang_up();
        EXPECT_EQ(t->wait_exit(std::chrono::milliseconds(1000)), 1) << sig;
        if (sig) {  // what a shell needs back: echo, lines, signals, CR/LF as usual
            const termios m = t->modes();
            EXPECT_EQ(m.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(ECHO | ICANON | ISIG)) << sig;
            EXPECT_EQ(m.c_iflag & ICRNL, tcflag_t(ICRNL)) << sig;
            EXPECT_EQ(m.c_oflag & (OPOST | ONLCR), tcflag_t(OPOST | ONLCR)) << sig;
        }
        EXPECT_EQ(read_file(reg), blank) << sig;
    }
    // One that comes while the save waits for the cash desk's lock lands
    // after the save: the session ends as a save does, with status 0.
    for (int sig : {SIGHUP, SIGTERM}) {
        opt.ignore_hangup = false;
        write_file(reg, blank);
        auto t = start_editor();
        enter(*t, 2, "5");
        const int held = hold_register();
        ASSERT_GE(held, 0);
        leave(*t, 13);
        usleep(300'000);
        kill(t->pid(), sig);
        usleep(200'000);
        close(held);
        EXPECT_EQ(t->wait_exit(std::chrono::milliseconds(4000)), 0) << sig;
        EXPECT_EQ(read_file(reg)[263], 5) << sig;
    }
}

}  // namespace
