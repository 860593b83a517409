// The journal file, "cash.reg.journal" beside the register.
//
// It is the string "tarnex journal 1\n", then the records, oldest first, one
// after the other.  A record, all numbers little-endian:
//
//   offset  size  content
//        0     4  "TXJR"
//        4     4  n, the record's size in bytes, these four included
//        8     8  the change's number: one more than the record before's
//       16     8  its time, seconds since the epoch
//       24     1  kind: 0 set, 1 create, 2 undo, 3 not made
//       25     8  the change it refers to (undo, not made), else 0
//       33     8  the register's length before the change
//       41     8  its length after
//       49     2  the mask of the fields whose bytes the change altered,
//                 bit i for register_fields[i]
//       51    50  every field's bytes before, in the order of register_fields
//      101    50  every field's bytes after
//      151     1  1 when the whole image follows, else 0
//      152  1296  (whole only) the image before, zeros past a shorter file
//            1296  (whole only) the image after
//               4  (whole only) t, then t bytes: what the change cut from
//                  the end of a longer file
//                  six texts, each a 2-byte length and its bytes: the user,
//                  SUDO_USER, the operator, the terminal, the SSH client's
//                  address, the reason
//      n-4     4  CRC-32 (the zlib one) of bytes 0 to n-5
//
// A change appends its record and syncs it before it writes the register,
// so a record that is there is a change that may have been made, in part or
// whole; the next writing run looks (registry::lock).  A power cut during the
// append leaves a last record whose size or checksum is wrong: it, and
// anything after it, is no record, and the next append writes over it.
// The journal keeps at most max_records; then it is rewritten with the
// newest kept_records, under a temporary name renamed over it.
#include "register/journal.h"

#include "register/failure.h"
#include "register/members.h"
#include "register/registry.h"
#include "register/text_forms.h"
#include "register/trail.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

constexpr std::string_view header = "tarnex journal 1\n";
constexpr std::string_view magic = "TXJR";
constexpr std::size_t fixed_size = 152;
constexpr std::size_t max_records = 2000, kept_records = 1000;
// A journal past this size is not read: no record of tarnex's makes one.
constexpr std::size_t max_journal = 64u << 20;

constexpr const char* read_error = "Error: can't open file %s for read\n";
constexpr const char* open_error = "Error: can't open file %s for write\n";
constexpr const char* write_error = "Error: can't write file %s\n";

constexpr std::array<std::uint32_t, 256> crc_table = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}();

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char b : bytes) c = crc_table[(c ^ static_cast<unsigned char>(b)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put(std::string& out, std::uint64_t value, std::size_t width) {
    unsigned char bytes[8];
    write_le(value, bytes, width);
    out.append(reinterpret_cast<const char*>(bytes), width);
}

template <std::size_t N>
void put(std::string& out, const std::array<unsigned char, N>& bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), N);
}

std::string encode(const journal_record& r) {
    std::string out(magic);
    put(out, 0, 4);  // the size, set below
    put(out, r.number, 8);
    put(out, static_cast<std::uint64_t>(r.time), 8);
    put(out, static_cast<std::uint8_t>(r.kind), 1);
    put(out, r.refers, 8);
    put(out, r.length_before, 8);
    put(out, r.length_after, 8);
    put(out, r.fields.to_ulong(), 2);
    put(out, r.before);
    put(out, r.after);
    put(out, r.whole ? 1 : 0, 1);
    if (r.whole) {
        put(out, r.image_before);
        put(out, r.image_after);
        put(out, r.tail.size(), 4);
        out += r.tail;
    }
    for (const std::string* text : {&r.user, &r.sudo_user, &r.operator_name, &r.tty, &r.origin, &r.reason}) {
        const std::string_view t = std::string_view(*text).substr(0, 0xFFFF);
        put(out, t.size(), 2);
        out += t;
    }
    unsigned char size[4];
    write_le(out.size() + 4, size, 4);
    std::memcpy(out.data() + 4, size, 4);
    put(out, crc32(out), 4);
    return out;
}

