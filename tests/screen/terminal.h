// A program on a pseudo-terminal, watched through a virtual terminal: keys go
// in the way a real terminal encodes them, and the test reads back the cells,
// colours and cursor a person would see.
//
//   screen::terminal t({TARNEX_BIN}, {.rows = 24, .cols = 80});
//   ASSERT_TRUE(t.wait_text(1, 1, "┌"));     // the first paint
//   t.press(VTERM_KEY_DOWN);
//   ASSERT_TRUE(t.wait_idle());              // the program has taken the key
//   EXPECT_EQ(t.at(3, 2).bg, 7);
//   t.press(VTERM_KEY_ESCAPE);
//   EXPECT_EQ(t.wait_exit(), 0);
//
// Waits never sleep for a fixed time: they return as soon as the screen or the
// process is in the expected state, and on a timeout they fail with a picture
// of the screen.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <termios.h>
#include <vterm.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace screen {

using std::chrono::milliseconds;
inline constexpr milliseconds default_timeout{10000};

struct options {
    int rows = 24;
    int cols = 80;
    // Added to this process's environment; an empty value removes the
    // variable.  TERM=xterm-256color and LANG=C.UTF-8 unless given here; the
    // LC_* variables and LINES/COLUMNS are removed unless given here.
    std::map<std::string, std::string> env;
    bool ignore_hangup = false;  // as nohup starts a program
    // A character set of one byte a character that the terminal speaks
    // instead of UTF-8, by its iconv name: "CP1251", "KOI8-R".
    std::string charset;
};

struct cell {
    std::string text;  // UTF-8; " " for an empty cell
    int fg = -1;       // palette index; -1 the terminal's default, -2 RGB
    int bg = -1;
    bool reverse = false;
    bool bold = false;
};

class terminal {
public:
    // Starts argv[0] (a path) with the pseudo-terminal as its controlling
    // terminal and stdin, stdout and stderr.
    explicit terminal(const std::vector<std::string>& argv, options opt = {});
    ~terminal();  // kills the program if it still runs
    terminal(const terminal&) = delete;
    terminal& operator=(const terminal&) = delete;

    // Keys, encoded as the terminal's current modes say (application cursor
    // keys once the program has switched them on).
    void press(VTermKey key, VTermModifier mod = VTERM_MOD_NONE);
    void type(std::string_view utf8);  // each character as if typed
    void send(std::string_view bytes);  // raw bytes, no encoding

    // Waits until `utf8` stands at (row, col); rows and columns from 0.
    ::testing::AssertionResult wait_text(int row, int col, std::string_view utf8, milliseconds timeout = default_timeout);
    // Waits until `utf8` stands anywhere on one row of the screen.
    ::testing::AssertionResult wait_anywhere(std::string_view utf8, milliseconds timeout = default_timeout);
    // Waits until the program has read every byte sent, sleeps in a read of
    // its stdin, and has nothing more on the way to the screen.
    ::testing::AssertionResult wait_idle(milliseconds timeout = default_timeout);
    // Waits for the program to end: its exit status, 128 + signal number when
    // a signal killed it, nothing on a timeout.
    std::optional<int> wait_exit(milliseconds timeout = default_timeout);

    std::string text(int row, int col, int count) const;
    std::string row(int r) const;  // the whole row, trailing blanks removed
    cell at(int row, int col) const;
    std::pair<int, int> cursor() const;  // row, column
    std::string dump() const;            // the screen with a ruler, for messages
    bool anywhere(std::string_view utf8) const;

    // Everything the program wrote, as raw bytes.
    const std::string& output() const { return received_; }
    std::size_t bytes_received() const { return received_.size(); }
    // The line discipline's modes as the program left them (until hang_up).
    termios modes() const;
    pid_t pid() const { return pid_; }
    int rows() const { return rows_; }
    int cols() const { return cols_; }

    // Tells the program the terminal has a new size, as a resized window does.
    void resize(int rows, int cols);
    // Closes the terminal under the program, as when a remote line drops.
    void hang_up();

private:
    bool pump(milliseconds timeout);
    void feed(const char* bytes, std::size_t n);
    bool idle_now();
    bool reap();
    static void on_output(const char* bytes, std::size_t len, void* user);

    int rows_, cols_;
    std::string charset_;
    int master_ = -1;
    int slave_ = -1;  // kept open to see how much input the program has not read
    int pidfd_ = -1;
    pid_t pid_ = -1;
    std::optional<int> status_;
    VTerm* vt_ = nullptr;
    VTermScreen* screen_ = nullptr;
    std::string received_;
};

}  // namespace screen
