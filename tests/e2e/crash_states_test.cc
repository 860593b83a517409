// What a kill or a power cut may leave of each write path, and what the
// program makes of it, in the manner of the file-system crash testers: each
// path's run is recorded with strace, its calls on the till's two directories
// are rebuilt as file operations, and after every prefix of them the states a
// crash may leave are put on disk and handed to the real program.
//
// What survives, by model:
//   kill   every completed call: the page cache outlives the process.
//   ext4   data=ordered.  Names, sizes and cuts are journaled: what survives
//          of them is a prefix, in order, at least up to the last commit (an
//          fsync, a directory's fsync, an fdatasync of a file whose size or
//          name changed).  A write inside a file's old size reaches the disk
//          sector by sector, each of 512 bytes on its own, unless the file
//          was synced since; bytes past the old size go with the size.
//   posix  anything not synced may be lost, any subset: a sector of a write,
//          a cut, a name.  A file's sync keeps its data and size, a
//          directory's sync its names.
//
// On each state: --verify, --history, --undo, the next writing run (one that
// sets a value to what it is) and the path rerun.  The register must hold
// each field old or new and nothing else, an interrupted change must be
// reported and then finished, the history must hold every change that
// reached the register, the undo must put back the register before the
// newest change that landed, the cash code file must name a desk the
// register held, and a rerun must converge.
#include "process.h"
#include "till_images.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <sstream>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using image = std::optional<std::string>;  // a file's bytes; nothing when absent
using files = std::map<std::string, std::string>;  // "data/cash.reg" -> bytes

constexpr std::size_t sector = 512;
const std::string reg_name = "data/cash.reg", journal_name = "data/cash.reg.journal", code_name = "conf/cashcode";

// ---------------------------------------------------------------- the paths

// A path: a till set up by `earlier` runs (and the cash desk's own write, when
// `desk_counts`), then one run recorded.  `keys`: the run is the editor,
// typed at; else `command` on the register.  `noop` sets a value every image
// of the path holds: a writing run that itself changes nothing.
struct write_path {
    const char* name;
    std::vector<std::string> command = {};
    image start = till::example();
    std::string cashcode = "3";
    // Two earlier changes: the next record crosses the journal's first sector.
    std::vector<std::vector<std::string>> earlier = {{"--setchecknum", "18"}, {"--setsum_back", "1.5"}};
    std::vector<std::string> noop = {"--settcount_back", "1"};
    std::string keys = "";
    bool desk_user = false, desk_counts = false;
};

std::string example_with(std::size_t offset, unsigned value) { return till::with_number(till::example(), offset, value); }

// The editor: the first entry (the cash code) erased and set to 6, then
// twelve entries down, "save and leave".
std::string repeated(const std::string& key, int n) {
    std::string keys;
    while (n-- > 0) keys += key;
    return keys;
}
const std::string set_desk_6_and_save = "\r" + repeated("\x7f", 16) + "6\r" + repeated("\x1bOB", 12) + "\r";

// The trading till's register with no current-shift return counted, as
// the blank one has none: a value a create leaves as it is.
const std::string no_shift_return = example_with(829, 0);

const write_path paths[] = {
    {.name = "one_field", .command = {"--setshift", "42"}},
    // cashcode at 5, count_sale at 550, tcount_sale at 821: one write across
    // the first sector boundary.
    {.name = "three_fields_across_sectors", .command = {"--setcashcode", "4", "--settcount_sale", "13", "--setcount_sale", "3051"}},
    {.name = "create_over_trading", .command = {"--create"}, .start = no_shift_return, .noop = {"--settcount_back", "0"}},
    {.name = "create_over_longer", .command = {"--create"}, .start = no_shift_return + std::string(104, 'x'),
     .noop = {"--settcount_back", "0"}},
    {.name = "undo", .command = {"--undo"}, .earlier = {{"--setcashcode", "5", "--setshift", "5"}}, .desk_counts = true},
    {.name = "redo", .command = {"--undo"}, .earlier = {{"--setcashcode", "5", "--setshift", "5"}, {"--undo"}},
     .desk_counts = true},
    {.name = "first_change_no_journal", .command = {"--setcashcode", "4"}, .earlier = {}},
    {.name = "editor_save", .keys = set_desk_6_and_save},
    {.name = "editor_new_register", .start = std::nullopt, .cashcode = "", .earlier = {}, .noop = {"--settcount_back", "0"},
     .keys = set_desk_6_and_save},
    // The cash desk's user owns the data directory, not the conf directory:
    // the cash code file is rewritten where it is, at its length: desk 12 to 15.
    {.name = "desk_user", .command = {"--setcashcode", "15"}, .start = example_with(5, 12), .cashcode = "12", .desk_user = true},
};

constexpr uid_t desk_uid = 65534;

// ---------------------------------------------------------------- a till

struct till_dir {
    std::string root;
    std::string data() const { return root + "/quelvaris/cash/data"; }
    std::string conf() const { return root + "/quelvaris/cash/conf"; }
    std::string reg() const { return data() + "/cash.reg"; }
    std::string path(const std::string& name) const { return root + "/quelvaris/cash/" + name; }
};

