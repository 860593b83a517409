// What a load and a save cost in system calls on the register file, counted
// with strace: a read per field, a rewrite of the whole image or a second sync
// would each still give the right bytes, and only show up here.
#include "process.h"
#include "register/registry.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <regex>
#include <sstream>

namespace {

const std::string blank(reinterpret_cast<const char*>(empty_reg.data()), empty_reg.size());

struct call {
    std::string name;
    std::string line;
};

class Syscalls : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string root;
    std::string reg;
    // LeakSanitizer cannot run under a tracer.
    std::map<std::string, std::string> env = {{"TZ", "UTC0"}, {"ASAN_OPTIONS", "exitcode=86:detect_leaks=0"}};

    void SetUp() override {
        if (run({"strace", "-o", "/dev/null", "true"}).status != 0) GTEST_SKIP() << "strace cannot trace here";
        // strace -y names files by their real path.
        char real[PATH_MAX];
        ASSERT_NE(realpath(dir.path.c_str(), real), nullptr);
        root = real;
        reg = root + "/f.reg";
        env["TARNEX_ROOT"] = root;
        run({"mkdir", "-p", root + "/quelvaris/cash/conf"});
        write_file(reg, blank);
    }

    // The calls the traced program made on descriptors of `file`.
    std::vector<call> calls_on(const std::string& file, const std::vector<std::string>& args) {
        const std::string trace = root + "/trace";
        std::vector<std::string> argv = {"strace", "-f", "-y", "-o", trace, TARNEX_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const run_result r = run(argv, env);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<call> calls;
        std::istringstream lines(read_file(trace));
        const std::regex on_file("^(?:\\d+ +)?(\\w+)\\(\\d+<" + std::regex_replace(file, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&") + ">");
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (std::regex_search(line, m, on_file)) calls.push_back({m[1], line});
        }
        return calls;
    }

    int opens_of(const std::string& file, const std::vector<std::string>& args) {
        const std::string trace = root + "/trace";
        std::vector<std::string> argv = {"strace", "-f", "-e", "trace=open,openat", "-o", trace, TARNEX_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        run(argv, env);
        int n = 0;
        std::istringstream lines(read_file(trace));
        for (std::string line; std::getline(lines, line);) n += line.find("\"" + file + "\"") != std::string::npos;
        return n;
    }
};

int count(const std::vector<call>& calls, std::initializer_list<std::string_view> names) {
    int n = 0;
    for (const call& c : calls)
        for (std::string_view name : names) n += c.name == name;
    return n;
}

TEST_F(Syscalls, ALoadOpensTheRegisterOnceAndReadsItWhole) {
    // Whole, cut short, and longer than the image.
    for (std::size_t size : {blank.size(), std::size_t{100}, std::size_t{0}, std::size_t{5000}}) {
        write_file(reg, (blank + std::string(5000, 'x')).substr(0, size));
        EXPECT_EQ(opens_of(reg, {"--print", reg}), 1) << size;
        const std::vector<call> calls = calls_on(reg, {"--print", reg});
        EXPECT_LE(count(calls, {"read", "pread64", "readv", "preadv"}), 2) << size;
        EXPECT_EQ(count(calls, {"lseek"}), 0) << size;
        EXPECT_EQ(count(calls, {"write", "pwrite64", "writev", "pwritev", "ftruncate", "fsync", "fdatasync"}), 0)
            << size;
    }
}

// A change is one locked read and one write of the span of the fields it
// changes: another writer's bytes between them go back as just read.
TEST_F(Syscalls, ASaveLocksReadsWritesAndSyncsTheRegisterOnce) {
    const std::regex span(", (\\d+), (\\d+)\\) += (\\d+)$");
    struct {
        std::vector<std::string> options;
        std::size_t offset, size;
    } cases[] = {
        {{"--setshift", "5"}, 263, 2},
        {{"--setshift_begin", "05.03.2024 08:30"}, 271, 8},
        {{"--setcashcode", "7", "--settcount_back", "1"}, 5, 826},
        {{"--create"}, 0, register_size},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        args.push_back(reg);
        const std::vector<call> calls = calls_on(reg, args);
        const auto locks = [](const call& made) { return made.line.find("F_OFD_SETLK") != std::string::npos; };
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(), locks), 1) << args[0];
        EXPECT_EQ(count(calls, {"read", "pread64", "readv", "preadv"}), 1) << args[0];
        EXPECT_EQ(count(calls, {"write", "writev", "pwritev", "ftruncate"}), 0) << args[0];
        EXPECT_EQ(count(calls, {"fsync", "fdatasync"}), 1) << args[0];
        ASSERT_EQ(count(calls, {"pwrite64"}), 1) << args[0];
        for (const call& w : calls) {
            std::smatch m;
            if (w.name != "pwrite64") continue;
            ASSERT_TRUE(std::regex_search(w.line, m, span)) << w.line;
            EXPECT_EQ(std::stoul(m[1]), c.size) << w.line;
            EXPECT_EQ(std::stoul(m[2]), c.offset) << w.line;
            EXPECT_EQ(m[3], m[1]) << w.line;
        }
    }
    // A cash code file that names another desk goes through a temporary
    // file: synced once, then renamed, then its folder synced once.
    const std::string conf = root + "/quelvaris/cash/conf";
    write_file(conf + "/cashcode", "9");
    const std::vector<call> folder = calls_on(conf, {"--setshift", "5", reg});
    EXPECT_EQ(count(folder, {"fsync", "fdatasync"}), 1);
    const std::regex temp_sync("^(?:\\d+ +)?f(?:data)?sync\\(\\d+<[^>]*/cashcode\\.tmp>");
    std::istringstream lines(read_file(root + "/trace"));
    int temp_syncs = 0;
    for (std::string line; std::getline(lines, line);) temp_syncs += std::regex_search(line, temp_sync);
    EXPECT_EQ(temp_syncs, 1);
    // One that names the desk already is not written again.
    EXPECT_EQ(count(calls_on(conf, {"--setshift", "6", reg}), {"fsync", "fdatasync"}), 0);

    // Whether another process holds the register costs a lease, through a
    // link the run follows too: nobody holding it, /proc is never scanned.
    const std::string link = root + "/link.reg";
    ASSERT_EQ(symlink(reg.c_str(), link.c_str()), 0);
    for (const std::string& file : {reg, link}) {
        ASSERT_EQ(run({"strace", "-f", "-e", "trace=openat", "-o", root + "/trace", TARNEX_BIN, "--setshift", "7", file}, env).status, 0);
        EXPECT_EQ(read_file(root + "/trace").find("\"/proc\""), std::string::npos) << file;
    }
}

// A run with arguments is most of what scripts do on a chain's tills; the
// terminal library is the editor's alone (loading it cost such a run a third
// of its time), and only a run without arguments execs the editor program.
TEST_F(Syscalls, OnlyTheEditorLoadsTheTerminalLibrary) {
    const std::string trace = root + "/trace";
    for (const auto& args : {std::vector<std::string>{"--print", reg}, {"--setshift", "5", "--verify", reg}, {"--help"}, {}}) {
        std::vector<std::string> argv = {"strace", "-f", "-e", "trace=openat,execve", "-o", trace, TARNEX_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const bool editor = args.empty();
        const std::string first = editor ? "(none)" : args[0];
        EXPECT_EQ(run(argv, env).status, editor ? 1 : 0) << first;
        for (const char* sign : {"libncursesw.so", "libtinfo.so", "execve(\"" TARNEX_BIN "-editor\""})
            EXPECT_EQ(read_file(trace).find(sign) != std::string::npos, editor) << first << " " << sign;
    }
}

}  // namespace
