// The option parser and the commands, with any argument vector, on a scratch
// register.  The input's bytes are the words, split at zero bytes; a word
// holding a slash is never passed on, so that no run can reach a file outside
// the scratch till, and "f.reg" (the register) always comes last.
//
// Failures end the program through fail(), whose hook for restoring the
// terminal runs first; here that hook throws, so such inputs return to the
// fuzzer in-process and their coverage counts.  --help, --version,
// --history, --init and --verify end the process themselves: inputs that may
// reach them run in a child process.
#include "scratch.h"
#include "till_images.h"

#include "cli/commandline.h"
#include "register/failure.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <vector>

namespace {

std::string till_dir, reg, cashcode;

struct failed {};

void throw_failure() { throw failed{}; }

// The register after a run: either the example it started as or the blank
// image, changed only in the field bytes, with valid digits in every amount.
void check_files() {
    const std::string got = fuzz::read_bytes(reg);
    if (got.size() != register_size) fuzz::finding("the register changed length");
    if (!till::fieldwise(got, till::example(), got).empty() && !till::fieldwise(got, till::blank(), got).empty())
        fuzz::finding("the register changed outside its fields: " + till::fieldwise(got, till::example(), got));
    if (access(cashcode.c_str(), F_OK) == 0) {
        const std::string text = fuzz::read_bytes(cashcode);
        if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
            fuzz::finding("cash code file holds '" + text + "'");
        // A stored desk 0 is desk 1, in the file as everywhere it is shown.
        const unsigned stored = static_cast<unsigned char>(got[5]) | static_cast<unsigned char>(got[6]) << 8;
        if (text != std::to_string(stored ? stored : 1)) fuzz::finding("cash code file and register disagree");
    }
}

void run_in_child(std::vector<char*>& argv) {
    const pid_t pid = fork();
    if (pid < 0) fuzz::finding("fork");
    if (pid == 0) {
        // Ahead of the fuzzer's own exit handler, which would report any exit
        // as a finding: the child's status is the program's.
        on_exit([](int status, void*) { _exit(status); }, nullptr);
        optind = 0;
        commandline(static_cast<int>(argv.size()) - 1, argv.data());
        std::fflush(stdout);
        _exit(0);
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
    }
    if (!WIFEXITED(ws) || WEXITSTATUS(ws) > 1)
        fuzz::finding("the program ended with " +
                      (WIFEXITED(ws) ? "status " + std::to_string(WEXITSTATUS(ws))
                                     : "signal " + std::to_string(WTERMSIG(ws))));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    till_dir = fuzz::make_scratch_till();
    reg = till_dir + "/f.reg";
    cashcode = till_dir + "/quelvaris/cash/conf/cashcode";
    setenv("TZ", "UTC0", 1);
    if (chdir(till_dir.c_str()) != 0) fuzz::finding("chdir");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    std::vector<std::string> words = {"tarnex"};
    std::string word;
    bool may_exit = false;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0) {
            word += static_cast<char>(data[i]);
            continue;
        }
        if (word.find('/') != std::string::npos) return 0;
        if (word.rfind("--h", 0) == 0 || word.rfind("--v", 0) == 0 || word.rfind("--i", 0) == 0) may_exit = true;
        words.push_back(word);
        word.clear();
    }
    words.push_back("f.reg");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    fuzz::write_bytes(reg, till::example());
    unlink(cashcode.c_str());
    if (may_exit) {
        run_in_child(argv);
    } else {
        on_failure(throw_failure);
        optind = 0;  // the C library's parser starts afresh
        try {
            commandline(static_cast<int>(argv.size()) - 1, argv.data());
        } catch (const failed&) {
        }
        on_failure(nullptr);
        // A run that changes the register holds the stop signals to its
        // end, which here is not the process's: the fuzzer gets them back.
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, s);
        sigprocmask(SIG_UNBLOCK, &held, nullptr);
    }
    check_files();
    return 0;
}
