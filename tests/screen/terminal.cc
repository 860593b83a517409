#include "terminal.h"

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace screen {
namespace {

using clock = std::chrono::steady_clock;

void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::vector<uint32_t> code_points(std::string_view utf8) {
    std::vector<uint32_t> out;
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k) c = (c << 6) | (utf8[i + k] & 0x3F);
        out.push_back(c);
        i += 1 + extra;
    }
    return out;
}

// What a terminal speaking `charset` shows for each byte from 0x80 up, as
// UTF-8; "?" for a byte the set leaves undefined.
const std::array<std::string, 128>& glyphs(const std::string& charset) {
    static std::map<std::string, std::array<std::string, 128>> sets;
    if (const auto it = sets.find(charset); it != sets.end()) return it->second;
    std::array<std::string, 128>& g = sets[charset];
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    for (int b = 0x80; b <= 0xFF; ++b) {
        char in = static_cast<char>(b), out[8];
        char* src = &in;
        char* dst = out;
        std::size_t in_left = 1, out_left = sizeof out;
        if (cd != reinterpret_cast<iconv_t>(-1) && iconv(cd, &src, &in_left, &dst, &out_left) != static_cast<std::size_t>(-1))
            g[b - 0x80].assign(out, dst);
        else
            g[b - 0x80] = "?";
    }
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    return g;
}

void write_all(int fd, const char* bytes, std::size_t n) {
    while (n > 0 && fd >= 0) {
        const ssize_t w = ::write(fd, bytes, n);
        if (w > 0) {
            bytes += w;
            n -= static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (w < 0 && errno != EINTR) {
            return;  // the terminal is gone; keys into nowhere
        }
    }
}

// The program's scheduling state as /proc shows it: enough to tell that it
// sleeps in a read of fd 0 and has not woken since the last look.
struct process_state {
    char state = '?';
    long syscall = -1;
    std::string first_arg;
    long switches = -1;
    bool operator==(const process_state&) const = default;
};

process_state look_at(pid_t pid) {
    process_state s;
    const std::string dir = "/proc/" + std::to_string(pid) + "/";
    std::ifstream stat(dir + "stat");
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    const auto paren = all.rfind(')');  // the command name may hold blanks
    if (paren != std::string::npos && paren + 2 < all.size()) s.state = all[paren + 2];
    std::ifstream sys(dir + "syscall");
    if (!(sys >> s.syscall >> s.first_arg)) s.syscall = -1;
    std::ifstream status(dir + "status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) s.switches = std::stol(line.substr(24));
    return s;
}

std::map<std::string, std::string> environment(const options& opt) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    // Whatever locale or fixed size the test runner has must not leak in.
    for (auto it = env.begin(); it != env.end();)
        it = it->first.rfind("LC_", 0) == 0 || it->first == "LINES" || it->first == "COLUMNS" ? env.erase(it) : std::next(it);
    env["TERM"] = "xterm-256color";
    env["LANG"] = "C.UTF-8";
    for (const auto& [name, value] : opt.env) {
        if (value.empty())
            env.erase(name);
        else
            env[name] = value;
    }
    return env;
}

}  // namespace

terminal::terminal(const std::vector<std::string>& argv, options opt)
    : rows_(opt.rows), cols_(opt.cols), charset_(opt.charset) {
    vt_ = vterm_new(rows_, cols_);
    vterm_set_utf8(vt_, 1);
    vterm_output_set_callback(vt_, &terminal::on_output, this);
    screen_ = vterm_obtain_screen(vt_);
    vterm_screen_enable_altscreen(screen_, 1);
    vterm_screen_reset(screen_, 1);

    winsize size{static_cast<unsigned short>(rows_), static_cast<unsigned short>(cols_), 0, 0};
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    // Everything the child needs is built before fork.
    std::vector<std::string> env_strings;
    for (const auto& [name, value] : environment(opt)) env_strings.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto& s : argv_copy) args.push_back(s.data());
    args.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        setsid();
        ioctl(slave_, TIOCSCTTY, 0);
        dup2(slave_, 0);
        dup2(slave_, 1);
        dup2(slave_, 2);
        for (int sig : {SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGWINCH, SIGCHLD}) signal(sig, SIG_DFL);
        signal(SIGHUP, opt.ignore_hangup ? SIG_IGN : SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));  // -1 on old kernels: then we poll
}