// Reads what a record's bytes hold, refusing any that overruns them.
class reader {
public:
    explicit reader(std::string_view bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }
    std::uint64_t number(std::size_t width) {
        if (!take(width)) return 0;
        return read_le(reinterpret_cast<const unsigned char*>(bytes_.data()) + at_ - width, width);
    }
    template <std::size_t N>
    void bytes(std::array<unsigned char, N>& into) {
        if (take(N)) std::memcpy(into.data(), bytes_.data() + at_ - N, N);
    }
    std::string text(std::size_t size) { return take(size) ? std::string(bytes_.substr(at_ - size, size)) : ""; }
    bool at_end() const { return at_ == bytes_.size(); }

private:
    bool take(std::size_t n) {
        ok_ = ok_ && n <= bytes_.size() - at_;
        if (ok_) at_ += n;
        return ok_;
    }
    std::string_view bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

// The record that starts `bytes`, and its size; nothing when none does.
std::optional<journal_record> decode(std::string_view bytes, std::size_t& size) {
    if (bytes.size() < fixed_size + 16 || bytes.substr(0, 4) != magic) return std::nullopt;
    size = read_le(reinterpret_cast<const unsigned char*>(bytes.data()) + 4, 4);
    if (size < fixed_size + 16 || size > bytes.size()) return std::nullopt;
    const std::string_view body = bytes.substr(0, size - 4);
    if (crc32(body) != read_le(reinterpret_cast<const unsigned char*>(bytes.data()) + size - 4, 4))
        return std::nullopt;
    reader in(body.substr(8));
    journal_record r;
    r.number = in.number(8);
    r.time = static_cast<std::int64_t>(in.number(8));
    const std::uint64_t kind = in.number(1);
    r.refers = in.number(8);
    r.length_before = in.number(8);
    r.length_after = in.number(8);
    const std::uint64_t mask = in.number(2);
    in.bytes(r.before);
    in.bytes(r.after);
    const std::uint64_t whole = in.number(1);
    if (kind > 3 || mask >> register_fields.size() || whole > 1) return std::nullopt;
    r.kind = static_cast<change_kind>(kind);
    r.fields = field_set(mask);
    r.whole = whole == 1;
    if (r.whole) {
        in.bytes(r.image_before);
        in.bytes(r.image_after);
        r.tail = in.text(in.number(4));
    }
    for (std::string* text : {&r.user, &r.sudo_user, &r.operator_name, &r.tty, &r.origin, &r.reason})
        *text = in.text(in.number(2));
    if (!in.ok() || !in.at_end()) return std::nullopt;
    return r;
}

// The records in `bytes` (a whole journal file), and where each ends.
std::vector<journal_record> decode_all(std::string_view bytes, std::vector<std::size_t>* ends) {
    std::vector<journal_record> records;
    std::size_t at = header.size();
    for (std::size_t size = 0; at < bytes.size(); at += size) {
        std::optional<journal_record> r = decode(bytes.substr(at), size);
        if (!r) break;
        records.push_back(std::move(*r));
        if (ends) ends->push_back(at + size);
    }
    return records;
}

// The whole of the file open at `fd`; false when it cannot be read.
bool read_all(int fd, std::string& bytes) {
    bytes.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > max_journal) return false;
    }
}

constexpr int open_flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

std::string journal_path(const std::string& register_path) { return register_path + ".journal"; }

journal_record make_record(const register_image& before, std::size_t length_before, const register_image& after,
                           std::size_t length_after, change_kind kind, bool whole) {
    journal_record r;
    r.time = static_cast<std::int64_t>(std::time(nullptr));
    r.kind = kind;
    r.length_before = length_before;
    r.length_after = length_after;
    std::size_t at = 0;
    for (std::size_t i = 0; i < register_fields.size(); at += register_fields[i].width, ++i) {
        const register_field& f = register_fields[i];
        std::memcpy(r.before.data() + at, before.data() + f.offset, f.width);
        std::memcpy(r.after.data() + at, after.data() + f.offset, f.width);
        r.fields[i] = std::memcmp(r.before.data() + at, r.after.data() + at, f.width) != 0;
    }
    r.whole = whole;
    if (whole) {
        r.image_before = before;
        r.image_after = after;
    }
    trail_who who = this_run();
    r.user = std::move(who.user);
    r.sudo_user = std::move(who.sudo_user);
    r.operator_name = std::move(who.operator_name);
    r.tty = std::move(who.tty);
    r.origin = std::move(who.origin);
    r.reason = std::move(who.reason);
    return r;
}

