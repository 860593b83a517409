// Failing system calls, injected with strace, must never pass for success and
// never leave a half-written cash code file.
#include "process.h"
#include "register/registry.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace {

const std::string blank(reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size());

class Faults : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string reg = dir / "f.reg";
    std::string cashcode = dir / "quelvaris/cash/conf/cashcode";
    // LeakSanitizer cannot run under a tracer.
    std::map<std::string, std::string> env = {
        {"TARNEX_ROOT", dir.path}, {"TZ", "UTC0"}, {"ASAN_OPTIONS", "exitcode=86:detect_leaks=0"}};

    void SetUp() override {
        if (run({"strace", "-o", "/dev/null", "true"}).status != 0) GTEST_SKIP() << "strace cannot trace here";
        run({"mkdir", "-p", dir / "quelvaris/cash/conf"});
        write_file(reg, blank);
        write_file(cashcode, "1");
    }

    // tarnex under strace with one fault injected.
    run_result traced(const std::string& inject, std::vector<std::string> args) {
        std::vector<std::string> argv = {"strace", "-o", "/dev/null", "-e", "inject=" + inject, TARNEX_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, env);
    }
};

TEST_F(Faults, AFailedWriteOrSyncIsAFailure) {
    // Everything that can fail comes before the register: the cash code file's
    // content, then the journal with the change's record (on the first
    // change, made whole: write, fsync, rename, directory).  A failure after
    // it says the register was changed.
    const std::string journal = reg + ".journal";
    const std::string changed = "; the register " + reg + " was changed";
    struct {
        const char* inject;
        std::string message;
        bool register_new;  // the register already holds the new shift
    } cases[] = {
        {"write:error=ENOSPC:when=1", cashcode, false},
        {"fsync:error=EIO:when=1", cashcode, false},
        {"write:error=ENOSPC:when=2", journal, false},
        {"fsync:error=EIO:when=2", journal, false},
        {"renameat:error=EIO:when=1", journal, false},
        {"fsync:error=EIO:when=3", journal, false},  // its directory
        {"pwrite64:error=ENOSPC", reg, false},
        {"fdatasync:error=EIO", reg, true},  // written, only its durability is in doubt
        {"renameat:error=EIO:when=2", cashcode + changed, true},
        {"fsync:error=EIO:when=4", cashcode + changed, true},  // the directory, after the rename
    };
    for (const auto& c : cases) {
        write_file(reg, blank);
        write_file(cashcode, "1");
        std::remove(journal.c_str());
        const run_result r = traced(c.inject, {"--setcashcode", "7", "--setshift", "5", reg});
        EXPECT_EQ(r.status, 1) << c.inject;
        EXPECT_EQ(r.err, "Error: can't write file " + c.message + "\n") << c.inject;
        const std::string text = read_file(cashcode);
        if (std::string(c.inject).rfind("fsync:error=EIO:when=4", 0) == 0)
            EXPECT_EQ(text, "7");  // renamed already, only its durability is in doubt
        else
            EXPECT_EQ(text, "1") << c.inject;
        EXPECT_EQ(read_file(reg)[263], c.register_new ? 5 : 0) << c.inject;
        // No temporary file is left behind.
        EXPECT_EQ(run({"sh", "-c", "ls " + dir / "quelvaris/cash/conf"}).out, "cashcode\n") << c.inject;
        EXPECT_EQ(run({"sh", "-c", "ls " + dir.path + " | grep -c tmp"}).out, "0\n") << c.inject;
    }
}

TEST_F(Faults, AFailedCreateLeavesTheOldRegister) {
    std::string image = blank;
    image[263] = 9;
    write_file(reg, image);
    const run_result r = traced("pwrite64:error=EIO", {"--create", reg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: can't write file " + reg + "\n");
    EXPECT_EQ(read_file(reg), image);
}

// The number of the system call a task is in, as /proc shows it.
long syscall_of(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    long nr = -1;
    f >> nr;
    return nr;
}

int child_of(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    int child = 0;
    f >> child;
    return child;
}

// An interrupt during the save waits until both files are written, and the
// run then ends as it would have: a caller told nothing would make the
// change again.
TEST_F(Faults, SignalsDuringTheSaveAreHeldUntilBothFilesAreWritten) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        write_file(reg, blank);
        write_file(cashcode, "1");
        std::remove((reg + ".journal").c_str());  // a new till's first change: one fdatasync, the register's
        const int tracer = start({"strace", "-o", "/dev/null", "-e", "inject=fdatasync:delay_enter=300000", TARNEX_BIN,
                                  "--setcashcode", "7", "--setshift", "5", reg},
                                 env);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int child = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            child = child_of(tracer);
            if (child && syscall_of(child) == SYS_fdatasync) break;
        }
        ASSERT_GT(child, 0);
        kill(child, sig);
        EXPECT_EQ(finish(tracer), 0) << sig;
        EXPECT_EQ(read_file(reg)[263], 5);
        EXPECT_EQ(read_file(cashcode), "7");
    }
    // An undo that waits for the cash code file's lock and is told to stop
    // meanwhile makes the undo, prints and ends with status 0.
    for (const char* sig : {"TERM", "HUP", "INT"}) {
        ASSERT_EQ(run({TARNEX_BIN, "--setshift", "9", reg}, env).status, 0);
        const std::string script = "flock " + dir / "quelvaris/cash/conf" + " sleep 1 & sleep 0.2; " TARNEX_BIN
                                   " --undo --json " + reg + " & p=$!; sleep 0.3; kill -" + sig + " $p; wait $p; echo status $?";
        const run_result r = run({"bash", "-c", script}, env);
        EXPECT_NE(r.out.find("\"shift\": 5,"), std::string::npos) << sig << ": " << r.out << r.err;
        EXPECT_TRUE(r.out.ends_with("status 0\n")) << sig << ": " << r.out;
        EXPECT_EQ(read_file(reg)[263], 5) << sig;
    }
}

}  // namespace