std::map<std::string, std::string> env_for(const till_dir& t) {
    // LeakSanitizer cannot run under a tracer.
    return {{"TARNEX_ROOT", t.root}, {"TZ", "UTC0"}, {"LC_ALL", "C"}, {"ASAN_OPTIONS", "exitcode=86:detect_leaks=0"}};
}

// The till's files as they are on disk.
files snapshot(const till_dir& t) {
    files out;
    for (const char* dir : {"data", "conf"})
        for (const auto& e : fs::directory_iterator(t.path(dir)))
            out[std::string(dir) + "/" + e.path().filename().string()] = read_file(e.path());
    return out;
}

// Puts `state` on disk as the till's files, owned as the path's run finds them.
void materialise(const till_dir& t, const files& state, bool desk_user) {
    fs::remove_all(t.root + "/quelvaris");
    fs::create_directories(t.data());
    fs::create_directories(t.conf());
    for (const auto& [name, bytes] : state) write_file(t.path(name), bytes);
    if (!desk_user) return;
    if (chown(t.data().c_str(), desk_uid, desk_uid) != 0) ADD_FAILURE() << "chown " << t.data();
    for (const auto& [name, bytes] : state)
        if (chown(t.path(name).c_str(), desk_uid, desk_uid) != 0) ADD_FAILURE() << "chown " << name;
}

// A program on a pseudo-terminal of 24 rows and 80 columns: `keys` are typed
// once it has painted its menu, then its output is read till it ends.
run_result on_terminal(const std::vector<std::string>& argv, const std::string& keys) {
    run_result r;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return r;
    const std::string slave = ptsname(master);
    const winsize size{24, 80, 0, 0};
    ioctl(master, TIOCSWINSZ, &size);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);  // the terminal becomes its controlling one
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, slave.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&fa, 0, 1);
    posix_spawn_file_actions_adddup2(&fa, 0, 2);
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (std::string& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        close(master);
        return r;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (bool typed = false;;) {
        pollfd p{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // the terminal closed: the program has ended
        r.out.append(buffer, static_cast<std::size_t>(n));
        if (!typed && r.out.find("сохранения") != std::string::npos) {
            typed = write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
        }
    }
    close(master);
    r.status = finish(pid);
    return r;
}

// The path's run, or a check's, as the path's user runs it, with `prefix`
// (strace) before the program.
run_result run_as(const write_path& p, const till_dir& t, const std::vector<std::string>& args,
                  const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    if (p.desk_user)
        for (std::string a : {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}) argv.push_back(a);
    if (args.empty()) {
        // The editor speaks UTF-8 here; its register is the till's own.
        for (std::string a : {"env", "-u", "LC_ALL", "TERM=xterm-256color", "LANG=C.UTF-8"}) argv.push_back(a);
        for (const auto& [k, v] : env_for(t)) if (k != "LC_ALL") argv.push_back(k + "=" + v);
        argv.push_back(TARNEX_BIN);
        return on_terminal(argv, p.keys);
    }
    argv.push_back(TARNEX_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(t.reg());
    return run(argv, env_for(t));
}

// ---------------------------------------------------------------- the record

enum class op_kind { create, write, cut, rename, link, unlink, sync, datasync, dirsync };

// One file operation on the till's directories.  Names are "data/x" or
// "conf/x"; a file is known by its number, whatever its names.
struct file_op {
    op_kind kind;
    int file = -1;
    std::string name{}, to{};  // create, unlink: name; rename, link: name -> to; dirsync: the directory
    std::size_t offset = 0, old_size = 0;  // write: where, and the file's size before it
    std::string bytes{};                   // write: what
    std::size_t length = 0;                // cut
};

struct tree {
    std::map<std::string, int> names;
    std::vector<std::string> contents;  // by file number
    files visible() const {
        files out;
        for (const auto& [name, file] : names) out[name] = contents[static_cast<std::size_t>(file)];
        return out;
    }
};

// Bytes [from, to) of a write, or the whole of any other operation.
void apply(tree& t, const file_op& op, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    switch (op.kind) {
    case op_kind::create: t.names[op.name] = op.file; break;
    case op_kind::write: {
        std::string& c = t.contents[static_cast<std::size_t>(op.file)];
        from = std::max(from, op.offset);
        to = std::min(to, op.offset + op.bytes.size());
        if (from >= to) break;
        if (c.size() < to) c.resize(to, '\0');
        c.replace(from, to - from, op.bytes, from - op.offset, to - from);
        break;
    }
    case op_kind::cut: t.contents[static_cast<std::size_t>(op.file)].resize(op.length, '\0'); break;
    case op_kind::rename:
        if (auto it = t.names.find(op.name); it != t.names.end() && it->second == op.file) t.names.erase(it);
        t.names[op.to] = op.file;
        break;
    case op_kind::link: t.names[op.to] = op.file; break;
    case op_kind::unlink:
        if (auto it = t.names.find(op.name); it != t.names.end() && it->second == op.file) t.names.erase(it);
        break;
    default: break;
    }
}

// strace -xx gives every string as \xHH escapes.
std::string unhex(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i + 3 < s.size() + 1 && s.substr(i, 2) == "\\x"; i += 4)
        out += static_cast<char>(std::stoi(std::string(s.substr(i + 2, 2)), nullptr, 16));
    return out;
}

struct syscall_line {
    int pid = 0;
    std::string name;
    std::vector<std::string> args;
    long long ret = -1;
    std::string ret_path;
};

// A string argument, or the path strace -y gives a descriptor: "3<\x2f...>".
std::string text_of(const std::string& arg) {
    if (arg.starts_with("\"")) return unhex(std::string_view(arg).substr(1, arg.size() - 2));
    const auto lt = arg.find('<');
    return lt == std::string::npos ? "" : unhex(std::string_view(arg).substr(lt + 1, arg.size() - lt - 2));
}
long long number_of(const std::string& arg) { return std::stoll(arg.substr(0, arg.find('<')), nullptr, 0); }

std::vector<syscall_line> parse_trace(const std::string& log) {
    std::vector<syscall_line> calls;
    std::map<int, std::string> unfinished;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::size_t at = 0;
        int pid = 0;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) pid = pid * 10 + (line[at++] - '0');
        while (at < line.size() && line[at] == ' ') ++at;
        line = line.substr(at);
        if (const auto u = line.find(" <unfinished ...>"); u != std::string::npos) {
            unfinished[pid] = line.substr(0, u);
            continue;
        }
        if (line.starts_with("<... ")) {
            const auto r = line.find(" resumed>");
            if (r == std::string::npos || !unfinished.count(pid)) continue;
            line = unfinished[pid] + line.substr(r + 9);
            unfinished.erase(pid);
        }
        const auto open = line.find('('), close = line.rfind(") = ");
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        syscall_line c;
        c.pid = pid;
        c.name = line.substr(0, open);
        const std::string args = line.substr(open + 1, close - open - 1);
        int depth = 0;
        std::string arg;
        for (std::size_t i = 0; i < args.size(); ++i) {
            const char ch = args[i];
            depth += (ch == '{' || ch == '[') - (ch == '}' || ch == ']');
            if (depth == 0 && ch == ',' && i + 1 < args.size() && args[i + 1] == ' ') {
                c.args.push_back(arg);
                arg.clear();
                ++i;
                continue;
            }
            arg += ch;
        }
        if (!arg.empty()) c.args.push_back(arg);
        const std::string ret = line.substr(close + 4);
        try {
            c.ret = std::stoll(ret, nullptr, 0);
        } catch (const std::exception&) {
            continue;
        }
        if (const auto lt = ret.find('<'); lt != std::string::npos && ret.back() == '>')
            c.ret_path = unhex(std::string_view(ret).substr(lt + 1, ret.size() - lt - 2));
        calls.push_back(std::move(c));
    }
    return calls;
}