std::vector<journal_record> read_journal(const std::string& register_path) {
    const std::string path = journal_path(register_path);
    const int fd = open(path.c_str(), O_RDONLY | open_flags);
    // A link at the name is none of ours, and no journal.
    if (fd < 0 && (errno == ENOENT || errno == ELOOP)) return {};
    struct stat st;
    std::string bytes;
    const bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read_all(fd, bytes);
    if (fd >= 0) close(fd);
    if (!ok) fail(read_error, path);
    if (bytes.compare(0, header.size(), header) != 0) return {};
    return decode_all(bytes, nullptr);
}

journal::journal(std::string register_path, const struct stat& like)
    : register_path_(std::move(register_path)), path_(journal_path(register_path_)), like_(like) {
    fd_ = open(path_.c_str(), O_RDWR | open_flags);
    // A link, a name the caller may not write, or none at all: the first
    // append makes the journal anew.
    if (fd_ < 0 && (errno == ENOENT || errno == ELOOP || errno == EACCES)) {
        fresh_ = true;
        return;
    }
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) fail(open_error, path_);
    std::string bytes;
    if (!read_all(fd_, bytes)) fail(read_error, path_);
    // A name of our own that is the register, another file's second name or
    // something else's content is replaced, never written into.
    const bool shared = st.st_nlink > 1 || (st.st_dev == like.st_dev && st.st_ino == like.st_ino);
    if (shared || bytes.compare(0, header.size(), header) != 0) {
        close(fd_);
        fd_ = -1;
        fresh_ = true;
        return;
    }
    records_ = decode_all(bytes, &ends_);
    end_ = ends_.empty() ? header.size() : ends_.back();
    raw_ = std::move(bytes);
    raw_.resize(end_);
}

journal::~journal() {
    if (fd_ >= 0) close(fd_);
}

std::optional<std::uint64_t> journal::append(journal_record r) {
    r.number = records_.empty() ? 1 : records_.back().number + 1;
    const std::string bytes = encode(r);
    if (fresh_ || records_.size() >= max_records) {
        // Made anew, or rewritten with the newest records: under a temporary
        // name, synced, renamed in and the directory synced, so that a power
        // cut leaves the old journal or the new one.
        std::string content(header);
        std::size_t keep_from = header.size();
        if (!fresh_) {
            keep_from = ends_[records_.size() - kept_records - 1];
            content.append(raw_, keep_from, std::string::npos);
        }
        content += bytes;
        staged_file file(path_, content, staged_file::kind::owned, &like_);
        if (file.in_place()) {
            // The directory is closed to the caller: an existing journal is
            // still appended to; none can be made.
            if (fresh_) return std::nullopt;
        } else {
            file.put_in_place();
            if (fd_ >= 0) close(fd_);
            fd_ = -1;  // opened again only if this run appends once more
            raw_ = std::move(content);
            end_ = raw_.size();
            fresh_ = false;
            ends_.clear();
            records_ = decode_all(raw_, &ends_);
            return records_.back().number;
        }
    }
    // A recovery's mark that rewrote the journal, then the change itself.
    if (fd_ < 0 && !fresh_) fd_ = open(path_.c_str(), O_RDWR | open_flags);
    bool ok = fd_ >= 0;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(end_ + done));
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    // What a torn append left past the end is no record: cut, so that the
    // journal ends where its last record does.
    struct stat st;
    ok = ok && fstat(fd_, &st) == 0;
    if (ok && static_cast<std::size_t>(st.st_size) > end_ + bytes.size())
        ok = ftruncate(fd_, static_cast<off_t>(end_ + bytes.size())) == 0;
    if (!ok || fdatasync(fd_) != 0) fail(write_error, path_);
    raw_ += bytes;
    end_ += bytes.size();
    ends_.push_back(end_);
    records_.push_back(std::move(r));
    return records_.back().number;
}

void journal::probe() const {
    if (fresh_ || records_.size() >= max_records) probe_owned(path_);
}

register_image field_image(const std::array<unsigned char, 50>& bytes) {
    register_image image{};
    std::size_t at = 0;
    for (const register_field& f : register_fields) {
        std::memcpy(image.data() + f.offset, bytes.data() + at, f.width);
        at += f.width;
    }
    return image;
}

