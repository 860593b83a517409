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
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
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

namespace {

namespace fs = std::filesystem;
using image = std::optional<std::string>;          // a file's bytes; nothing when absent
using files = std::map<std::string, std::string>;  // "data/cash.reg" -> bytes
using args_t = std::vector<std::string>;

constexpr std::size_t sector = 512;
constexpr uid_t desk_uid = 65534;
const std::string reg_name = "data/cash.reg", journal_name = "data/cash.reg.journal", code_name = "conf/cashcode";
// Every state where a prefix leaves at most this many; the sanitizer build,
// several times slower a run, samples more sparsely.
#ifdef TARNEX_SAMPLE_EVERY
constexpr std::size_t cap = 64;
#else
constexpr std::size_t cap = 512;
#endif

// A path: a till set up by `earlier` runs (and the cash desk's own write, when
// `desk_counts`), then one run recorded: the editor typed `keys` when given,
// else `command` on the register.  `noop` sets a value every image of the
// path holds: a writing run that itself changes nothing.
struct write_path {
    const char* name;
    args_t command = {};
    image start = till::example();
    std::string cashcode = "3";
    // Two earlier changes: the next record crosses the journal's first sector.
    std::vector<args_t> earlier = {{"--setchecknum", "18"}, {"--setsum_back", "1.5"}};
    args_t noop = {"--settcount_back", "1"};
    std::string keys = "";
    bool desk_user = false, desk_counts = false;
};

std::string repeated(const std::string& key, int n) { return n > 0 ? key + repeated(key, n - 1) : ""; }
// The editor: the first entry (the cash code) erased and set to 6, then
// twelve entries down, "save and leave".
const std::string set_desk_6_and_save = "\r" + repeated("\x7f", 16) + "6\r" + repeated("\x1bOB", 12) + "\r";
// The trading till's register with no current-shift return counted, as
// the blank one has none: a value a create leaves as it is.
const std::string no_shift_return = till::with_number(till::example(), 829, 0);
const args_t zero_back = {"--settcount_back", "0"}, desk_5 = {"--setcashcode", "5", "--setshift", "5"};

const write_path paths[] = {
    {.name = "one_field", .command = {"--setshift", "42"}},
    // cashcode at 5, count_sale at 550, tcount_sale at 821: one write across
    // the first sector boundary.
    {.name = "three_fields_across_sectors", .command = {"--setcashcode", "4", "--settcount_sale", "13", "--setcount_sale", "3051"}},
    {.name = "create_over_trading", .command = {"--create"}, .start = no_shift_return, .noop = zero_back},
    {.name = "create_over_longer", .command = {"--create"}, .start = no_shift_return + std::string(104, 'x'), .noop = zero_back},
    {.name = "undo", .command = {"--undo"}, .earlier = {desk_5}, .desk_counts = true},
    {.name = "redo", .command = {"--undo"}, .earlier = {desk_5, {"--undo"}}, .desk_counts = true},
    {.name = "first_change_no_journal", .command = {"--setcashcode", "4"}, .earlier = {}},
    {.name = "editor_save", .keys = set_desk_6_and_save},
    {.name = "editor_new_register", .start = std::nullopt, .cashcode = "", .earlier = {}, .noop = zero_back,
     .keys = set_desk_6_and_save},
    // The cash desk's user owns the data directory, not the conf directory:
    // the cash code file is rewritten where it is, at its length: desk 12 to 15.
    {.name = "desk_user", .command = {"--setcashcode", "15"}, .start = till::with_number(till::example(), 5, 12),
     .cashcode = "12", .desk_user = true},
};

// ---------------------------------------------------------------- a till

struct till_dir { std::string root; std::string path(const std::string& name = "") const { return root + "/quelvaris/cash/" + name; } };

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
    fs::create_directories(t.path("data"));
    fs::create_directories(t.path("conf"));
    args_t owned = {"data"};
    for (const auto& [name, bytes] : state) write_file(t.path(name), bytes), owned.push_back(name);
    for (const std::string& name : owned)
        if (desk_user && chown(t.path(name).c_str(), desk_uid, desk_uid) != 0) ADD_FAILURE() << "chown " << name;
}