// The calls of a traced run rebuilt as operations on `start`, which they
// extend with the files they create.  `unmodelled` collects any call on the
// till's files this model does not know.
std::vector<file_op> rebuild(const std::vector<syscall_line>& calls, const till_dir& t, tree& start,
                             std::vector<std::string>& unmodelled) {
    const std::string base = t.root + "/quelvaris/cash/";
    // "data/x" for a file in the till's directories, "data" for one of them.
    const auto local = [&](const std::string& path) -> std::string {
        if (!path.starts_with(base)) return "";
        const std::string rest = path.substr(base.size());
        const auto slash = rest.find('/');
        const std::string dir = rest.substr(0, slash);
        if (dir != "data" && dir != "conf") return "";
        if (slash == std::string::npos) return dir;
        return rest.find('/', slash + 1) == std::string::npos ? rest : "";
    };
    const auto resolve = [&](const std::string& dirfd, const std::string& name) {
        return local(name.starts_with("/") ? name : text_of(dirfd) + "/" + name);
    };
    struct open_file {
        int file = -1;  // -1: a directory
        std::string dir;
        std::size_t position = 0;
        bool append = false;
    };
    std::map<std::pair<int, long long>, open_file> fds;
    tree now = start;  // as the calls leave it: where names lead
    std::vector<file_op> ops;
    const auto add = [&](file_op op) {
        if (op.kind == op_kind::write) op.old_size = now.contents[static_cast<std::size_t>(op.file)].size();
        apply(now, op);
        ops.push_back(std::move(op));
    };
    const auto fd_of = [&](const syscall_line& c) -> open_file* {
        auto it = fds.find({c.pid, number_of(c.args[0])});
        return it == fds.end() ? nullptr : &it->second;
    };
    for (const syscall_line& c : calls) {
        if (c.ret < 0) continue;
        const std::string& n = c.name;
        if (n == "openat" || n == "open" || n == "creat") {
            const std::string name = local(c.ret_path);
            if (name.empty()) continue;
            const long long flags = n == "creat" ? O_CREAT | O_WRONLY | O_TRUNC : number_of(c.args[n == "openat" ? 2 : 1]);
            open_file f;
            if (name == "data" || name == "conf") {
                f.dir = name;
            } else {
                if (!now.names.count(name)) {
                    start.contents.emplace_back();
                    now.contents.emplace_back();
                    add({op_kind::create, static_cast<int>(now.contents.size() - 1), name});
                } else if (flags & O_TRUNC) {
                    add({op_kind::cut, now.names[name], name, "", 0, 0, "", 0});
                }
                f.file = now.names[name];
                f.append = flags & O_APPEND;
            }
            fds[{c.pid, c.ret}] = f;
        } else if (n == "close") {
            fds.erase({c.pid, number_of(c.args[0])});
        } else if (n == "read" || n == "readv") {
            if (open_file* f = fd_of(c)) f->position += static_cast<std::size_t>(c.ret);
        } else if (n == "lseek") {
            if (open_file* f = fd_of(c)) f->position = static_cast<std::size_t>(c.ret);
        } else if (n == "write" || n == "pwrite64") {
            open_file* f = fd_of(c);
            if (!f || f->file < 0) continue;
            const std::string bytes = text_of(c.args[1]).substr(0, static_cast<std::size_t>(c.ret));
            std::size_t at = n == "pwrite64"  ? static_cast<std::size_t>(number_of(c.args[3]))
                             : f->append ? now.contents[static_cast<std::size_t>(f->file)].size()
                                         : f->position;
            if (n == "write") f->position = at + bytes.size();
            add({op_kind::write, f->file, "", "", at, 0, bytes});
        } else if (n == "ftruncate") {
            if (open_file* f = fd_of(c); f && f->file >= 0)
                add({op_kind::cut, f->file, "", "", 0, 0, "", static_cast<std::size_t>(number_of(c.args[1]))});
        } else if (n == "fsync" || n == "fdatasync") {
            open_file* f = fd_of(c);
            if (!f) continue;
            if (f->file < 0)
                add({op_kind::dirsync, -1, f->dir});
            else
                add({n == "fsync" ? op_kind::sync : op_kind::datasync, f->file});
        } else if (n == "renameat" || n == "renameat2" || n == "rename" || n == "linkat" || n == "link") {
            const bool at = n.ends_with("at") || n == "renameat2";
            const std::string from = at ? resolve(c.args[0], text_of(c.args[1])) : local(text_of(c.args[0]));
            const std::string to = at ? resolve(c.args[2], text_of(c.args[3])) : local(text_of(c.args[1]));
            if (from.empty() && to.empty()) continue;
            if (from.empty() || to.empty() || !now.names.count(from)) {
                unmodelled.push_back(n + " " + from + " -> " + to);
                continue;
            }
            add({n.starts_with("rename") ? op_kind::rename : op_kind::link, now.names[from], from, to});
        } else if (n == "unlinkat" || n == "unlink") {
            const std::string name = n == "unlinkat" ? resolve(c.args[0], text_of(c.args[1])) : local(text_of(c.args[0]));
            if (!name.empty() && now.names.count(name)) add({op_kind::unlink, now.names[name], name});
        } else if (n == "writev" || n == "pwritev" || n == "pwritev2" || n == "fallocate" || n == "truncate" ||
                   n == "copy_file_range" || n == "sendfile" || n == "symlinkat" || n == "mkdirat" || n == "mknodat") {
            for (const std::string& a : c.args)
                if (!local(text_of(a)).empty()) unmodelled.push_back(n);
        }
    }
    return ops;
}