namespace {

// A part of the register a record altered: a field, or, in a whole record,
// one byte outside the fields.
struct piece {
    std::size_t offset, width;
    const unsigned char *before, *after;
    const char* name;  // the field's; nullptr for a byte outside them
};

template <typename F>
void for_each_piece(const journal_record& r, F&& fn) {
    const auto visit = [&](const piece& p) {
        if (std::memcmp(p.before, p.after, p.width) != 0) fn(p);
    };
    if (!r.whole) {
        std::size_t at = 0;
        for (std::size_t i = 0; i < register_fields.size(); at += register_fields[i].width, ++i)
            if (r.fields[i]) visit({register_fields[i].offset, register_fields[i].width, r.before.data() + at,
                                    r.after.data() + at, register_fields[i].name});
        return;
    }
    std::size_t field = 0;
    for (std::size_t at = 0; at < register_size;) {
        const bool starts = field < register_fields.size() && register_fields[field].offset == at;
        const std::size_t width = starts ? register_fields[field].width : 1;
        visit({at, width, r.image_before.data() + at, r.image_after.data() + at,
               starts ? register_fields[field].name : nullptr});
        at += width;
        field += starts;
    }
}

void widen(register_write& w, const piece& p) {
    w.from = std::min(w.from, p.offset);
    w.to = std::max(w.to, p.offset + p.width);
}

}  // namespace

journal_look look_at(const journal_record& r, const register_image& now, std::size_t length) {
    journal_look look;
    look.finish = {now, register_size, 0, length, {}};
    int done = 0, todo = 0;
    bool other_bytes = false;
    for_each_piece(r, [&](const piece& p) {
        const unsigned char* at = now.data() + p.offset;
        if (std::memcmp(at, p.after, p.width) == 0) {
            ++done;
        } else if (std::memcmp(at, p.before, p.width) == 0) {
            ++todo;
            std::memcpy(look.finish.next.data() + p.offset, p.after, p.width);
            widen(look.finish, p);
            if (p.name && (look.fields.empty() || look.fields.back() != p.name)) look.fields.push_back(p.name);
            other_bytes = other_bytes || !p.name;
        }
    });
    if (other_bytes) look.fields.push_back("other bytes");
    if (look.finish.from > look.finish.to) look.finish.from = look.finish.to = 0;
    look.finish.length = std::max(length, look.finish.to);
    if (r.length_after < r.length_before && length == r.length_after) ++done;
    if (r.length_after < r.length_before && length == r.length_before) {
        ++todo;
        look.finish.length = r.length_after;
        look.fields.push_back("length");
    }
    look.is = todo == 0   ? journal_look::state::whole
              : done == 0 ? journal_look::state::never_made
                          : journal_look::state::interrupted;
    return look;
}

std::optional<interruption> interrupted_change(const std::string& path) {
    const std::vector<journal_record> records = read_journal(path);
    if (records.empty() || records.back().kind == change_kind::not_made) return std::nullopt;
    std::size_t length = 0;
    const register_image now = read_image(path, &length);
    journal_look look = look_at(records.back(), now, length);
    if (look.is != journal_look::state::interrupted) return std::nullopt;
    return interruption{records.back().number, std::move(look.fields)};
}

bool undoable(const std::vector<journal_record>& records, std::size_t index) {
    const journal_record& r = records[index];
    if (r.kind == change_kind::not_made) return false;
    for (std::size_t i = index + 1; i < records.size(); ++i)
        if (records[i].kind == change_kind::not_made && records[i].refers == r.number) return false;
    return true;
}

