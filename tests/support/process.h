// Runs the built program the way a shell would and collects what it left.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// Runs `argv` (argv[0] is the program) with `env` added to this process's
// environment (an empty value removes the variable) and `input` on stdin.
run_result run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
               const std::string& input = "");

// Starts `argv` in the background, output discarded; finish() waits for it
// and gives its status as run() does.
int finish(int pid);
int start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});

// Runs the tarnex under test with the given arguments.
run_result tarnex(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {});

// A scratch directory removed with everything in it when the object dies.
struct scratch_dir {
    std::string path;
    scratch_dir();
    ~scratch_dir();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);

// A system log of the test's own: a datagram socket that a command wrapped by
// `logging` finds at /dev/log, in a private mount namespace whose /dev is an
// empty tmpfs.  next() gives the next line logged, or "" after `wait_ms`.
struct system_log {
    std::string path;
    int fd;
    explicit system_log(const std::string& dir);
    ~system_log();
    std::vector<std::string> logging(const std::vector<std::string>& argv) const;
    std::string next(int wait_ms = 5000) const;
};

// Whether case `i` of `n` of a loop over whole-program runs is tried.  All of
// them are, except in a sanitizer build, where each run costs several times as
// much and a single loop took minutes: there every TARNEX_SAMPLE_EVERY-th case
// and the last, so that both ends are always tried.  A prime step keeps a
// nested loop flattened into `i` from always skipping the same inner cases.
inline bool sampled(std::size_t i, std::size_t n) {
#ifdef TARNEX_SAMPLE_EVERY
    return i % TARNEX_SAMPLE_EVERY == 0 || i + 1 == n;
#else
    (void)n;
    return i < n;
#endif
}