// A program on a pseudo-terminal of 24 rows and 80 columns, its controlling
// one: `keys` are typed once it has painted its menu, then its output is read
// till it ends.
run_result on_terminal(args_t argv, const std::string& keys) {
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    winsize size{24, 80, 0, 0};
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    run_result r;
    if (pid < 0) return r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (bool typed = false;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // the terminal closed: the program has ended
        r.out.append(buffer, static_cast<std::size_t>(n));
        if (!typed && r.out.find("сохранения") != std::string::npos)
            typed = write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }
    close(master);
    r.status = finish(pid);
    return r;
}

// The path's run (no `args`: the editor), or a check's, as the path's user
// runs it, with `argv` (strace) before the program.
run_result run_as(const write_path& p, const till_dir& t, const args_t& args, args_t argv = {}) {
    if (p.desk_user) argv.insert(argv.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    // LeakSanitizer cannot run under a tracer.
    std::map<std::string, std::string> env = {
        {"TARNEX_ROOT", t.root}, {"TZ", "UTC0"}, {"ASAN_OPTIONS", "exitcode=86:detect_leaks=0"}};
    if (args.empty()) {
        // The editor speaks UTF-8 here; its register is the till's own.
        argv.insert(argv.end(), {"env", "-u", "LC_ALL", "TERM=xterm-256color", "LANG=C.UTF-8"});
        for (const auto& [k, v] : env) argv.push_back(k + "=" + v);
        argv.push_back(TARNEX_BIN);
        return on_terminal(argv, p.keys);
    }
    argv.push_back(TARNEX_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(t.path(reg_name));
    env["LC_ALL"] = "C";
    return run(argv, env);
}

// ---------------------------------------------------------------- the record

enum class op_kind { create, write, cut, rename, link, unlink, sync, datasync, dirsync };
bool is_sync(op_kind k) { return k == op_kind::sync || k == op_kind::datasync || k == op_kind::dirsync; }
bool is_name(op_kind k) { return k == op_kind::create || k == op_kind::rename || k == op_kind::link || k == op_kind::unlink; }

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
        for (const auto& [name, file] : names) out[name] = contents[file];
        return out;
    }
};

// Bytes [from, to) of a write, or the whole of any other operation.
void apply(tree& t, const file_op& op, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    const auto drop = [&] {
        if (auto it = t.names.find(op.name); it != t.names.end() && it->second == op.file) t.names.erase(it);
    };
    switch (op.kind) {
    case op_kind::create: t.names[op.name] = op.file; break;
    case op_kind::write: {
        std::string& c = t.contents[op.file];
        from = std::max(from, op.offset);
        to = std::min(to, op.offset + op.bytes.size());
        if (from >= to) break;
        if (c.size() < to) c.resize(to, '\0');
        c.replace(from, to - from, op.bytes, from - op.offset, to - from);
        break;
    }
    case op_kind::cut: t.contents[op.file].resize(op.length, '\0'); break;
    case op_kind::rename: drop(); [[fallthrough]];
    case op_kind::link: t.names[op.to] = op.file; break;
    case op_kind::unlink: drop(); break;
    default: break;
    }
}

struct syscall_line { int pid = 0; std::string name; args_t args; long long ret = -1; std::string ret_path; };

// A string argument, or the path strace -y gives a descriptor: "3<\x2f...>";
// strace -xx gives every string as \xHH escapes.
std::string text_of(const std::string& arg) {
    const auto lt = arg.starts_with("\"") ? 0 : arg.find('<');
    if (lt == std::string::npos) return "";
    std::string out;
    for (std::size_t i = lt + 1; i + 4 <= arg.size() - 1 && arg.compare(i, 2, "\\x") == 0; i += 4)
        out += static_cast<char>(std::stoi(arg.substr(i + 2, 2), nullptr, 16));
    return out;
}
long long number_of(const std::string& arg) { return std::stoll(arg.substr(0, arg.find('<')), nullptr, 0); }