terminal::~terminal() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {master_, slave_, pidfd_})
        if (fd >= 0) close(fd);
    vterm_free(vt_);
}

void terminal::on_output(const char* bytes, std::size_t len, void* user) {
    auto* self = static_cast<terminal*>(user);
    if (self->charset_.empty()) return write_all(self->master_, bytes, len);
    // Such a terminal sends what it shows in its own set.
    std::string out;
    for (uint32_t c : code_points(std::string_view(bytes, len))) {
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        std::string glyph;
        put_utf8(glyph, c);
        const auto& table = glyphs(self->charset_);
        for (int b = 0; b < 128; ++b)
            if (table[b] == glyph) out += static_cast<char>(0x80 + b);
    }
    write_all(self->master_, out.data(), out.size());
}

void terminal::press(VTermKey key, VTermModifier mod) { vterm_keyboard_key(vt_, key, mod); }

void terminal::type(std::string_view utf8) {
    for (uint32_t c : code_points(utf8)) vterm_keyboard_unichar(vt_, c, VTERM_MOD_NONE);
}

void terminal::send(std::string_view bytes) { write_all(master_, bytes.data(), bytes.size()); }

void terminal::feed(const char* bytes, std::size_t n) {
    received_.append(bytes, n);
    if (charset_.empty()) {
        vterm_input_write(vt_, bytes, n);
        return;
    }
    std::string utf8;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80)
            utf8 += static_cast<char>(b);
        else
            utf8 += glyphs(charset_)[b - 0x80];
    }
    vterm_input_write(vt_, utf8.data(), utf8.size());
}

bool terminal::reap() {
    if (status_ || pid_ <= 0) return status_.has_value();
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_)
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    return status_.has_value();
}

bool terminal::pump(milliseconds timeout) {
    std::vector<pollfd> fds;
    if (master_ >= 0) fds.push_back({master_, POLLIN, 0});
    const bool watch_exit = pidfd_ >= 0 && !status_;
    if (watch_exit) fds.push_back({pidfd_, POLLIN, 0});
    int wait_ms = static_cast<int>(timeout.count());
    if (pidfd_ < 0 && !status_) wait_ms = std::min(wait_ms, 10);  // no pidfd: look for the exit now and then
    if (!fds.empty()) ::poll(fds.data(), fds.size(), wait_ms);
    bool got = false;
    char buf[4096];
    while (master_ >= 0) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        feed(buf, static_cast<std::size_t>(n));
        got = true;
    }
    reap();
    return got;
}

bool terminal::idle_now() {
    // Polling a terminal makes the kernel first hand over what is still on
    // its way (keys to the program, output to us), so these looks are exact.
    auto pending_input = [this] {
        pollfd p{slave_, POLLIN, 0};
        return slave_ >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    };
    pump(milliseconds(0));
    if (status_ || pending_input()) return false;
    const process_state before = look_at(pid_);
    if (before.state != 'S' || before.syscall != SYS_read || before.first_arg != "0x0") return false;
    if (pump(milliseconds(0)) || pending_input()) return false;
    return look_at(pid_) == before;  // and it has not woken up in between
}

::testing::AssertionResult terminal::wait_idle(milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    while (clock::now() < deadline) {
        if (idle_now()) return ::testing::AssertionSuccess();
        if (status_) return ::testing::AssertionFailure() << "the program ended with status " << *status_ << "\n" << dump();
        pump(milliseconds(1));
    }
    const process_state s = look_at(pid_);
    return ::testing::AssertionFailure() << "not idle after " << timeout.count() << " ms (state " << s.state
                                         << ", syscall " << s.syscall << ")\n"
                                         << dump();
}

