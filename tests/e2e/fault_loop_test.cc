// Every write-path system call of a save, failed and killed at each of its
// calls in turn: the way storage software proves that an error is never
// reported as success and that no interruption leaves a torn register.
//
// For a command and a system call, call number N is failed once (strace's
// when=N) and from there on (when=N+), with ENOSPC and with EIO, for every N
// from the program's first call on the till's files until a run gets through
// without meeting the fault.  Only calls on those files are counted and
// faulted (strace -P): the dynamic loader's, the locale's, the scan of /proc
// and the system log's are not the save's to handle.
#include "process.h"
#include "till_images.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct command_case {
    const char* name;
    std::vector<std::string> options;
    std::string fresh;     // the register after a completed run
    std::string cashcode;  // the cash code file's text after a completed run
    // An undo starts after an earlier run's change, made on `initial`: what
    // it starts from, and the image the undo puts back fields from.
    std::vector<std::string> earlier = {};
    std::string start = till::example(), start_cashcode = "12";
    std::string initial = till::example(), kept = till::example();
};

const std::string old_cashcode = "12";  // deliberately not the register's 3

std::string three_fields_set() {
    std::string image = till::with_number(till::with_number(till::example(), 263, 5), 781, 9);
    till::put(image, 522, {0, 0, 0, 0, 0, 0x12, 0x50});
    return image;
}

const command_case commands[] = {
    {"setthree", {"--setshift", "5", "--setchecknum", "9", "--setsum_sale", "12.5"}, three_fields_set(), "3"},
    // The blank image with its fields, a stored 0 receipt number going back
    // as 1, written whole in place.
    {"create", {"--create", "--setcashcode", "7"}, till::with_number(till::with_number(till::blank(), 5, 7), 781, 1), "7"},
};

// Undoing "--setcashcode 5 --setshift 5" after the cash desk counted a
// return (its counter at 99): cash code and shift go back, the counter stays.
std::string desk_changed(std::string image) { return till::with_number(std::move(image), 558, 99); }
const command_case undo_case = {"undo", {"--undo"}, desk_changed(till::example()), "3", {"--setcashcode", "5", "--setshift", "5"},
                                desk_changed(till::with_number(till::with_number(till::example(), 5, 5), 263, 5)), "5"};

// Undoing a --create on an empty file, as a new till starts, after the cash
// desk counted a return: the two numbers the create stored go back to the
// empty file's zeros, the counter and the length stay.
const command_case undo_create_case = {
    "undo_create", {"--undo"}, desk_changed(till::blank()), "1", {"--create"},
    desk_changed(till::with_number(till::with_number(till::blank(), 5, 1), 781, 1)), "1", "", std::string(register_size, '\0')};

// --create over a file longer than a register: the blank image, then the cut.
const command_case create_longer_case = {"create_longer", {"--create"}, till::with_number(till::with_number(till::blank(), 5, 1), 781, 1), "1", {},
                                         till::example() + std::string(104, 'x'), "12",
                                         till::example() + std::string(104, 'x')};

const command_case& case_at(int i) {
    return i < 2 ? commands[i] : i == 2 ? undo_case : i == 3 ? undo_create_case : create_longer_case;
}

const char* const write_path[] = {"openat", "write", "pwrite64", "fsync", "fdatasync", "close", "renameat", "unlinkat"};