// ---------------------------------------------------------------- crash states

// A part of an operation that reaches the disk or not: a sector of a write,
// the part of a write past the file's old size, or the whole of any other.
struct unit {
    std::size_t op;
    std::size_t from = 0, to = SIZE_MAX;
    bool metadata = false;  // ext4: journaled, kept in order
};

struct crash_model {
    const char* name;
    bool ordered_metadata;  // ext4; else any subset (strict POSIX)
};
const crash_model models[] = {{"kill", false}, {"ext4", true}, {"posix", false}};

std::string dir_of(const std::string& name) { return name.substr(0, name.find('/')); }

// The units of ops[0, k) that a power cut may lose, and those it may not.
void units_at(const std::vector<file_op>& ops, std::size_t k, bool ext4, std::vector<unit>& free_units,
              std::vector<unit>& kept) {
    // ext4: the last journal commit before k.
    std::size_t commit = 0;
    std::set<int> pending;
    for (std::size_t j = 0; j < k; ++j) {
        const file_op& op = ops[j];
        if (op.kind == op_kind::sync || op.kind == op_kind::dirsync ||
            (op.kind == op_kind::datasync && pending.count(op.file))) {
            commit = j;
            pending.clear();
        } else if (op.kind == op_kind::create || op.kind == op_kind::cut || op.kind == op_kind::rename ||
                   op.kind == op_kind::link || (op.kind == op_kind::write && op.offset + op.bytes.size() > op.old_size)) {
            pending.insert(op.file);
        }
    }
    const auto synced_after = [&](std::size_t i, const file_op& op, bool name_op) {
        for (std::size_t j = i + 1; j < k; ++j) {
            const file_op& s = ops[j];
            if (name_op ? s.kind == op_kind::dirsync && s.name == dir_of(op.kind == op_kind::unlink ? op.name : op.to.empty() ? op.name : op.to)
                        : (s.kind == op_kind::sync || s.kind == op_kind::datasync) && s.file == op.file)
                return true;
        }
        return false;
    };
    for (std::size_t i = 0; i < k; ++i) {
        const file_op& op = ops[i];
        if (op.kind == op_kind::sync || op.kind == op_kind::datasync || op.kind == op_kind::dirsync) continue;
        const bool name_op = op.kind == op_kind::create || op.kind == op_kind::rename || op.kind == op_kind::link ||
                             op.kind == op_kind::unlink;
        std::vector<unit> parts;
        if (op.kind != op_kind::write) {
            parts.push_back({i, 0, SIZE_MAX, ext4});
        } else {
            const std::size_t end = op.offset + op.bytes.size();
            const std::size_t inside = ext4 ? std::min(end, std::max(op.offset, op.old_size)) : end;
            for (std::size_t at = op.offset; at < inside; at = (at / sector + 1) * sector)
                parts.push_back({i, at, std::min(inside, (at / sector + 1) * sector), false});
            if (inside < end) parts.push_back({i, inside, end, true});
        }
        for (const unit& u : parts) {
            const bool forced = u.metadata ? i < commit || synced_after(i, op, name_op)
                                           : synced_after(i, op, name_op);
            (forced ? kept : free_units).push_back(u);
        }
    }
}