::testing::AssertionResult terminal::wait_text(int row, int col, std::string_view utf8, milliseconds timeout) {
    const int count = static_cast<int>(code_points(utf8).size());
    const auto deadline = clock::now() + timeout;
    for (;;) {
        if (text(row, col, count) == utf8) return ::testing::AssertionSuccess();
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - clock::now());
        if (left.count() <= 0) break;
        pump(std::min(left, milliseconds(50)));
    }
    return ::testing::AssertionFailure() << "expected \"" << utf8 << "\" at row " << row << ", column " << col
                                         << ", found \"" << text(row, col, count) << "\"\n"
                                         << dump();
}

::testing::AssertionResult terminal::wait_anywhere(std::string_view utf8, milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    for (;;) {
        if (anywhere(utf8)) return ::testing::AssertionSuccess();
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - clock::now());
        if (left.count() <= 0) break;
        pump(std::min(left, milliseconds(50)));
    }
    return ::testing::AssertionFailure() << "expected \"" << utf8 << "\" on the screen\n" << dump();
}

std::optional<int> terminal::wait_exit(milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    while (!reap()) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - clock::now());
        if (left.count() <= 0) return std::nullopt;
        pump(std::min(left, milliseconds(50)));
    }
    pump(milliseconds(0));  // what it wrote last
    return status_;
}

cell terminal::at(int row, int col) const {
    cell out;
    VTermScreenCell c{};
    if (row < 0 || row >= rows_ || col < 0 || col >= cols_ || !vterm_screen_get_cell(screen_, {row, col}, &c)) return out;
    for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && c.chars[i]; ++i) put_utf8(out.text, c.chars[i]);
    if (out.text.empty()) out.text = " ";
    auto index = [](const VTermColor& colour, bool is_default) {
        return is_default ? -1 : VTERM_COLOR_IS_INDEXED(&colour) ? colour.indexed.idx : -2;
    };
    out.fg = index(c.fg, VTERM_COLOR_IS_DEFAULT_FG(&c.fg));
    out.bg = index(c.bg, VTERM_COLOR_IS_DEFAULT_BG(&c.bg));
    out.reverse = c.attrs.reverse;
    out.bold = c.attrs.bold;
    return out;
}

std::string terminal::text(int row, int col, int count) const {
    std::string out;
    for (int i = 0; i < count; ++i) out += at(row, col + i).text;
    return out;
}

std::string terminal::row(int r) const {
    std::string line = text(r, 0, cols_);
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
}

bool terminal::anywhere(std::string_view utf8) const {
    for (int r = 0; r < rows_; ++r)
        if (row(r).find(utf8) != std::string::npos) return true;
    return false;
}

std::pair<int, int> terminal::cursor() const {
    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return {pos.row, pos.col};
}

std::string terminal::dump() const {
    std::ostringstream out;
    const auto [crow, ccol] = cursor();
    out << "screen " << rows_ << "x" << cols_ << ", cursor at " << crow << "," << ccol << "\n   ";
    for (int c = 0; c < cols_; ++c) out << c % 10;
    out << "\n";
    for (int r = 0; r < rows_; ++r) out << (r < 10 ? " " : "") << r << "|" << text(r, 0, cols_) << "|\n";
    return out.str();
}

termios terminal::modes() const {
    termios t{};
    tcgetattr(slave_ >= 0 ? slave_ : master_, &t);
    return t;
}

void terminal::resize(int rows, int cols) {
    rows_ = rows;
    cols_ = cols;
    vterm_set_size(vt_, rows, cols);
    winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
    ioctl(master_, TIOCSWINSZ, &size);  // the kernel sends SIGWINCH
}

void terminal::hang_up() {
    for (int* fd : {&master_, &slave_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

}  // namespace screen