// One fixture for a scratch till: the register outside the till's tree, as a
// technician names it on the command line, and the cash code file inside.
class Till : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string data = dir / "data";
    std::string reg = dir / "data/f.reg";
    std::string conf = dir / "quelvaris/cash/conf";
    std::string cashcode = dir / "quelvaris/cash/conf/cashcode";
    std::string log = dir / "strace.log";
    // LeakSanitizer cannot run under a tracer.
    std::map<std::string, std::string> env = {{"TARNEX_ROOT", dir.path},
                                              {"TZ", "UTC0"},
                                              {"LC_ALL", "C"},
                                              {"ASAN_OPTIONS", "exitcode=86:detect_leaks=0"}};

    void SetUp() override {
        fs::create_directories(data);
        fs::create_directories(conf);
    }

    void reset(const command_case& c = commands[0]) {
        write_file(reg, c.initial);
        write_file(cashcode, old_cashcode);
        std::remove((reg + "-").c_str());
        std::remove((reg + "-.last").c_str());
        std::remove((reg + ".journal").c_str());
        if (c.earlier.empty()) return;
        std::vector<std::string> a = c.earlier;
        a.push_back(reg);
        ASSERT_EQ(tarnex(a, env).status, 0);
        write_file(reg, desk_changed(read_file(reg)));
        ASSERT_EQ(read_file(reg), c.start);
    }

    std::vector<std::string> args(const command_case& c) const {
        std::vector<std::string> a = c.options;
        a.push_back(reg);
        return a;
    }

    // tarnex under strace; the log is left in `log`.
    run_result traced(const std::vector<std::string>& strace_options, const std::vector<std::string>& tarnex_args) {
        std::vector<std::string> argv = {"strace", "-y", "-o", log};
        for (const std::string& path : {data, conf, reg, reg + ".tmp", reg + ".journal", reg + ".journal.tmp", cashcode,
                                        cashcode + ".tmp"}) {
            argv.push_back("-P");
            argv.push_back(path);
        }
        argv.insert(argv.end(), strace_options.begin(), strace_options.end());
        argv.push_back(TARNEX_BIN);
        argv.insert(argv.end(), tarnex_args.begin(), tarnex_args.end());
        return run(argv, env);
    }

    // How many calls of `syscall` a clean run makes before its first look at
    // the register, which is where the program's own work begins.
    int calls_before_start(const command_case& c, const std::string& syscall) {
        reset(c);
        EXPECT_EQ(traced({}, args(c)).status, 0);
        std::istringstream lines(read_file(log));
        int count = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.find("\"" + reg + "\"") != std::string::npos) return count;
            if (line.rfind(syscall + "(", 0) == 0) ++count;
        }
        ADD_FAILURE() << "the register was never looked at";
        return count;
    }

    // Empty when the register is byte for byte as before the run or as after it.
    std::string register_state(const command_case& c) {
        const std::string got = read_file(reg);
        if (got == c.start || got == c.fresh) return "";
        // A cut not yet made: the new image with the old tail, which the
        // journal's record lets the next writing run finish.
        if (c.start.size() > c.fresh.size() && got == c.fresh + c.start.substr(c.fresh.size())) return "";
        const std::string why = till::fieldwise(got, c.start, c.fresh);
        return "register neither old nor new: " + (why.empty() ? "a mix of the two" : why);
    }

    std::string cashcode_state(const command_case& c) {
        const std::string text = read_file(cashcode);
        return text == c.start_cashcode || text == c.cashcode ? "" : "cash code file holds '" + text + "'";
    }

    // The undo is never lost: on a copy of the register and its journal,
    // the next writing run (one that changes nothing) leaves the undone
    // image, or a further undo does.
    std::string restorable(const command_case& c) {
        if (c.earlier.empty() || read_file(reg) == c.fresh) return "";
        const std::string copy = dir / "copy", copy_reg = copy + "/f.reg";
        fs::remove_all(copy);
        fs::create_directories(copy + "/quelvaris/cash/conf");
        write_file(copy_reg, read_file(reg));
        if (exists(reg + ".journal")) write_file(copy_reg + ".journal", read_file(reg + ".journal"));
        std::map<std::string, std::string> e = env;
        e["TARNEX_ROOT"] = copy;
        tarnex({"--setcount_back", "99", copy_reg}, e);
        if (read_file(copy_reg) == c.fresh) return "";
        tarnex({"--undo", copy_reg}, e);
        return read_file(copy_reg) == c.fresh ? "" : "the image to restore is lost";
    }

    // Names in the two directories other than the two files and the journal.
    std::vector<std::string> strays(const command_case& = commands[0]) {
        std::vector<std::string> names;
        for (const std::string& d : {data, conf})
            for (const auto& e : fs::directory_iterator(d))
                if (e.path() != reg && e.path() != cashcode && e.path() != reg + ".journal")
                    names.push_back(e.path().filename());
        return names;
    }

    // The run that follows a fault or crash works as if nothing had happened.
    void expect_a_clean_run(const command_case& c, const std::string& what) {
        const run_result r = tarnex(args(c), env);
        EXPECT_EQ(r.status, 0) << what << ": the next run: " << r.err;
        EXPECT_EQ(read_file(reg), c.fresh) << what << ": the next run";
        EXPECT_EQ(read_file(cashcode), c.cashcode) << what << ": the next run";
    }
};