register_write reverse(const journal_record& r, const register_image& now, std::size_t length,
                       const std::string& path, const char* since) {
    register_write w{now, register_size, 0, length, {}};
    const std::string refused = std::string("Error: field %s of file %s changed since ") + since + "\n";
    for_each_piece(r, [&](const piece& p) {
        // An undo never cuts: past the old end, only the fields go back (to
        // the zeros a shorter file reads as), the rest stays a register's.
        if (!p.name && p.offset >= r.length_before) return;
        const bool holds = std::memcmp(now.data() + p.offset, p.after, p.width) == 0;
        if (!holds && p.name) fail(refused.c_str(), p.name, path);
        // A byte outside the fields that holds something else is the
        // cash desk's: it stays.
        if (!holds) return;
        std::memcpy(w.next.data() + p.offset, p.before, p.width);
        widen(w, p);
    });
    if (w.from > w.to) w.from = w.to = 0;
    w.length = std::max(length, w.to);
    // What a create cut from a longer file goes back after the image, while
    // nothing has grown the file since.
    if (!r.tail.empty() && r.length_after == register_size && length == register_size) {
        w.tail = r.tail;
        w.length = register_size + r.tail.size();
    }
    return w;
}

namespace {

std::string local_time(std::int64_t t) {
    const std::time_t when = static_cast<std::time_t>(t);
    std::tm tm{};
    char text[32];
    if (!localtime_r(&when, &tm) || std::strftime(text, sizeof text, "%d.%m.%Y %H:%M:%S", &tm) == 0) return "?";
    return text;
}

struct value_change {
    const char* name;
    register_member member;
};

// The values whose stored bytes the record altered, in file order.
std::vector<value_change> altered(const journal_record& r) {
    std::vector<value_change> values;
    for (std::size_t i = 0; i < register_fields.size(); ++i) {
        const register_field& f = register_fields[i];
        if (!r.fields[i]) continue;
        if (!values.empty() && values.back().member == f.member) continue;  // the date and the time are one value
        values.push_back({f.name, f.member});
    }
    return values;
}

std::string optional_json(const std::string& text) { return text.empty() ? "null" : json_string(text); }

const char* kind_name(change_kind kind) {
    switch (kind) {
    case change_kind::create: return "create";
    case change_kind::undo: return "undo";
    case change_kind::not_made: return "not made";
    case change_kind::set: break;
    }
    return "set";
}

}  // namespace

std::string history_line(const journal_record& r, bool made) {
    registry was(""), now("");
    was.load_image(field_image(r.before));
    now.load_image(field_image(r.after));
    std::string line = std::to_string(r.number) + " " + local_time(r.time) + ": " +
                       who_text({r.user, r.sudo_user, r.operator_name, r.tty, r.origin, r.reason}) + ":";
    if (!made) line += " not made;";
    if (r.kind == change_kind::create) line += " create;";
    if (r.kind == change_kind::undo) line += " undo " + std::to_string(r.refers) + ";";
    const char* sep = " ";
    for (const value_change& v : altered(r)) {
        line.append(sep).append(change_text(was, now, v.member));
        sep = ", ";
    }
    if (r.length_after != r.length_before)
        line.append(sep).append("length ").append(std::to_string(r.length_before)).append(" -> ").append(
            std::to_string(r.length_after));
    return line;
}

std::string history_json(const journal_record& r, bool made) {
    registry was(""), now("");
    was.load_image(field_image(r.before));
    now.load_image(field_image(r.after));
    std::string json = "{\"number\": " + std::to_string(r.number) + ", \"time\": " +
                       optional_json(iso_date_time(static_cast<long>(r.time))) + ", \"action\": \"" +
                       kind_name(r.kind) + "\", \"undoes\": " +
                       (r.kind == change_kind::undo ? std::to_string(r.refers) : "null") +
                       ", \"made\": " + (made ? "true" : "false");
    const std::pair<const char*, const std::string*> texts[] = {
        {"user", &r.user},     {"sudo_user", &r.sudo_user}, {"operator", &r.operator_name},
        {"tty", &r.tty},       {"from", &r.origin},         {"reason", &r.reason},
    };
    for (const auto& [key, text] : texts) json.append(", \"").append(key).append("\": ").append(optional_json(*text));
    json.append(", \"length_before\": ").append(std::to_string(r.length_before));
    json.append(", \"length_after\": ").append(std::to_string(r.length_after)).append(", \"changes\": [");
    const char* sep = "";
    for (const value_change& v : altered(r)) {
        json.append(sep).append("{\"name\": \"").append(v.name).append("\", \"before\": ");
        json.append(member_json(was, v.member)).append(", \"after\": ").append(member_json(now, v.member)).append("}");
        sep = ", ";
    }
    return json + "]}";
}
