// The full-screen editor: a menu of the register's values, a small dialog per
// value, and two ways out.  Every change stays in memory until the user picks
// "Запись и выход"; every other way out leaves the file as it was.
#include "editor/cui.h"

#include "register/failure.h"
#include "register/holder.h"
#include "register/members.h"
#include "register/paths.h"
#include "register/registry.h"
#include "register/text_forms.h"
#include "register/trail.h"
#include "tui/convert.h"
#include "tui/init.h"
#include "tui/maskedit.h"
#include "tui/menu.h"
#include "tui/message_box.h"
#include "tui/window.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

struct field_dialog {
    int id;
    std::string_view label;   // 27 bytes, so that every value starts in one column
    std::string_view prompt;
    const char* mask;
    register_member member;
};

constexpr std::array<field_dialog, 12> dialogs = {{
    {1, "Номер кассы               :"_cp, "Номер кассы (макс. 65535):"_cp, "ddddd", &registry::cashcode},
    {2, "Номер смены               :"_cp, "Номер смены:"_cp, "dddddd", &registry::shift},
    {3, "Номер чека                :"_cp, "Номер чека:"_cp, "dddddd", &registry::checknum},
    {4, "Дата начала смены         :"_cp, "Дата начала смены:"_cp, "dd.dd.dddd dd:dd", &registry::shift_begin},
    {5, "Счетчик продаж            :"_cp, "Счетчик продаж:"_cp, "ddddddddd", &registry::tcount_sale},
    {6, "Счетчик возвратов         :"_cp, "Счетчик возвратов:"_cp, "ddddddddd", &registry::tcount_back},
    {7, "Сумма продаж              :"_cp, "Сумма продаж:"_cp, "fffffffffffffff", &registry::tsum_sale},
    {8, "Сумма возвратов           :"_cp, "Сумма возвратов:"_cp, "fffffffffffffff", &registry::tsum_back},
    {9, "Счетчик продаж тек.см.    :"_cp, "Счетчик продаж тек.см.:"_cp, "ddddddddd", &registry::count_sale},
    {10, "Счетчик возвратов тек.см. :"_cp, "Счетчик возвратов тек.см.:"_cp, "ddddddddd", &registry::count_back},
    {11, "Сумма продаж тек.см       :"_cp, "Сумма продаж тек.см.:"_cp, "fffffffffffffff", &registry::sum_sale},
    {12, "Сумма возвратов тек.см.   :"_cp, "Сумма возвратов тек.см.:"_cp, "fffffffffffffff", &registry::sum_back},
}};
static_assert(std::all_of(dialogs.begin(), dialogs.end(), [](const field_dialog& d) { return d.label.size() == 27; }));

constexpr int save_and_leave = 13;
constexpr int leave_without_saving = 14;

// Draws the dialog's frame and prompt, then lets the user edit `text`.
// True when the user accepted it.
bool ask(window& dialog, const field_dialog& d, std::string& text) {
    dialog.draw();
    dialog.print(1, 1, std::string(d.prompt));
    maskedit field(dialog, 2, 3, d.mask);
    if (std::holds_alternative<std::time_t registry::*>(d.member)) return field.free_walk_edit(text);
    return field.right_side_edit(text, "0");
}

// Why a typed text the field's mask let through is no value the file can
// hold, in the editor's words.
std::string refusal(const field_dialog& d, const std::string& text) {
    if (std::holds_alternative<double registry::*>(d.member))
        return text.find_first_of("0123456789") == std::string::npos ? "Введите сумму"_cp.str()
                                                                     : "Не больше 999999999999.99"_cp.str();
    if (!std::holds_alternative<std::time_t registry::*>(d.member)) return "Не больше 65535"_cp.str();
    // The date's field holds digits at fixed places: dd.dd.dddd dd:dd.
    const auto at = [&](std::size_t from, std::size_t count) {
        int n = 0;
        for (std::size_t i = from; i < from + count && i < text.size(); ++i) n = n * 10 + (text[i] - '0');
        return n;
    };
    if (at(11, 2) > 23 || at(14, 2) > 59) return "Нет такого времени"_cp.str();
    if (at(6, 4) < 1801 || at(6, 4) > 9998) return "Год от 1801 до 9998"_cp.str();
    return "Нет такой даты"_cp.str();
}