// Whether a failed call of the run was one of the save's own: a call on a
// file of the scratch till, by name or by a descriptor strace -y names.  The
// time zone's file, /proc and the system log's socket are not the save's.
bool hits_the_till(const std::string& trace, const std::string& till_dir) {
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);)
        if (line.find("(INJECTED)") != std::string::npos && line.find(till_dir) != std::string::npos)
            return true;
    return false;
}

bool one_error_line(const std::string& err) {
    return err.rfind("Error: ", 0) == 0 && err.find('\n') == err.size() - 1;
}

using fault_param = std::tuple<int, const char*>;  // command index, system call

class FaultLoop : public Till, public ::testing::WithParamInterface<fault_param> {
protected:
    void SetUp() override {
        if (run({"strace", "-o", "/dev/null", "true"}).status != 0) GTEST_SKIP() << "strace cannot trace here";
        Till::SetUp();
    }
    const command_case& command() const { return case_at(std::get<0>(GetParam())); }
    std::string syscall() const { return std::get<1>(GetParam()); }
};

// Each failed call must end the run with status 1 and one "Error: " line, the
// register unharmed and the cash code file whole.
TEST_P(FaultLoop, EveryFailedCallIsReportedAndHarmsNothing) {
    const command_case& c = command();
    const int start = calls_before_start(c, syscall()) + 1;
    int faulted = 0;
    for (const char* error : {"ENOSPC", "EIO"}) {
        for (const bool persistent : {false, true}) {
            for (int n = start;; ++n) {
                ASSERT_LT(n, start + 64) << "no run got past the faults";
                const std::string inject = syscall() + ":error=" + error + ":when=" + std::to_string(n) +
                                           (persistent ? "+" : "");
                reset(c);
                const run_result r = traced({"-e", "trace=" + syscall(), "-e", "inject=" + inject}, args(c));
                const std::string trace = read_file(log);
                if (trace.find("(INJECTED)") == std::string::npos) {
                    // Past the last call: the run must simply have worked.
                    EXPECT_EQ(r.status, 0) << inject << ": " << r.err;
                    EXPECT_EQ(read_file(reg), c.fresh) << inject;
                    EXPECT_EQ(read_file(cashcode), c.cashcode) << inject;
                    break;
                }
                if (!hits_the_till(trace, dir.path)) {
                    // The C library looking for the time zone's file: it falls
                    // back on the zone's rule, and the run goes on as it should.
                    EXPECT_EQ(r.status, 0) << inject << ": " << r.err;
                    EXPECT_EQ(read_file(reg), c.fresh) << inject;
                    continue;
                }
                ++faulted;
                // A failed look that only reads (who else has the register
                // open, what the cash code file holds) is worked around.
                const std::string head = trace.substr(0, trace.find("(INJECTED)"));
                const std::string call = head.substr(head.rfind('\n') + 1);
                if (r.status == 0 && (call.find("O_RDONLY") != std::string::npos || call.starts_with("close("))) {
                    EXPECT_TRUE(read_file(reg) == c.fresh && read_file(cashcode) == c.cashcode && strays(c).empty()) << inject;
                    continue;
                }
                EXPECT_EQ(r.status, 1) << inject << ": " << r.err;
                EXPECT_TRUE(one_error_line(r.err)) << inject << ": '" << r.err << "'";
                EXPECT_EQ(register_state(c), "") << inject;
                EXPECT_EQ(cashcode_state(c), "") << inject;
                EXPECT_EQ(restorable(c), "") << inject;
                // Only a removal that keeps failing can leave a temporary
                // file, of one fixed name that the next run clears.
                for (const std::string& name : strays(c))
                    EXPECT_TRUE(syscall() == "unlinkat" && persistent && name.ends_with(".tmp"))
                        << inject << ": a temporary file was left: " << name;
            }
        }
    }
    std::printf("[ figures  ] %s %s: %d faulted runs held\n", c.name, syscall().c_str(), faulted);
    EXPECT_GT(faulted, 0) << "the save never made this call";
}

