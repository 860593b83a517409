// What the editor writes to the terminal for each step of a short session, on
// the tests' virtual terminal: the bytes, the cells that really changed, and
// whether the step cleared the whole screen.  Then the editor's peak memory.
//
//   screen_bytes [--show] ROOT      (a till under ROOT; TZ as given)
//
// --show writes each step's bytes to standard error, escapes made visible.
// One line per step: NAME BYTES CELLS CLEARS.  Then "rss_kib N".
#include "terminal.h"

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using screen::terminal;

struct cell_state {
    std::string text;
    int fg, bg;
    bool reverse, bold;
    bool operator==(const cell_state&) const = default;
};

std::vector<cell_state> snapshot(const terminal& t) {
    std::vector<cell_state> cells;
    for (int r = 0; r < t.rows(); ++r)
        for (int c = 0; c < t.cols(); ++c) {
            const screen::cell x = t.at(r, c);
            cells.push_back({x.text, x.fg, x.bg, x.reverse, x.bold});
        }
    return cells;
}

int changed(const std::vector<cell_state>& before, const std::vector<cell_state>& after) {
    int n = 0;
    for (std::size_t i = 0; i < before.size(); ++i) n += before[i] != after[i];
    return n;
}

// Erase in Display, whole screen or from the home position: either repaints
// every cell on the far side of a slow line.
int clears(const std::string& bytes) {
    int n = 0;
    for (const char* seq : {"\x1b[2J", "\x1b[H\x1b[J", "\x1b[1;1H\x1b[J"})
        for (auto at = bytes.find(seq); at != std::string::npos; at = bytes.find(seq, at + 1)) ++n;
    return n;
}

long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

std::string visible(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == 0x1b)
            out += "\\e";
        else if (c < 0x20) {
            out += '^';
            out += static_cast<char>(c + 0x40);
        } else
            out += static_cast<char>(c);
    }
    return out;
}

class session {
public:
    session(terminal& t, bool show) : t_(t), show_(show), cells_(snapshot(t)) {}

    // Runs `step`, waits until the editor has dealt with it, and reports.
    template <class F>
    bool measure(const char* name, F step) {
        step();
        if (const auto idle = t_.wait_idle(); !idle) {
            std::cerr << name << ": " << idle.message() << "\n";
            return false;
        }
        const std::string bytes = t_.output().substr(seen_);
        if (show_) std::cerr << name << ": " << visible(bytes) << "\n";
        const auto now = snapshot(t_);
        std::cout << name << ' ' << bytes.size() << ' ' << changed(cells_, now) << ' ' << clears(bytes) << '\n';
        seen_ = t_.output().size();
        cells_ = now;
        return true;
    }

private:
    terminal& t_;
    bool show_;
    std::vector<cell_state> cells_;
    std::size_t seen_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const bool show = argc == 3 && std::string(argv[1]) == "--show";
    if (argc != 2 + show) {
        std::cerr << "usage: screen_bytes [--show] ROOT\n";
        return 2;
    }
    screen::options opt;
    opt.env["TARNEX_ROOT"] = argv[argc - 1];
    terminal t({TARNEX_BIN}, opt);
    session s(t, show);
    const bool ok =
        s.measure("first_paint", [&] { (void)t.wait_text(15, 2, "Выход без сохранения"); }) &&
        s.measure("down", [&] { t.press(VTERM_KEY_DOWN); }) &&
        s.measure("open_dialog", [&] {
            t.press(VTERM_KEY_ENTER);
            (void)t.wait_text(11, 5, "└");
        }) &&
        s.measure("dialog_to_menu", [&] {
            t.press(VTERM_KEY_ESCAPE);
            (void)t.wait_text(15, 2, "Выход без сохранения");
        });
    if (!ok) {
        std::cerr << t.dump();
        return 1;
    }
    std::cout << "rss_kib " << peak_rss_kib(t.pid()) << '\n';
    t.press(VTERM_KEY_ESCAPE);
    return t.wait_exit() == 0 ? 0 : 1;
}