std::vector<syscall_line> parse_trace(const std::string& log) {
    std::vector<syscall_line> calls;
    std::map<int, std::string> unfinished;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        syscall_line c;
        std::size_t at = 0;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) c.pid = c.pid * 10 + (line[at++] - '0');
        line.erase(0, line.find_first_not_of(' ', at));
        if (const auto u = line.find(" <unfinished ...>"); u != std::string::npos) {
            unfinished[c.pid] = line.substr(0, u);
            continue;
        }
        if (line.starts_with("<... ")) {
            const auto r = line.find(" resumed>");
            if (r == std::string::npos || !unfinished.count(c.pid)) continue;
            line = unfinished[c.pid] + line.substr(r + 9);
            unfinished.erase(c.pid);
        }
        const auto open = line.find('('), close = line.rfind(") = ");
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        c.name = line.substr(0, open);
        int depth = 0;
        std::string arg;
        for (std::size_t i = open + 1; i < close; ++i) {
            depth += (line[i] == '{' || line[i] == '[') - (line[i] == '}' || line[i] == ']');
            if (depth == 0 && line.compare(i, 2, ", ") == 0)
                c.args.push_back(std::exchange(arg, "")), ++i;
            else
                arg += line[i];
        }
        if (!arg.empty()) c.args.push_back(arg);
        const std::string ret = line.substr(close + 4);
        try {
            c.ret = std::stoll(ret, nullptr, 0);
        } catch (const std::exception&) {
            continue;
        }
        if (ret.find('<') != std::string::npos && ret.back() == '>') c.ret_path = text_of(ret);
        calls.push_back(std::move(c));
    }
    return calls;
}

