#include "register/trail.h"

#include "register/members.h"
#include "register/text_forms.h"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

std::string kept_path(const std::string& register_path) { return register_path + "-"; }

std::string record_path(const std::string& register_path) { return kept_path(register_path) + ".last"; }

namespace {

// A record is these bytes, then the field mask (2 bytes), the two lengths
// (8 bytes each) and the fifty field bytes before and after; little-endian.
constexpr std::string_view record_magic = "tarnex last change 1\n";
constexpr std::size_t record_size = record_magic.size() + 2 + 8 + 8 + 50 + 50;

}  // namespace

std::string encode_record(const register_image& before, std::size_t length_before, const register_image& after,
                          std::size_t length_after) {
    change_record r;
    r.length_before = length_before;
    r.length_after = length_after;
    std::size_t at = 0;
    for (std::size_t i = 0; i < register_fields.size(); at += register_fields[i].width, ++i) {
        const register_field& f = register_fields[i];
        std::memcpy(r.before.data() + at, before.data() + f.offset, f.width);
        std::memcpy(r.after.data() + at, after.data() + f.offset, f.width);
        r.fields[i] = std::memcmp(r.before.data() + at, r.after.data() + at, f.width) != 0;
    }
    unsigned char numbers[18];
    write_le(r.fields.to_ulong(), numbers, 2);
    write_le(r.length_before, numbers + 2, 8);
    write_le(r.length_after, numbers + 10, 8);
    std::string out(record_magic);
    out.append(reinterpret_cast<const char*>(numbers), sizeof numbers);
    out.append(reinterpret_cast<const char*>(r.before.data()), r.before.size());
    out.append(reinterpret_cast<const char*>(r.after.data()), r.after.size());
    return out;
}

std::optional<change_record> decode_record(const std::string& bytes) {
    if (bytes.size() != record_size || bytes.compare(0, record_magic.size(), record_magic) != 0) return std::nullopt;
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data()) + record_magic.size();
    change_record r;
    const std::uint64_t mask = read_le(at, 2);
    if (mask >> register_fields.size()) return std::nullopt;
    r.fields = field_set(mask);
    r.length_before = read_le(at + 2, 8);
    r.length_after = read_le(at + 10, 8);
    std::memcpy(r.before.data(), at + 18, r.before.size());
    std::memcpy(r.after.data(), at + 18 + r.before.size(), r.after.size());
    return r;
}

namespace {

std::string user_name(uid_t uid) {
    if (const passwd* pw = getpwuid(uid)) return pw->pw_name;
    return std::to_string(uid);
}

std::string terminal() {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (const char* name = ttyname(fd)) return name;
    return "none";
}

std::string reason, operator_name;  // of this run's changes

}  // namespace

void set_trail_reason(std::string text) { reason = std::move(text); }

void set_trail_operator(std::string name) { operator_name = std::move(name); }

trail_who this_run() {
    trail_who who{user_name(getuid()), "", operator_name, terminal(), "", reason};
    if (const char* sudo = std::getenv("SUDO_USER")) who.sudo_user = sudo;
    // The client's address is the first of the four words sshd sets.
    if (const char* ssh = std::getenv("SSH_CONNECTION"); ssh && *ssh != ' ')
        who.origin = std::string_view(ssh).substr(0, std::string_view(ssh).find(' '));
    return who;
}

std::string who_text(const trail_who& who) {
    std::string line = "user " + escaped(who.user);
    if (!who.sudo_user.empty()) line.append(", SUDO_USER ").append(escaped(who.sudo_user));
    if (!who.operator_name.empty()) line.append(", operator ").append(escaped(who.operator_name));
    line.append(", tty ").append(escaped(who.tty));
    if (!who.origin.empty()) line.append(", from ").append(escaped(who.origin));
    if (!who.reason.empty()) {
        line.append(", reason \"");
        for (const char c : escaped(who.reason)) {
            if (c == '"') line += '\\';
            line += c;
        }
        line.append("\"");
    }
    return line;
}

std::string trail_line(const std::string& path, const char* action, const registry& before, const registry& after,
                       bool kept) {
    // A log is read far from the shell that ran the command: name the file
    // from the root.
    std::string line = path;
    if (line.empty() || line.front() != '/') {
        char* here = getcwd(nullptr, 0);
        if (here) line = std::string(here).append("/").append(path);
        std::free(here);
    }
    line = escaped(line).append(": ").append(who_text(this_run())).append(":");
    if (action) line.append(" ").append(action).append(";");
    if (!kept) line.append(" previous version not kept;");
    const char* sep = " ";
    for (const std::string& value : changed_values(before, after)) {
        line.append(sep).append(value);
        sep = ", ";
    }
    // Only the length changed (a field written past the end of a shorter
    // file), or nothing the values hold: the line says what was written.
    if (before.length() != after.length())
        line.append(sep).append("length ").append(std::to_string(before.length())).append(" -> ").append(
            std::to_string(after.length()));
    else if (*sep == ' ')
        line += " no value changed";
    return line;
}

void log_line(const std::string& line) {
    openlog("tarnex", LOG_PID, LOG_USER);
    syslog(LOG_NOTICE, "%s", line.c_str());
}