// Every value has to be one the file can hold: a number above 65535, a sum
// beyond the file's digits or a day that does not exist (31.02) is refused,
// said why in a box, and asked again, the field showing the value as it
// still is.  An emptied number or sum field is 0.  Sets the member and
// returns true once a value is accepted; false on Escape, the member
// unchanged.
bool ask_until_valid(registry& reg, const field_dialog& d) {
    window dialog(6, 5, 11, 35);
    for (;;) {
        const std::string shown = member_text(reg, d.member);
        std::string text = shown;
        if (!ask(dialog, d, text)) return false;
        // Accepted as shown: the stored value stays as it is, seconds and
        // all, and the save does not write it; typed back to the text the
        // file's value shows, it is that value again.
        if (text == shown) return true;
        registry loaded(reg.path);
        loaded.load_image(reg.image());
        if (text == member_text(loaded, d.member)) {
            std::visit([&](auto member) { reg.*member = loaded.*member; }, d.member);
            return true;
        }
        if (set_member(reg, d.member, text.empty() ? "0" : text)) return true;
        if (input_lost()) return false;
        message_box why(6, 5, 11, 35, refusal(d, text));
        why.show();
    }
}

// Lowering the shift number by two or more drops the shifts in between;
// the user is told which before the number is stored.
void edit_shift(registry& reg, const field_dialog& d) {
    const int old = reg.shift;
    if (!ask_until_valid(reg, d)) return;
    const int number = reg.shift;
    if (number + 1 < old) {
        message_box notice(6, 5, 11, 35,
                           "Cмены с "_cp.str() + anyToWString<int>(number + 1) + " по "_cp.str() +
                               anyToWString<int>(old) + "\nбудут удалены"_cp.str());
        notice.show();
    }
}

void edit(registry& reg, const field_dialog& d) {
    if (d.id == 2)
        edit_shift(reg, d);
    else
        ask_until_valid(reg, d);
}

// Returns the id of the menu entry the user chose.
int choose(const registry& reg) {
    menu m(1, 1, 20, 40);
    for (const field_dialog& d : dialogs) m.add_item(std::string(d.label) + member_text(reg, d.member), d.id);
    m.add_item("Запись и выход"_cp, save_and_leave);
    m.add_item("Выход без сохранения"_cp, leave_without_saving);
    return m.walk();
}

// What a save made apart left: whether it was made, the warnings it gave,
// and the "Error: " line that ended it when it failed.
struct save_outcome {
    bool saved;
    std::string warnings, error;
};

// The save, made in a process of its own: every failure of the register's
// code ends the process it happens in (fail()), and here that must end the
// save, not the session, so that no typed value is lost to a lock the cash
// desk held too long or a directory that cannot be written.  The child
// writes nothing to the terminal: what it says on standard error comes back
// through a pipe.  Where no process can be made, the save is made here, as
// before.
save_outcome save_apart(registry& reg) {
    int out[2];
    std::fflush(nullptr);
    const pid_t pid = pipe2(out, O_CLOEXEC) == 0 ? fork() : -1;
    if (pid < 0) {
        reg.save();
        return {true, "", ""};
    }
    if (pid == 0) {
        on_failure(nullptr);  // the terminal is the session's, not this process's
        take_warnings();      // the session shows its own
        dup2(out[1], STDERR_FILENO);
        reg.save();
        show_warnings();
        std::fflush(stderr);
        _exit(0);
    }
    close(out[1]);
    std::string said;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;  // a signal for the session; the save goes on
        if (n <= 0) break;
        said.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    save_outcome o{WIFEXITED(status) && WEXITSTATUS(status) == 0, said, ""};
    if (!o.saved) {
        // The error is the last line; a child ended otherwise says nothing.
        const std::size_t at = o.warnings.rfind("Error: ");
        o.error = at == std::string::npos ? "Error: can't write file " + escaped(reg.path) + "\n" : o.warnings.substr(at);
        o.warnings.resize(at == std::string::npos ? o.warnings.size() : at);
    }
    return o;
}

