#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

// This process's environment with `env` laid over it.
std::vector<std::string> environment(const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq) merged[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [k, v] : env) {
        if (v.empty())
            merged.erase(k);
        else
            merged[k] = v;
    }
    std::vector<std::string> out;
    for (const auto& [k, v] : merged) out.push_back(k + "=" + v);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

int status_of(pid_t pid) {
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

}  // namespace

pid_t start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    std::vector<std::string> env_strings = environment(env), argv_copy = argv;
    std::vector<char*> envp = pointers(env_strings), args = pointers(argv_copy);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0)
        throw std::runtime_error("spawn " + argv[0]);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int finish(pid_t pid) { return status_of(pid); }

run_result run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& input) {
    std::vector<std::string> env_strings = environment(env), argv_copy = argv;
    std::vector<char*> envp = pointers(env_strings), args = pointers(argv_copy);

    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&fa, fd);
    pid_t pid;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0)
        throw std::runtime_error("spawn " + argv[0]);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
    }
    close(in[1]);

    run_result r;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    while (open_fds > 0) {
        poll(fds, 2, -1);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, n);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    r.status = status_of(pid);
    return r;
}

run_result tarnex(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    std::vector<std::string> argv{TARNEX_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, env);
}

scratch_dir::scratch_dir() {
    char tmpl[] = "/tmp/tarnex-test.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path = tmpl;
    chmod(path.c_str(), 0755);  // an unprivileged user must reach files in it
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

system_log::system_log(const std::string& dir) : path(dir + "/log"), fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind " + path);
}

system_log::~system_log() { close(fd); }

std::vector<std::string> system_log::logging(const std::vector<std::string>& argv) const {
    std::vector<std::string> wrapped = {"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c",
                                        "mount -t tmpfs none /dev && ln -s " + path + " /dev/log && exec \"$@\"", "sh"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

std::string system_log::next(int wait_ms) const {
    const timeval wait{wait_ms / 1000, wait_ms % 1000 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char line[4096];
    const ssize_t n = recv(fd, line, sizeof line, 0);
    return n > 0 ? std::string(line, static_cast<std::size_t>(n)) : "";
}