// The calls of a traced run rebuilt as operations on `start`, which they
// extend with the files they create.  `unmodelled` collects any call on the
// till's files this model does not know.
std::vector<file_op> rebuild(const std::vector<syscall_line>& calls, const till_dir& t, tree& start, args_t& unmodelled) {
    // "data/x" for a file in the till's directories, "data" for one of them.
    const auto local = [base = t.path()](const std::string& path) -> std::string {
        if (!path.starts_with(base)) return "";
        const std::string rest = path.substr(base.size()), dir = rest.substr(0, rest.find('/'));
        return (dir == "data" || dir == "conf") && rest.find('/', dir.size() + 1) == std::string::npos ? rest : "";
    };
    // The path at args[i], or for a call on a directory's descriptor at args[0] and args[i + 1].
    const auto named = [&](const syscall_line& c, std::size_t i) {
        if (!c.name.ends_with("at") && c.name != "renameat2") return local(text_of(c.args[i]));
        const std::string name = text_of(c.args[i + 1]);
        return local(name.starts_with("/") ? name : text_of(c.args[i]) + "/" + name);
    };
    struct open_file { int file = -1; std::string dir; std::size_t position = 0; bool append = false; };  // file -1: a dir
    std::map<std::pair<int, long long>, open_file> fds;
    tree now = start;  // as the calls leave it: where names lead
    std::vector<file_op> ops;
    const auto add = [&](file_op op) {
        if (op.kind == op_kind::write) op.old_size = now.contents[op.file].size();
        apply(now, op);
        ops.push_back(std::move(op));
    };
    const auto fd_of = [&](const syscall_line& c) -> open_file* {
        auto it = fds.find({c.pid, number_of(c.args[0])});
        return it == fds.end() ? nullptr : &it->second;
    };
    for (const syscall_line& c : calls) {
        const std::string& n = c.name;
        open_file* f = nullptr;
        if (c.ret < 0) continue;
        if (n == "openat" || n == "open" || n == "creat") {
            const std::string name = local(c.ret_path);
            if (name.empty()) continue;
            const long long flags = n == "creat" ? O_CREAT | O_WRONLY | O_TRUNC : number_of(c.args[n == "openat" ? 2 : 1]);
            open_file opened{.dir = name};
            if (name != "data" && name != "conf") {
                if (!now.names.count(name)) {
                    start.contents.emplace_back();
                    now.contents.emplace_back();
                    add({.kind = op_kind::create, .file = static_cast<int>(now.contents.size() - 1), .name = name});
                } else if (flags & O_TRUNC) {
                    add({.kind = op_kind::cut, .file = now.names[name]});
                }
                opened.file = now.names[name];
                opened.append = flags & O_APPEND;
            }
            fds[{c.pid, c.ret}] = opened;
        } else if (n == "close") {
            fds.erase({c.pid, number_of(c.args[0])});
        } else if (n == "read" || n == "readv" || n == "lseek") {
            if ((f = fd_of(c))) f->position = n == "lseek" ? c.ret : f->position + c.ret;
        } else if (n == "write" || n == "pwrite64") {
            if (!(f = fd_of(c)) || f->file < 0) continue;
            const std::string bytes = text_of(c.args[1]).substr(0, c.ret);
            const std::size_t at = n == "pwrite64" ? number_of(c.args[3])
                                   : f->append     ? now.contents[f->file].size()
                                                   : f->position;
            if (n == "write") f->position = at + bytes.size();
            add({.kind = op_kind::write, .file = f->file, .offset = at, .bytes = bytes});
        } else if (n == "ftruncate") {
            if ((f = fd_of(c)) && f->file >= 0)
                add({.kind = op_kind::cut, .file = f->file, .length = static_cast<std::size_t>(number_of(c.args[1]))});
        } else if (n == "fsync" || n == "fdatasync") {
            if ((f = fd_of(c)))
                add(f->file < 0 ? file_op{.kind = op_kind::dirsync, .name = f->dir}
                                : file_op{.kind = n == "fsync" ? op_kind::sync : op_kind::datasync, .file = f->file});
        } else if (n.starts_with("rename") || n == "linkat" || n == "link") {
            const std::string from = named(c, 0), to = named(c, n.ends_with("at") || n == "renameat2" ? 2 : 1);
            if (from.empty() && to.empty()) continue;
            if (from.empty() || to.empty() || !now.names.count(from))
                unmodelled.push_back(n + " " + from + " -> " + to);
            else
                add({.kind = n.starts_with("rename") ? op_kind::rename : op_kind::link, .file = now.names[from],
                     .name = from, .to = to});
        } else if (n == "unlinkat" || n == "unlink") {
            const std::string name = named(c, 0);
            if (!name.empty() && now.names.count(name)) add({.kind = op_kind::unlink, .file = now.names[name], .name = name});
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
    std::size_t op, from = 0, to = SIZE_MAX;
    bool metadata = false;  // ext4: journaled, kept in order
};

struct crash_model { const char* name; bool ordered_metadata; };  // ext4; else any subset (strict POSIX)
const crash_model models[] = {{"kill", false}, {"ext4", true}, {"posix", false}};

// The units of ops[0, k) that a power cut may lose, and those it may not.
void units_at(const std::vector<file_op>& ops, std::size_t k, bool ext4, std::vector<unit>& free_units,
              std::vector<unit>& kept) {
    std::size_t commit = 0;  // ext4: the last journal commit before k
    std::set<int> pending;
    for (std::size_t j = 0; j < k; ++j) {
        const file_op& op = ops[j];
        if (op.kind == op_kind::sync || op.kind == op_kind::dirsync || (op.kind == op_kind::datasync && pending.count(op.file)))
            commit = j, pending.clear();
        else if ((is_name(op.kind) && op.kind != op_kind::unlink) || op.kind == op_kind::cut ||
                 (op.kind == op_kind::write && op.offset + op.bytes.size() > op.old_size))
            pending.insert(op.file);
    }
    for (std::size_t i = 0; i < k; ++i) {
        const file_op& op = ops[i];
        if (is_sync(op.kind)) continue;
        bool synced = false;  // a name by its directory's sync, else the file's own
        const std::string& target = op.to.empty() ? op.name : op.to;
        const std::string dir = target.substr(0, target.find('/'));
        for (std::size_t j = i + 1; j < k && !synced; ++j)
            synced = is_name(op.kind) ? ops[j].kind == op_kind::dirsync && ops[j].name == dir
                                      : is_sync(ops[j].kind) && ops[j].kind != op_kind::dirsync && ops[j].file == op.file;
        std::vector<unit> parts;
        if (op.kind != op_kind::write) {
            parts.push_back({.op = i, .metadata = ext4});
        } else {
            const std::size_t end = op.offset + op.bytes.size();
            const std::size_t inside = ext4 ? std::min(end, std::max(op.offset, op.old_size)) : end;
            for (std::size_t at = op.offset; at < inside; at = (at / sector + 1) * sector)
                parts.push_back({i, at, std::min(inside, (at / sector + 1) * sector), false});
            if (inside < end) parts.push_back({i, inside, end, true});
        }
        for (const unit& u : parts) ((u.metadata && i < commit) || synced ? kept : free_units).push_back(u);
    }
}

// Every state a crash after ops[0, k) may leave under the model, at most
// about `cap` of them: all when so few, else a deterministic sample with
// both ends.
std::vector<files> crash_states(const tree& start, const std::vector<file_op>& ops, std::size_t k, const crash_model& m,
                                std::size_t most, std::mt19937& random) {
    std::vector<unit> free_units, kept;
    if (std::string_view(m.name) == "kill")
        for (std::size_t i = 0; i < k; ++i) kept.push_back({.op = i});
    else
        units_at(ops, k, m.ordered_metadata, free_units, kept);
    // ext4: the free metadata is kept as a prefix; the rest on its own.
    std::vector<unit> metadata, independent;
    for (const unit& u : free_units) (u.metadata && m.ordered_metadata ? metadata : independent).push_back(u);
    const std::size_t prefixes = metadata.size() + 1, bits = independent.size();
    const bool all = bits < 20 && (prefixes << bits) <= most;
    std::vector<files> states;
    for (std::size_t n = 0; n < (all ? prefixes << bits : most); ++n) {
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
        chosen.insert(chosen.end(), metadata.begin(), metadata.begin() + static_cast<std::ptrdiff_t>(prefix));
        for (std::size_t b = 0; b < bits; ++b)
            if (b >= 64 ? random() & 1u : (mask >> b) & 1u) chosen.push_back(independent[b]);
        std::stable_sort(chosen.begin(), chosen.end(), [](const unit& a, const unit& b) { return a.op < b.op; });
        tree t = start;
        for (const unit& u : chosen) apply(t, ops[u.op], u.from, u.to);
        states.push_back(t.visible());
    }
    return states;
}

// ---------------------------------------------------------------- the checks

args_t lines_of(const std::string& text) {
    args_t out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}
std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string desk_of(const image& reg) {
    if (!reg) return "";
    const unsigned stored = static_cast<unsigned char>((*reg)[5]) | static_cast<unsigned char>((*reg)[6]) << 8;
    return std::to_string(stored ? stored : 1);
}

image find(const files& f, const std::string& name) {
    const auto it = f.find(name);
    return it == f.end() ? image{} : it->second;
}

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

// ---------------------------------------------------------------- the test

class CrashStates : public ::testing::TestWithParam<std::size_t> {
protected:
    const write_path& p = paths[GetParam()];
    scratch_dir scratch;
    till_dir recorded, checked;
    tree start;
    std::vector<file_op> ops;
    std::mt19937 random{static_cast<unsigned>(GetParam()) * 7919u + 1u};
    // What the recorded run did, to judge a state by.
    std::vector<image> chain;     // the register before each change, and after the last
    std::set<std::string> desks;  // what the cash code file may hold ("" absent)
    args_t history;               // the final --history --json, newest first
    std::size_t earlier_records = 0;  // lines of it from before the run
    run_result undo_before;           // --undo on the till before the run
    image undone_before;              // and what it left
    args_t verified;                  // --verify on each image of the chain, the cash code file agreeing

    void SetUp() override {
        if (run({"strace", "-o", "/dev/null", "true"}).status != 0) GTEST_SKIP() << "strace cannot trace here";
        if (p.desk_user && geteuid() != 0) GTEST_SKIP() << "needs root to run as the desk's user";
        // strace -y names files by their real path.
        char real[PATH_MAX];
        ASSERT_NE(realpath(scratch.path.c_str(), real), nullptr);
        recorded.root = std::string(real) + "/recorded";
        checked.root = std::string(real) + "/checked";
        fs::create_directories(checked.root);
        chmod(real, 0755);
    }

    run_result on(const files& state, const args_t& args) {
        materialise(checked, state, p.desk_user);
        return run_as(p, checked, args);
    }

    // Runs the path once under strace and rebuilds what it did.
    void record() {
        files initial;
        if (p.start) initial[reg_name] = *p.start;
        if (!p.cashcode.empty()) initial[code_name] = p.cashcode;
        materialise(recorded, initial, p.desk_user);
        for (const args_t& args : p.earlier) ASSERT_EQ(run_as(p, recorded, args).status, 0) << args[0];
        // The cash desk counts a return after the earlier change.
        if (p.desk_counts) write_file(recorded.path(reg_name), till::with_number(read_file(recorded.path(reg_name)), 558, 99));
        const files before = snapshot(recorded);
        earlier_records = lines_of(run_as(p, recorded, {"--history", "--json"}).out).size();
        undo_before = on(before, {"--undo"});
        undone_before = find(snapshot(checked), reg_name);
        materialise(recorded, before, p.desk_user);

        const std::string log = scratch / "trace";
        const run_result traced = run_as(p, recorded, p.command,
                                         {"strace", "-f", "-y", "-X", "raw", "-xx", "-s", "1000000", "-e",
                                          "trace=file,desc,fsync,fdatasync", "-o", log});
        ASSERT_EQ(traced.status, 0) << traced.err;
        const files after = snapshot(recorded);
        history = lines_of(run_as(p, recorded, {"--history", "--json"}).out);

        for (const auto& [name, bytes] : before) {
            start.names[name] = static_cast<int>(start.contents.size());
            start.contents.push_back(bytes);
        }
        args_t unmodelled;
        ops = rebuild(parse_trace(read_file(log)), recorded, start, unmodelled);
        EXPECT_EQ(unmodelled, args_t{}) << "calls on the till's files this test does not model";
        // The model replays the run to what it left on disk.
        ASSERT_EQ(crash_states(start, ops, ops.size(), models[0], 1, random).front(), after);

        // The register before each change (each starts with its record), and
        // after the last; the desks the cash code file may name.
        tree t = start;
        const auto push = [&](const image& i) {
            if (chain.empty() || chain.back() != i) chain.push_back(i);
        };
        push(find(t.visible(), reg_name));
        for (const file_op& op : ops) {
            if ((op.kind == op_kind::write && t.names.count(journal_name) && t.names.at(journal_name) == op.file) ||
                (op.kind == op_kind::rename && op.to == journal_name))
                push(find(t.visible(), reg_name));
            apply(t, op);
        }
        push(find(after, reg_name));
        ASSERT_GE(chain.size(), 2u) << "the run changed no register";
        desks = {find(before, code_name).value_or(""), find(after, code_name).value_or("")};
        for (const image& i : chain) {
            files whole = {{code_name, desk_of(i)}};
            if (i) whole[reg_name] = *i, desks.insert(desk_of(i));
            verified.push_back(on(whole, {"--verify"}).out);
        }
    }

    // Everything wrong with what the program makes of `state`; empty when
    // sound.  `lagging_code`: only whether --verify sees a cash code file that
    // names another desk than the whole register beside it.
    args_t judge(const files& state, bool lagging_code) {
        args_t wrong;
        const auto expect = [&](bool ok, const std::string& what) { if (!ok) wrong.push_back(what); };
        const image reg = find(state, reg_name);
        // Where the register stands on the chain: at change e, or between e - 1
        // and e when `torn`.
        std::size_t e = 0;
        bool torn = false, placed = false;
        for (std::size_t i = 0; i < chain.size() && !placed; ++i)
            if (chain[i] == reg) e = i, placed = true;
        for (std::size_t i = 0; i + 1 < chain.size() && !placed; ++i)
            if (reg && chain[i] && chain[i + 1] && between(*reg, *chain[i], *chain[i + 1])) e = i + 1, placed = torn = true;
        if (!placed) return {"the register holds an image no change made (a field torn, or a byte outside the change)"};
        const std::string code = find(state, code_name).value_or(""), desk = desk_of(chain[e]);
        const image& landed = chain[e];
        if (lagging_code) {
            if (reg && !torn && !code.empty() && code != desk)
                expect(on(state, {"--verify"}).status == 1,
                       "--verify says ok while the cash code file names desk " + code + " and the register desk " + desk);
            return wrong;
        }
        expect(desks.count(code), "the cash code file names '" + code + "', a desk the register never held");
        const std::string change = std::to_string(earlier_records + e);
        // A change made where no register was is made before its record.
        const bool recorded_late = e >= 1 && !chain[e - 1];

        run_result r = on(state, {"--verify"});
        expect(r.status == 0 || r.status == 1, "--verify ended with status " + std::to_string(r.status));
        if (torn)
            expect(r.status == 1 && r.out.find("interrupted change " + change + ":") != std::string::npos,
                   "--verify does not report the interrupted change " + change + ": '" + first_line(r.out) + "'");
        else
            expect(r.out.find("interrupted") == std::string::npos, "--verify reports a whole register as interrupted");

        // The newest records may be missing, never an older one, and every
        // change that reached the register is there.
        r = run_as(p, checked, {"--history", "--json"});
        const args_t shown = lines_of(r.out);
        const bool suffix = r.status == 0 && shown.size() >= earlier_records && shown.size() <= history.size() &&
                            std::equal(shown.begin(), shown.end(), history.end() - static_cast<std::ptrdiff_t>(shown.size()));
        const std::size_t recorded_now = suffix ? shown.size() - earlier_records : 0;
        expect(suffix, "--history shows what no run recorded, or lost an older change: '" + first_line(r.out) + r.err + "'");
        expect(!suffix || recorded_now >= e || recorded_late,
               "change " + change + " reached the register but --history does not show it");

        r = run_as(p, checked, {"--undo"});
        const image undone = find(snapshot(checked), reg_name);
        const std::string said = ": status " + std::to_string(r.status) + " " + first_line(r.err);
        if (e == 0)
            expect(r.status == undo_before.status && (r.status != 0 || same_register(undone, undone_before)),
                   "--undo of a change that never landed does not undo the one before it" + said);
        else if (recorded_now < e && recorded_late)
            expect(r.status == 1 || same_register(undone, chain[e - 1]), "--undo of an unrecorded create wrote a register");
        else
            expect(r.status == 0 && same_register(undone, chain[e - 1]),
                   "--undo does not put back the register before change " + change + said);
        if (r.status != 0)
            expect(r.err.starts_with("Error: ") && r.err.find('\n') == r.err.size() - 1 && (undone == reg || undone == landed),
                   "a refused --undo harmed the register or said more than one error: " + r.err);

        // The next writing run finishes what was interrupted, marks what never
        // landed, and brings the cash code file into line.
        r = on(state, p.noop);
        if (!reg) {
            expect(r.status == 1, "a writing run on no register did not fail");
        } else {
            const files after = snapshot(checked);
            expect(r.status == 0, "the next writing run failed: " + first_line(r.err));
            expect(find(after, reg_name) == landed, torn ? "the next writing run did not finish the interrupted change"
                                                         : "the next writing run changed a whole register");
            expect(torn == (r.err.find("Warning: finished an interrupted change " + change + " ") != std::string::npos),
                   torn ? "the next writing run does not say it finished change " + change
                        : "the next writing run says it finished a change: " + first_line(r.err));
            expect(find(after, code_name) == desk, "after the next writing run the cash code file names '" +
                                                       find(after, code_name).value_or("") + "', the register desk " + desk);
            r = run_as(p, checked, {"--history", "--json"});
            args_t want(history.end() - static_cast<std::ptrdiff_t>(earlier_records + e), history.end());
            if (recorded_now > e) {
                std::string marked = history[history.size() - earlier_records - e - 1];
                if (const auto made = marked.find("\"made\": true"); made != std::string::npos)
                    marked.replace(made, 12, "\"made\": false");
                want.insert(want.begin(), marked);
            }
            expect(lines_of(r.out) == want || (recorded_late && recorded_now < e),
                   "after the next writing run --history does not tell what landed: '" + first_line(r.out) + "'");
            r = run_as(p, checked, {"--verify"});
            expect(r.out == verified[e], "after the next writing run --verify says '" + first_line(r.out) + "'");
        }

        // A rerun converges on the register the path meant (an undo rerun is
        // the undo above).
        if (p.command != args_t{"--undo"}) {
            r = on(state, p.command);
            const files after = snapshot(checked);
            expect(r.status == 0 && find(after, reg_name) == chain.back() && find(after, code_name) == desk_of(chain.back()),
                   "a rerun does not converge: status " + std::to_string(r.status) + " " + first_line(r.err));
        }
        return wrong;
    }

    // Judges every state of every model, and gives the figures.
    void explore(bool lagging_code) {
        record();
        if (HasFatalFailure()) return;
        const char* what = lagging_code ? " (cash code file)" : "";
        std::map<std::string, args_t> verdicts;  // by state, across the models
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
                    if (v == verdicts.end()) v = verdicts.emplace(key, judge(state, lagging_code)).first;
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

TEST_P(CrashStates, EveryStateAKillOrAPowerCutLeavesIsSound) { explore(false); }

// A register whole at one desk beside a cash code file naming another (the
// crash fell between the two) is a finding of --verify.
TEST_P(CrashStates, VerifySeesACashCodeFileThatLagsTheRegister) { explore(true); }

std::string path_name(const ::testing::TestParamInfo<std::size_t>& info) { return paths[info.param].name; }

INSTANTIATE_TEST_SUITE_P(WritePath, CrashStates, ::testing::Range<std::size_t>(0, std::size(paths)), path_name);

}  // namespace
