// The masked edit field's two edit functions with any keys, on a real curses
// session whose input is a pipe filled with the key bytes and then closed:
// the field reads the keys as a terminal would send them (escape sequences
// become arrow and function keys) and the end of input ends the edit.
//
// right_side_edit may only append what the mask allows at each place: a
// digit on 'd', a digit or one point with at most two digits after it on
// 'f', nothing past a literal or the mask's end.  free_walk_edit keeps the
// mask's length and every literal, and puts only digits on 'd'.
#include "scratch.h"

#include "tui/maskedit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace {

const char* const masks[] = {"ddddd", "ddddddddd", "fffffffffffffff", "dd.dd.dddd dd:dd", "ddd.dd", "f", "d"};

bool right_side_allows(const std::string& mask, const std::string& before, char c) {
    const std::size_t at = before.size();
    if (at >= mask.size()) return false;
    const bool digit = c >= '0' && c <= '9';
    if (mask[at] == 'd') return digit;
    if (mask[at] != 'f') return false;
    // A sum's decimal point is '.' or ',', one of them once.
    const std::size_t point = before.find_first_of(".,");
    if (point == std::string::npos) return digit || c == '.' || c == ',';
    return digit && at - point <= 2;
}

FILE* null_output;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TERM", "xterm", 1);
    null_output = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size > 4096) return 0;
    // Byte 0: the mask; byte 1: the function; byte 2: the starting value's length.
    const std::string mask = masks[data[0] % (sizeof masks / sizeof *masks)];
    const bool right_side = data[1] & 1;
    const std::size_t value_length = std::min<std::size_t>(data[2] % 24, size - 3);
    const std::string initial(reinterpret_cast<const char*>(data) + 3, value_length);
    const std::string keys(reinterpret_cast<const char*>(data) + 3 + value_length, size - 3 - value_length);

    int fds[2];
    if (pipe(fds) != 0) fuzz::finding("pipe");
    if (write(fds[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) fuzz::finding("pipe write");
    close(fds[1]);
    FILE* input = fdopen(fds[0], "r");
    SCREEN* screen = newterm(nullptr, null_output, input);
    if (!screen) fuzz::finding("newterm");
    set_term(screen);
    cbreak();
    noecho();
    nonl();

    std::string value = initial;
    {
        window dialog(4, 10, 8, 50);
        maskedit field(dialog, 2, 3, mask);
        if (right_side)
            field.right_side_edit(value, "0");
        else
            field.free_walk_edit(value);
    }
    endwin();
    delscreen(screen);
    std::fclose(input);

    if (right_side) {
        // What differs from the starting value was typed, and had to be allowed.
        std::size_t same = 0;
        while (same < value.size() && same < initial.size() && value[same] == initial[same]) ++same;
        for (std::size_t i = same; i < value.size(); ++i)
            if (!right_side_allows(mask, value.substr(0, i), value[i]))
                fuzz::finding("'" + value + "' breaks the mask " + mask);
    } else {
        if (value.size() != mask.size()) fuzz::finding("'" + value + "' lost the mask's length");
        for (std::size_t i = 0; i < mask.size(); ++i) {
            const char was = i < initial.size() ? initial[i] : mask[i] == 'd' ? '0' : mask[i];
            if (mask[i] != 'd' && value[i] != was) fuzz::finding("'" + value + "' changed a literal of " + mask);
            if (mask[i] == 'd' && value[i] != was && (value[i] < '0' || value[i] > '9'))
                fuzz::finding("'" + value + "' took a non-digit");
        }
    }
    return 0;
}