// `text` in lines of at most `width` bytes, broken at blanks where it can be.
std::string wrapped(const std::string& text, std::size_t width) {
    std::string out, line;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(at, end - at);
        at = end + 1;
        while (word.size() > width) {
            if (!line.empty()) out += line + "\n", line.clear();
            out += word.substr(0, width) + "\n";
            word.erase(0, width);
        }
        if (!line.empty() && line.size() + 1 + word.size() > width) out += line + "\n", line.clear();
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line;
}

// A save that failed: said in a box over the menu, the error line as it
// would stand on standard error.
void show_failed_save(const std::string& error) {
    std::string line = error;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    message_box notice(4, 2, 15, 39, "Запись не выполнена:"_cp.str() + "\n" + wrapped(line, 36));
    notice.show();
}

// Interrupt, quit, terminate and hang-up end the session without saving, on a
// restored terminal, with status 1.
void on_stop_signal(int) { stop_input(); }

void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the blocked key read has to return
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &sa, nullptr);
}

}  // namespace

void cui_session() {
    // Before the register is touched: an editor that cannot be shown must
    // not have created one.  The menu needs rows 1 to 20, columns 1 to 40.
    require_terminal({21, 41});
    init();
    on_failure(end_session);
    catch_stop_signals();

    registry reg(rooted(register_file));
    // Only where no register is is a blank one made; an unreadable one holds
    // counters that must not be lost, and load() reports it.
    reg.create();
    reg.load();
    // The cash desk program may be running on the same file: say so once,
    // before anything is changed.
    if (const auto other = find_holder(reg.path)) {
        message_box notice(6, 5, 11, 35,
                           other->pid ? "Реестр открыт программой\n"_cp.str() + escaped(other->name) + " " +
                                            std::to_string(other->pid)
                                      : "Реестр, возможно, открыт\nдругой программой"_cp.str());
        notice.show();
    }
    // A register --verify would fault is shown as it reads, once said so;
    // the line on standard error waits for the screen to end.
    if (reg.damaged()) {
        warn("Warning: file %s is damaged; tarnex --verify %s lists what is wrong\n", reg.path, reg.path);
        message_box notice(6, 5, 11, 35, "Реестр повреждён\nсм. tarnex --verify"_cp.str());
        notice.show();
    }

    bool saved = false;
    std::string failed;  // the error of the last save that failed
    while (!input_lost()) {
        const int id = choose(reg);
        if (id >= 1 && id <= static_cast<int>(dialogs.size())) {
            edit(reg, dialogs[static_cast<std::size_t>(id - 1)]);
            continue;
        }
        if (id == save_and_leave && !input_lost()) {
            const save_outcome o = save_apart(reg);
            add_warning_lines(o.warnings);
            saved = o.saved;
            failed = o.error;
            // Not made: said, and back to the menu with every edit kept, to
            // save again or leave without saving.
            if (!saved && !input_lost()) {
                show_failed_save(o.error);
                continue;
            }
        }
        break;
    }

    end_session();
    on_failure(nullptr);
    show_warnings();
    // A save that failed, then left, is still a failure, said as it would
    // have been without the editor.
    if (!saved && !failed.empty()) {
        std::fputs(failed.c_str(), stderr);
        std::exit(1);
    }
    // A signal held during the save lands once it is made: the session ends
    // as a save does, not with the status of one left without saving.
    if (input_lost() && !saved) std::exit(1);
}