// Every state a crash after ops[0, k) may leave under the model, at most
// about `cap` of them: all when so few, else a deterministic sample with
// both ends.
std::vector<files> crash_states(const tree& start, const std::vector<file_op>& ops, std::size_t k, const crash_model& m,
                                std::size_t cap, std::mt19937& random) {
    const auto build = [&](const std::vector<unit>& units) {
        std::vector<unit> sorted = units;
        std::stable_sort(sorted.begin(), sorted.end(), [](const unit& a, const unit& b) { return a.op < b.op; });
        tree t = start;
        for (const unit& u : sorted) apply(t, ops[u.op], u.from, u.to);
        return t.visible();
    };
    if (std::string_view(m.name) == "kill") {
        std::vector<unit> all;
        for (std::size_t i = 0; i < k; ++i) all.push_back({i});
        return {build(all)};
    }
    std::vector<unit> free_units, kept;
    units_at(ops, k, m.ordered_metadata, free_units, kept);
    // ext4: the free metadata is kept as a prefix; the rest on its own.
    std::vector<unit> metadata, data;
    for (const unit& u : free_units) (u.metadata ? metadata : data).push_back(u);
    const std::size_t prefixes = m.ordered_metadata ? metadata.size() + 1 : 1;
    std::vector<unit> independent = data;
    if (!m.ordered_metadata) independent.insert(independent.end(), metadata.begin(), metadata.end());
    const std::size_t bits = independent.size();
    const bool all = bits < 20 && (prefixes << bits) <= cap;
    const std::size_t count = all ? prefixes << bits : cap;
    std::vector<files> states;
    for (std::size_t n = 0; n < count; ++n) {
        std::size_t prefix = 0;
        std::uint64_t mask = 0;
        if (all) {
            prefix = n >> bits;
            mask = n & ((std::uint64_t{1} << bits) - 1);
        } else if (n < 2) {
            prefix = n ? prefixes - 1 : 0;
            mask = n ? ~std::uint64_t{0} : 0;
        } else {
            prefix = random() % prefixes;
            for (std::size_t b = 0; b < bits && b < 64; ++b) mask |= std::uint64_t{random() & 1u} << b;
        }
        std::vector<unit> chosen = kept;
        for (std::size_t i = 0; m.ordered_metadata && i < prefix; ++i) chosen.push_back(metadata[i]);
        for (std::size_t b = 0; b < bits; ++b)
            if (b >= 64 ? random() & 1u : (mask >> b) & 1u) chosen.push_back(independent[b]);
        states.push_back(build(chosen));
    }
    return states;
}

// ---------------------------------------------------------------- the checks