// Killed on entering any write-path call, the register is still old or on its
// way to new field by field, and the next run completes.
TEST_P(FaultLoop, AKillAtEveryCallLeavesATillTheNextRunRepairs) {
    const command_case& c = command();
    const int start = calls_before_start(c, syscall()) + 1;
    int killed = 0;
    for (int n = start;; ++n) {
        ASSERT_LT(n, start + 64) << "no run got past the kill";
        const std::string inject = syscall() + ":signal=SIGKILL:when=" + std::to_string(n);
        reset(c);
        const run_result r = traced({"-e", "trace=" + syscall(), "-e", "inject=" + inject}, args(c));
        if (read_file(log).find("+++ killed by SIGKILL") == std::string::npos) {
            EXPECT_EQ(r.status, 0) << inject << ": " << r.err;
            EXPECT_EQ(read_file(reg), c.fresh) << inject;
            break;
        }
        ++killed;
        EXPECT_EQ(r.status, 128 + SIGKILL) << inject;
        // Killed once done, a register not the till's own has said what it
        // did to the till's cash code file.
        EXPECT_TRUE(r.err.empty() || r.err.starts_with("Warning: file " + reg + " is not the till's register")) << inject;
        EXPECT_EQ(register_state(c), "") << inject;
        EXPECT_EQ(cashcode_state(c), "") << inject;
        EXPECT_EQ(restorable(c), "") << inject;
        // Only a temporary file of one fixed name that never got renamed may
        // stay behind.
        for (const std::string& name : strays(c))
            EXPECT_TRUE(name == "cashcode.tmp" || name == "f.reg.journal.tmp") << inject << ": " << name;
        // An undo killed after the register may be refused by the next one
        // (its field no longer holds what the change wrote), never harmed.
        if (c.earlier.empty()) {
            expect_a_clean_run(c, inject);
        } else if (const std::string was = read_file(reg); tarnex(args(c), env).status != 0) {
            EXPECT_EQ(read_file(reg), was) << inject << ": the next run";
        }
    }
    std::printf("[ figures  ] %s %s: %d crash points held\n", c.name, syscall().c_str(), killed);
    EXPECT_GT(killed, 0) << "the save never made this call";
}