// What the recorded run did, to judge a state by.
struct recording {
    std::vector<image> chain;           // the register before each change, and after the last
    std::set<std::string> desks;        // what the cash code file may hold ("" absent)
    std::vector<std::string> history;   // the final --history --json, newest first
    std::size_t earlier_records = 0;    // lines of it from before the run
    run_result undo_before;             // --undo on the till before the run
    image undone_before;                // and what it left
    std::vector<std::string> verified;  // --verify on each image of the chain, the cash code file agreeing
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string desk_of(const image& reg) {
    if (!reg) return "";
    const unsigned stored = static_cast<unsigned char>((*reg)[5]) | static_cast<unsigned char>((*reg)[6]) << 8;
    return std::to_string(stored ? stored : 1);
}

image find(const files& f, const std::string& name) {
    const auto it = f.find(name);
    return it == f.end() ? image{} : image{it->second};
}

// A register undone back to no register reads as the zeros of one.
// No register and one that holds no value are the same to an undo, which
// never cuts: undoing the create of a new register zeroes its fields.
bool same_register(const image& a, const image& b) {
    const auto empty = [](const image& i) {
        if (!i || i->find_first_not_of('\0') == std::string::npos) return true;
        for (const till::span& f : till::fields)
            if (i->substr(f.offset, f.width).find_first_not_of('\0') != std::string::npos) return false;
        return true;
    };
    return a == b || (empty(a) && empty(b));
}

// Whether `got` is `from` on its way to `to`: each field whole from one of
// them, each other byte and the length from either.
bool between(const std::string& got, const std::string& from, const std::string& to) {
    if (got.size() != from.size() && got.size() != to.size()) return false;
    const auto at = [](const std::string& s, std::size_t i) { return i < s.size() ? s[i] : '\0'; };
    for (std::size_t i = 0; i < got.size(); ++i)
        if (got[i] != at(from, i) && got[i] != at(to, i)) return false;
    for (const till::span& f : till::fields) {
        const std::string g = got.substr(f.offset, f.width);
        if (g != from.substr(f.offset, f.width) && g != to.substr(f.offset, f.width)) return false;
    }
    return true;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// Everything wrong with what the program makes of `state`; empty when sound.
// `lagging_code`: only whether --verify sees a cash code file that names
// another desk than the whole register beside it.
std::vector<std::string> judge(const write_path& p, const recording& rec, const till_dir& t, const files& state,
                               bool lagging_code) {
    std::vector<std::string> wrong;
    const auto expect = [&](bool ok, const std::string& what) {
        if (!ok) wrong.push_back(what);
        return ok;
    };
    const image reg = find(state, reg_name);
    // Where the register stands on the chain: at change e, or between e - 1
    // and e when `torn`.
    std::size_t e = 0;
    bool torn = false, placed = false;
    for (std::size_t i = 0; i < rec.chain.size() && !placed; ++i)
        if (rec.chain[i] == reg) e = i, placed = true;
    for (std::size_t i = 0; i + 1 < rec.chain.size() && !placed; ++i)
        if (reg && rec.chain[i] && rec.chain[i + 1] && between(*reg, *rec.chain[i], *rec.chain[i + 1]))
            e = i + 1, placed = torn = true;
    if (!expect(placed, "the register holds an image no change made (a field torn, or a byte outside the change)"))
        return wrong;
    const std::string code = state.count(code_name) ? state.at(code_name) : "";
    expect(rec.desks.count(code), "the cash code file names '" + code + "', a desk the register never held");
    const image& landed = rec.chain[e];
    if (lagging_code) {
        wrong.clear();
        if (reg && !torn && !code.empty() && code != desk_of(landed)) {
            materialise(t, state, p.desk_user);
            expect(run_as(p, t, {"--verify"}).status == 1, "--verify says ok while the cash code file names desk " + code +
                                                               " and the register desk " + desk_of(landed));
        }
        return wrong;
    }
    const std::string change = std::to_string(rec.earlier_records + e);
    // A change made where no register was is made before its record.
    const bool recorded_late = e >= 1 && !rec.chain[e - 1];

    materialise(t, state, p.desk_user);
    run_result r = run_as(p, t, {"--verify"});
    expect(r.status == 0 || r.status == 1, "--verify ended with status " + std::to_string(r.status));
    if (torn)
        expect(r.status == 1 && r.out.find("interrupted change " + change + ":") != std::string::npos,
               "--verify does not report the interrupted change " + change + ": '" + first_line(r.out) + "'");
    else
        expect(r.out.find("interrupted") == std::string::npos, "--verify reports a whole register as interrupted");

    r = run_as(p, t, {"--history", "--json"});
    const std::vector<std::string> shown = lines_of(r.out);
    // The newest records may be missing, never an older one, and every change
    // that reached the register is there.
    const bool suffix = r.status == 0 && shown.size() >= rec.earlier_records && shown.size() <= rec.history.size() &&
                        std::equal(shown.begin(), shown.end(), rec.history.end() - static_cast<std::ptrdiff_t>(shown.size()));
    const std::size_t recorded = suffix ? shown.size() - rec.earlier_records : 0;
    expect(suffix, "--history shows what no run recorded, or lost an older change: '" + first_line(r.out) + r.err + "'");
    expect(!suffix || recorded >= e || recorded_late,
           "change " + change + " reached the register but --history does not show it");

    r = run_as(p, t, {"--undo"});
    const image undone = find(snapshot(t), reg_name);
    if (e == 0) {
        expect(r.status == rec.undo_before.status && (r.status != 0 || same_register(undone, rec.undone_before)),
               "--undo of a change that never landed does not undo the one before it: status " +
                   std::to_string(r.status) + " " + first_line(r.err));
    } else if (recorded < e && recorded_late) {
        expect(r.status == 1 || same_register(undone, rec.chain[e - 1]), "--undo of an unrecorded create wrote a register");
    } else {
        expect(r.status == 0 && same_register(undone, rec.chain[e - 1]),
               "--undo does not put back the register before change " + change + ": status " +
                   std::to_string(r.status) + " " + first_line(r.err));
    }
    if (r.status != 0)
        expect(r.err.starts_with("Error: ") && r.err.find('\n') == r.err.size() - 1 &&
                   (undone == reg || undone == landed),
               "a refused --undo harmed the register or said more than one error: " + r.err);

    // The next writing run finishes what was interrupted, marks what never
    // landed, and brings the cash code file into line.
    materialise(t, state, p.desk_user);
    r = run_as(p, t, p.noop);
    if (!reg) {
        expect(r.status == 1, "a writing run on no register did not fail");
    } else {
        const files after = snapshot(t);
        expect(r.status == 0, "the next writing run failed: " + first_line(r.err));
        expect(find(after, reg_name) == landed, torn ? "the next writing run did not finish the interrupted change"
                                                     : "the next writing run changed a whole register");
        expect(torn == (r.err.find("Warning: finished an interrupted change " + change + " ") != std::string::npos),
               torn ? "the next writing run does not say it finished change " + change
                    : "the next writing run says it finished a change: " + first_line(r.err));
        expect(find(after, code_name) == desk_of(landed), "after the next writing run the cash code file names '" +
                                                              find(after, code_name).value_or("") + "', the register desk " +
                                                              desk_of(landed));
        r = run_as(p, t, {"--history", "--json"});
        std::vector<std::string> want(rec.history.end() - static_cast<std::ptrdiff_t>(rec.earlier_records + e),
                                      rec.history.end());
        if (recorded > e) {
            std::string marked = rec.history[rec.history.size() - rec.earlier_records - e - 1];
            if (const auto made = marked.find("\"made\": true"); made != std::string::npos)
                marked.replace(made, 12, "\"made\": false");
            want.insert(want.begin(), marked);
        }
        expect(lines_of(r.out) == want || (recorded_late && recorded < e),
               "after the next writing run --history does not tell what landed: '" + first_line(r.out) + "'");
        r = run_as(p, t, {"--verify"});
        expect(r.out == rec.verified[e], "after the next writing run --verify says '" + first_line(r.out) + "'");
    }

    // A rerun converges on the register the path meant (an undo rerun is the
    // undo above).
    if (p.command != std::vector<std::string>{"--undo"}) {
        materialise(t, state, p.desk_user);
        r = run_as(p, t, p.command);
        const files after = snapshot(t);
        expect(r.status == 0 && find(after, reg_name) == rec.chain.back() &&
                   find(after, code_name) == desk_of(rec.chain.back()),
               "a rerun does not converge: status " + std::to_string(r.status) + " " + first_line(r.err));
    }
    return wrong;
}

// ---------------------------------------------------------------- the test

class CrashStates : public ::testing::TestWithParam<std::size_t> {
protected:
    scratch_dir scratch;
    till_dir recorded, checked;
    recording rec;
    tree start;
    std::vector<file_op> ops;
    std::mt19937 random{static_cast<unsigned>(GetParam()) * 7919u + 1u};

    void SetUp() override {
        if (run({"strace", "-o", "/dev/null", "true"}).status != 0) GTEST_SKIP() << "strace cannot trace here";
        if (paths[GetParam()].desk_user && geteuid() != 0) GTEST_SKIP() << "needs root to run as the desk's user";
        // strace -y names files by their real path.
        char real[PATH_MAX];
        ASSERT_NE(realpath(scratch.path.c_str(), real), nullptr);
        recorded.root = std::string(real) + "/recorded";
        checked.root = std::string(real) + "/checked";
        fs::create_directories(checked.root);
        chmod(real, 0755);
    }

    // Runs the path once under strace and rebuilds what it did.
    void record() {
        const write_path& p = paths[GetParam()];
        files initial;
        if (p.start) initial[reg_name] = *p.start;
        if (!p.cashcode.empty()) initial[code_name] = p.cashcode;
        materialise(recorded, initial, p.desk_user);
        for (const std::vector<std::string>& args : p.earlier) ASSERT_EQ(run_as(p, recorded, args).status, 0) << args[0];
        if (p.desk_counts) {
            // The cash desk counts a return after the earlier change.
            write_file(recorded.reg(), till::with_number(read_file(recorded.reg()), 558, 99));
        }
        const files before = snapshot(recorded);
        rec.earlier_records = lines_of(run_as(p, recorded, {"--history", "--json"}).out).size();
        materialise(checked, before, p.desk_user);
        rec.undo_before = run_as(p, checked, {"--undo"});
        rec.undone_before = find(snapshot(checked), reg_name);
        materialise(recorded, before, p.desk_user);

        const std::string log = scratch / "trace";
        const run_result traced = run_as(p, recorded, p.command,
                                         {"strace", "-f", "-y", "-X", "raw", "-xx", "-s", "1000000", "-e",
                                          "trace=file,desc,fsync,fdatasync", "-o", log});
        ASSERT_EQ(traced.status, 0) << traced.err;
        const files after = snapshot(recorded);
        rec.history = lines_of(run_as(p, recorded, {"--history", "--json"}).out);

        for (const auto& [name, bytes] : before) {
            start.names[name] = static_cast<int>(start.contents.size());
            start.contents.push_back(bytes);
        }
        std::vector<std::string> unmodelled;
        ops = rebuild(parse_trace(read_file(log)), recorded, start, unmodelled);
        EXPECT_EQ(unmodelled, std::vector<std::string>{}) << "calls on the till's files this test does not model";
        // The model replays the run to what it left on disk.
        ASSERT_EQ(crash_states(start, ops, ops.size(), models[0], 1, random).front(), after);

        // The register before each change (each starts with its record), and
        // after the last; the desks the cash code file may name.
        {
            tree t = start;
            const auto push = [&](const image& i) {
                if (rec.chain.empty() || rec.chain.back() != i) rec.chain.push_back(i);
            };
            push(find(t.visible(), reg_name));
            for (const file_op& op : ops) {
                if ((op.kind == op_kind::write && t.names.count(journal_name) && t.names.at(journal_name) == op.file) ||
                    (op.kind == op_kind::rename && op.to == journal_name))
                    push(find(t.visible(), reg_name));
                apply(t, op);
            }
            push(find(after, reg_name));
        }
        ASSERT_GE(rec.chain.size(), 2u) << "the run changed no register";
        for (const image& i : rec.chain) {
            files whole = {{code_name, desk_of(i)}};
            if (i) whole[reg_name] = *i;
            materialise(checked, whole, p.desk_user);
            rec.verified.push_back(run_as(p, checked, {"--verify"}).out);
        }
        rec.desks = {find(before, code_name).value_or(""), find(after, code_name).value_or("")};
        for (const image& i : rec.chain) if (i) rec.desks.insert(desk_of(i));
    }

    // Judges every state of every model, and gives the figures.
    void explore(bool lagging_code) {
        const write_path& p = paths[GetParam()];
        const char* what = lagging_code ? " (cash code file)" : "";
        // Every state where a prefix leaves at most this many; the sanitizer
        // build, several times slower a run, samples more sparsely.
#ifdef TARNEX_SAMPLE_EVERY
        const std::size_t cap = 64;
#else
        const std::size_t cap = 512;
#endif
        std::map<std::string, std::vector<std::string>> verdicts;  // by state, across the models
        const auto started = std::chrono::steady_clock::now();
        for (const crash_model& m : models) {
            std::set<std::string> seen;
            std::size_t explored = 0, violations = 0;
            std::map<std::string, std::pair<std::size_t, std::string>> kinds;  // a wrong thing: how often, and where first
            for (std::size_t k = 0; k <= ops.size(); ++k) {
                for (const files& state : crash_states(start, ops, k, m, cap, random)) {
                    std::string key;
                    for (const auto& [name, bytes] : state) key += name + '\0' + std::to_string(bytes.size()) + '\0' + bytes;
                    if (!seen.insert(key).second) continue;
                    ++explored;
                    auto v = verdicts.find(key);
                    if (v == verdicts.end()) v = verdicts.emplace(key, judge(p, rec, checked, state, lagging_code)).first;
                    violations += !v->second.empty();
                    for (const std::string& wrong : v->second) {
                        auto& [count, where] = kinds[wrong.substr(0, wrong.find_first_of(":'0123456789"))];
                        if (count++ > 0) continue;
                        where = "after operation " + std::to_string(k) + " of " + std::to_string(ops.size()) + ", files";
                        for (const auto& [name, bytes] : state) where += " " + name + "(" + std::to_string(bytes.size()) + ")";
                        where += ": " + wrong;
                    }
                }
            }
            for (const auto& [kind, seen_as] : kinds)
                ADD_FAILURE() << p.name << " " << m.name << what << ", " << seen_as.first << " states: " << seen_as.second;
            std::printf("[ figures  ] %s %s%s: %zu states explored, %zu violations\n", p.name, m.name, what, explored, violations);
        }
        std::printf("[ figures  ] %s: %zu operations, %zu distinct states, %.1f s\n", p.name, ops.size(), verdicts.size(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
};

TEST_P(CrashStates, EveryStateAKillOrAPowerCutLeavesIsSound) {
    record();
    if (!HasFatalFailure()) explore(false);
}

// A register whole at one desk beside a cash code file naming another (the
// crash fell between the two) is a finding of --verify.
TEST_P(CrashStates, VerifySeesACashCodeFileThatLagsTheRegister) {
    record();
    if (!HasFatalFailure()) explore(true);
}

std::string path_name(const ::testing::TestParamInfo<std::size_t>& info) { return paths[info.param].name; }

INSTANTIATE_TEST_SUITE_P(WritePath, CrashStates, ::testing::Range<std::size_t>(0, std::size(paths)), path_name);

}  // namespace