// An interrupt, a hang-up or a termination request arriving at any write-path
// call stops the run either before it has written anything or after both
// files hold the new values: never with one of them new and the other old.
TEST_P(FaultLoop, SignalsAtEveryCallLeaveBothFilesOldOrBothNew) {
    const command_case& c = command();
    const int start = calls_before_start(c, syscall()) + 1;
    int signalled = 0;
    for (const auto& [name, sig] : {std::pair{"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}, {"SIGQUIT", SIGQUIT}}) {
        for (int n = start;; ++n) {
            ASSERT_LT(n, start + 64) << "no run got past the signal";
            const std::string inject = syscall() + ":signal=" + name + ":when=" + std::to_string(n);
            reset(c);
            const run_result r = traced({"-e", "trace=" + syscall(), "-e", "inject=" + inject}, args(c));
            const bool reached = read_file(log).find("--- " + std::string(name)) != std::string::npos;
            if (!reached) {
                EXPECT_EQ(r.status, 0) << inject << ": " << r.err;
                break;
            }
            ++signalled;
            EXPECT_EQ(r.status, 128 + sig) << inject;
            const std::string got = read_file(reg), text = read_file(cashcode);
            const bool before = got == c.start && text == c.start_cashcode;
            const bool after = got == c.fresh && text == c.cashcode;
            EXPECT_TRUE(before || after) << inject << ": register " << (got == c.start ? "old" : got == c.fresh ? "new" : "torn")
                                         << ", cash code file '" << text << "'";
            EXPECT_EQ(strays(c), std::vector<std::string>{}) << inject;
        }
    }
    std::printf("[ figures  ] %s %s: %d signalled runs held\n", c.name, syscall().c_str(), signalled);
}

// The machine itself refusing the write: each must be one "Error: " line and
// status 1, with both files as the failure left them.  These need root and
// mounts; where the machine refuses those, the case says so and skips.
class Refusals : public Till {
protected:
    std::string machine_refuses;  // set by a runner that cannot set its case up

    // Runs each command from a fresh till; `runner` gives the program's result.
    template <typename Runner>
    void expect_refused(Runner runner, bool register_written = false) {
        for (const command_case& c : commands) {
            reset();
            const run_result r = runner(c);
            if (!machine_refuses.empty()) GTEST_SKIP() << machine_refuses;
            EXPECT_EQ(r.status, 1) << c.name << ": " << r.err;
            EXPECT_TRUE(one_error_line(r.err)) << c.name << ": '" << r.err << "'";
            if (register_written)
                EXPECT_EQ(read_file(reg), c.fresh) << c.name;
            else
                EXPECT_EQ(read_file(reg), till::example()) << c.name;
            EXPECT_EQ(cashcode_state(c), "") << c.name;
            EXPECT_EQ(strays(), std::vector<std::string>{}) << c.name;
        }
    }

    // `command` in a mount namespace of its own, after `setup` (a shell line)
    // has run there and followed by `after`; the mounts vanish with the
    // namespace.
    run_result in_namespace(const std::string& setup, const std::vector<std::string>& command,
                            const std::string& after = "", const std::map<std::string, std::string>& with = {}) {
        const std::string script = setup + " || exit 99; \"$@\"; s=$?; " + after + " exit $s";
        std::vector<std::string> argv = {"unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"};
        argv.insert(argv.end(), command.begin(), command.end());
        std::map<std::string, std::string> e = env;
        for (const auto& [k, v] : with) e[k] = v;
        run_result r = run(argv, e);
        if (r.status == 99 || r.err.rfind("unshare: ", 0) == 0) machine_refuses = "this machine refuses mounts: " + r.err;
        return r;
    }

    std::vector<std::string> program(const command_case& c) const {
        std::vector<std::string> argv = {TARNEX_BIN};
        for (const std::string& a : args(c)) argv.push_back(a);
        return argv;
    }
};

TEST_F(Refusals, ARegisterOnAReadOnlyMount) {
    expect_refused([&](const command_case& c) {
        return in_namespace("mount --bind " + data + " " + data + " && mount -o remount,bind,ro " + data, program(c));
    });
}

TEST_F(Refusals, AnImmutableRegister) {
    struct mutable_again {
        std::string path;
        ~mutable_again() { run({"chattr", "-i", path}); }
    } undo{reg};
    expect_refused([&](const command_case& c) {
        const run_result set = run({"chattr", "+i", reg});
        if (set.status != 0) machine_refuses = "this file system refuses chattr +i: " + set.err;
        run_result r = tarnex(args(c), env);
        run({"chattr", "-i", reg});
        return r;
    });
}

// Root may write anywhere; a technician's own account may not, and gets told.
TEST_F(Refusals, AnUnprivilegedUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    const auto as_nobody = [&](const command_case& c) {
        std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        for (const std::string& a : program(c)) argv.push_back(a);
        return run(argv, env);
    };
    expect_refused([&](const command_case& c) {
        chmod(reg.c_str(), 0644);
        return as_nobody(c);
    });
    // A register anyone may write, beside a cash code file the user may not
    // write, is not changed: the cash code file is checked first.
    reset();
    chmod(reg.c_str(), 0666);
    const run_result r = as_nobody(commands[1]);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: can't open file " + cashcode + " for write\n");
    EXPECT_EQ(read_file(reg), till::example());
}

// A full disk: the register's own bytes are rewritten in place and need no
// new space, but the cash code file's new content and the kept previous
// version do not fit, and without them nothing is changed.
TEST_F(Refusals, AFullDisk) {
    const std::string disk = dir / "disk", out = dir / "out", root = dir / "disk/root", disk_reg = dir / "disk/f.reg";
    fs::create_directories(disk);
    fs::create_directories(out);
    for (const command_case& c : commands) {
        reset();
        const std::string setup = "mount -t tmpfs -o size=64k tmpfs " + disk + " && mkdir -p " + root +
                                  "/quelvaris/cash/conf && cp " + reg + " " + disk_reg + " && cp " + cashcode + " " +
                                  root + "/quelvaris/cash/conf/ && { dd if=/dev/zero of=" + disk +
                                  "/filler bs=4096 2>/dev/null; true; }";
        const std::string after = "cp " + disk_reg + " " + out + "/f.reg; cp " + root +
                                  "/quelvaris/cash/conf/cashcode " + out + "/cashcode; { ls -A " + root +
                                  "/quelvaris/cash/conf; ls -A " + disk + "; } > " + out + "/listing;";
        std::vector<std::string> command = c.options;
        command.insert(command.begin(), TARNEX_BIN);
        command.push_back(disk_reg);
        const run_result r = in_namespace(setup, command, after, {{"TARNEX_ROOT", root}});
        if (!machine_refuses.empty()) GTEST_SKIP() << machine_refuses;
        EXPECT_EQ(r.status, 1) << c.name << ": " << r.err;
        EXPECT_EQ(r.err, "Error: can't write file " + root + "/quelvaris/cash/conf/cashcode\n");
        EXPECT_EQ(read_file(out + "/f.reg"), till::example());
        EXPECT_EQ(read_file(out + "/cashcode"), old_cashcode) << c.name;
        EXPECT_EQ(read_file(out + "/listing"), "cashcode\nf.reg\nfiller\nroot\n") << c.name;
    }
}

// A cash code step that cannot be done leaves the register unchanged: a
// missing conf directory (not made up), and a directory planted at the
// temporary name by the conf directory's owner.
TEST_F(Refusals, ACashCodeStepThatFailsChangesNothing) {
    expect_refused(
        [&](const command_case& c) {
            fs::remove_all(conf);
            const run_result r = tarnex(args(c), env);
            EXPECT_EQ(r.err, "Error: can't open file " + cashcode + " for write\n");
            EXPECT_FALSE(exists(conf));
            fs::create_directories(conf);
            write_file(cashcode, old_cashcode);
            return r;
        });
    expect_refused([&](const command_case& c) {
        fs::create_directories(conf + "/cashcode.tmp/x");
        const run_result r = tarnex(args(c), env);
        EXPECT_EQ(r.err, "Error: can't open file " + cashcode + " for write\n");
        fs::remove_all(conf + "/cashcode.tmp");
        return r;
    });
}

std::string fault_name(const ::testing::TestParamInfo<fault_param>& info) {
    return std::string(case_at(std::get<0>(info.param)).name) + "_" + std::get<1>(info.param);
}

INSTANTIATE_TEST_SUITE_P(WritePath, FaultLoop,
                         ::testing::Combine(::testing::Values(0, 1, 2, 4), ::testing::ValuesIn(write_path)), fault_name);
// Undoing a create leaves the cash code file as it is: the journal and the
// register are all it writes, each in place.
INSTANTIATE_TEST_SUITE_P(WritePathInPlace, FaultLoop,
                         ::testing::Combine(::testing::Values(3), ::testing::Values("openat", "pwrite64", "fdatasync", "close")),
                         fault_name);
// Only a create over a longer file cuts.
INSTANTIATE_TEST_SUITE_P(WritePathCut, FaultLoop, ::testing::Combine(::testing::Values(4), ::testing::Values("ftruncate")),
                         fault_name);

}  // namespace
