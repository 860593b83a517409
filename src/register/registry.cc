// The register object; the file's layout is described in fields.cc.
#include "register/registry.h"

#include "register/file_io.h"
#include "register/journal.h"
#include "register/paths.h"
#include "register/failure.h"
#include "register/trail.h"
#include "register/verify.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// One slip of the tab key must not write into a text or system file: a
// change is refused, before anything is staged, on a file that holds a byte
// no register has at a block start or at the end.
void require_register_shape(const register_image& image, std::size_t length, const std::string& path) {
    const std::optional<std::size_t> at = foreign_byte(image, length);
    if (!at) return;
    char format[120];
    std::snprintf(format, sizeof format,
                  "Error: file %%s is not a register (offset %zu holds 0x%02X); --create makes it one\n", *at,
                  static_cast<unsigned>(image[*at]));
    fail(format, path);
}

}  // namespace

registry::registry(std::string p) : path(std::move(p)) {}

registry::~registry() = default;

bool registry::create() {
    held_signals hold;
    // Made whole under another name and linked in: no crash leaves a part of
    // a register, and one that appeared meanwhile is never blanked.
    if (!make_register(path, empty_reg)) return false;
    lock_ = std::make_unique<register_lock>(path, false);
    journal_ = std::make_unique<journal>(path, lock_->status());
    const register_image none{};
    registry was(path), now(path);
    was.decode(none);
    was.length_ = 0;
    now.decode(empty_reg);
    const bool kept = journal_->append(make_record(none, 0, empty_reg, register_size, change_kind::create, true)).has_value();
    log_line(trail_line(path, "create", was, now, kept));
    lock_->unlock();
    lock_.reset();
    journal_.reset();
    return true;
}

void registry::lock() {
    if (lock_) return;
    lock_ = std::make_unique<register_lock>(path, false);
    journal_ = std::make_unique<journal>(path, lock_->status());
    journal_->probe();
    recover();
}

// Before anything else a writing run does, under the lock: the newest change
// of the journal is whole, never made (marked so, for an undo to pass over),
// or interrupted, and then finished here, said and logged.
void registry::recover() {
    const std::vector<journal_record>& records = journal_->records();
    if (records.empty() || records.back().kind == change_kind::not_made) return;
    const journal_record& last = records.back();
    const journal_look look = look_at(last, lock_->on_disk(), lock_->length());
    if (look.is == journal_look::state::whole) return;
    const std::uint64_t number = last.number;
    if (look.is == journal_look::state::never_made) {
        journal_record marker = make_record(lock_->on_disk(), lock_->length(), lock_->on_disk(), lock_->length(),
                                            change_kind::not_made, false);
        marker.refers = number;
        journal_->append(std::move(marker));
        return;
    }
    std::string fields;
    for (const std::string& f : look.fields) fields.append(fields.empty() ? "" : ", ").append(f);
    registry was(path);
    was.decode(lock_->on_disk());
    was.length_ = lock_->length();
    lock_->write(look.finish.next, look.finish.from, look.finish.to, look.finish.length, look.finish.tail);
    wrote_ = true;
    decode(look.finish.next);
    length_ = look.finish.length;
    log_line(trail_line(path, ("finished an interrupted change " + std::to_string(number) + ": " + fields).c_str(),
                        was, *this));
    warn("Warning: finished an interrupted change %s of file %s: %s\n", std::to_string(number), path, fields);
}

void registry::load_image(const register_image& image) { decode(image); }

void registry::load() {
    std::size_t length = 0;
    decode(lock_ ? lock_->on_disk() : read_image(path, &length));
    length_ = lock_ ? lock_->length() : length;
}

void registry::clear() {
    decode(empty_reg);
    length_ = register_size;
    blank_ = true;
}

bool registry::damaged() const { return !verify_image(image_, length_).empty(); }

void registry::require_register() const { require_register_shape(image_, length_, path); }

void registry::decode(const register_image& image) {
    image_ = image;
    blank_ = false;
    // Signed, as save writes them: a date before the day count's start is
    // stored as a negative day and must read back as the same date.
    std::int64_t date = 0, time = 0;
    for (const register_field& f : register_fields) {
        const unsigned char* at = image.data() + f.offset;
        const std::uint64_t stored = read_le(at, f.width);
        switch (f.enc) {
        case encoding::number:
            this->*std::get<std::uint16_t registry::*>(f.member) = static_cast<std::uint16_t>(stored);
            break;
        case encoding::number_not_zero:
            this->*std::get<std::uint16_t registry::*>(f.member) = stored ? static_cast<std::uint16_t>(stored) : 1;
            break;
        case encoding::amount:
            this->*std::get<double registry::*>(f.member) = buffToDouble(at);
            break;
        case encoding::clarion_date:
            date = static_cast<std::int32_t>(stored);
            break;
        case encoding::clarion_time:
            time = static_cast<std::int32_t>(stored);
            break;
        }
    }
    // The date first, then the time of day set on that day.
    shift_begin = date == 0 && time == 0 ? 0 : ClarionTimeToDateTime(time, ClarionDateToDateTime(date, 0));
}

void registry::encode(std::size_t field, register_image& image) const {
    const register_field& f = register_fields[field];
    unsigned char* at = image.data() + f.offset;
    switch (f.enc) {
    case encoding::number:
    case encoding::number_not_zero:
        write_le(this->*std::get<std::uint16_t registry::*>(f.member), at, f.width);
        break;
    case encoding::amount:
        doubleToBuff(this->*std::get<double registry::*>(f.member), at);
        break;
    case encoding::clarion_date:
        write_le(shift_begin ? static_cast<std::uint64_t>(DateTimeToClarionDate(shift_begin)) : 0, at, f.width);
        break;
    case encoding::clarion_time:
        write_le(shift_begin ? static_cast<std::uint64_t>(DateTimeToClarionTime(shift_begin)) : 0, at, f.width);
        break;
    }
}

field_set registry::changed() const {
    registry before(path);
    before.decode(image_);
    field_set set;
    for (std::size_t i = 0; i < register_fields.size(); ++i)
        set[i] = std::visit([&](auto member) { return this->*member != before.*member; }, register_fields[i].member);
    return set;
}

register_image registry::encoded(field_set fields) const {
    register_image next = blank_ ? empty_reg : image_;
    for (std::size_t i = 0; i < register_fields.size(); ++i)
        if (blank_ || fields[i]) encode(i, next);
    return next;
}

void registry::save() { save(changed()); }

void registry::save(field_set fields) {
    held_signals hold;
    lock();
    if (!blank_) require_register_shape(lock_->on_disk(), lock_->length(), path);
    register_image next = blank_ ? empty_reg : lock_->on_disk();
    if (blank_) fields.set();
    std::size_t from = next.size(), to = 0;
    for (std::size_t i = 0; i < register_fields.size(); ++i) {
        if (!fields[i]) continue;
        encode(i, next);
        from = std::min(from, register_fields[i].offset);
        to = std::max(to, register_fields[i].offset + register_fields[i].width);
    }
    if (blank_) from = 0, to = next.size();
    if (from > to) from = to = 0;
    // The cash code file names the desk the register then holds, as every
    // later read will see it: a stored 0 is desk 1.
    const std::uint64_t stored = read_le(next.data() + register_fields[0].offset, register_fields[0].width);
    const change c{next, from, to, blank_ ? next.size() : std::max(lock_->length(), to), {}};
    commit(c, stored ? static_cast<std::uint16_t>(stored) : 1, blank_ ? change_kind::create : change_kind::set);
}

registry::change registry::undo_change(const register_image& now, std::size_t length) const {
    constexpr const char* damaged = "Error: file %s- is damaged\n";
    const std::string kept = kept_path(path), noted = record_path(path);
    std::string image, record;
    struct stat st;
    if (lstat(kept.c_str(), &st) != 0 && errno == ENOENT) fail("Error: file %s has no change to undo\n", path);
    if (!read_owned(kept, image, register_size)) fail("Error: can't open file %s for read\n", kept);
    if (!read_owned(noted, record, register_size)) fail("Error: can't open file %s for read\n", noted);
    const std::optional<change_record> last = decode_record(record);
    if (image.size() != register_size || !last) fail(damaged, path);
    register_image old;
    std::memcpy(old.data(), image.data(), old.size());
    // The kept image is checked as the register it was: a shorter one's
    // missing bytes are no damage.
    const std::size_t was = std::min<std::size_t>(last->length_before, register_size);
    std::vector<std::string> findings = verify_image(old, was);
    // Sorted by offset, the length comes last: the record explains it.
    if (was < register_size && !findings.empty()) findings.pop_back();
    if (!findings.empty()) fail(damaged, path);

    change c{now, register_size, 0, length, {}};
    std::size_t at = 0;
    for (std::size_t i = 0; i < register_fields.size(); at += register_fields[i].width, ++i) {
        if (!last->fields[i]) continue;
        const register_field& f = register_fields[i];
        // The kept image and the record must belong to the same change.
        if (std::memcmp(old.data() + f.offset, last->before.data() + at, f.width) != 0) fail(damaged, path);
        if (std::memcmp(now.data() + f.offset, last->after.data() + at, f.width) != 0)
            fail("Error: field %s of file %s changed since the last change\n", f.name, path);
        std::memcpy(c.next.data() + f.offset, old.data() + f.offset, f.width);
        c.from = std::min(c.from, f.offset);
        c.to = std::max(c.to, f.offset + f.width);
    }
    if (c.from > c.to) c.from = c.to = 0;
    // Never cut: whatever the cash desk wrote since, beyond these fields,
    // stays.  A change that lengthened the register is undone by its fields.
    c.length = std::max(length, c.to);
    return c;
}

registry::change registry::journal_undo(const std::vector<journal_record>& records, std::uint64_t number,
                                        const register_image& now, std::size_t length, std::uint64_t& undone) const {
    std::size_t i = records.size();
    while (i-- > 0)
        if (undoable(records, i) && (number == 0 || records[i].number == number)) break;
    if (i < records.size()) {
        undone = records[i].number;
        const std::string since = number ? "change " + std::to_string(number) : "the last change";
        return reverse(records[i], now, length, path, since.c_str());
    }
    if (number) fail("Error: file %s has no change %s to undo\n", path, std::to_string(number));
    undone = 0;
    return undo_change(now, length);
}

void registry::undo(std::uint64_t number) {
    held_signals hold;
    lock();
    require_register_shape(lock_->on_disk(), lock_->length(), path);
    std::uint64_t undone = 0;
    const change c = journal_undo(journal_->records(), number, lock_->on_disk(), lock_->length(), undone);
    registry restored(path);
    restored.decode(c.next);
    commit(c, restored.cashcode, change_kind::undo, undone);
}

void registry::preview_undo(std::uint64_t number) {
    std::size_t length = 0;
    register_image now = read_image(path, &length);
    require_register_shape(now, length, path);
    // As the undo would find it: an interrupted change finished first, one
    // that never landed marked so.
    std::vector<journal_record> records = read_journal(path);
    if (!records.empty() && records.back().kind != change_kind::not_made) {
        const journal_look look = look_at(records.back(), now, length);
        if (look.is == journal_look::state::interrupted) {
            now = look.finish.next;
            length = look.finish.length;
        } else if (look.is == journal_look::state::never_made) {
            journal_record marker;
            marker.kind = change_kind::not_made;
            marker.refers = records.back().number;
            records.push_back(std::move(marker));
        }
    }
    std::uint64_t undone = 0;
    const change c = journal_undo(records, number, now, length, undone);
    decode(c.next);
    length_ = c.length;
}

// Makes the change with one outcome, under the lock, with the signals held:
// lock (and recover) -> journal -> write -> log -> cash code file.
// Everything that can fail is done before the register is written: the cash
// code file's new text is staged, and the change's record appended to the
// journal and synced, so that a crash at any later point leaves a change the
// next writing run finishes.  Once the register is written the change is
// logged, whatever follows.  A run that would change no byte writes nothing
// and records nothing.
void registry::commit(const change& c, std::uint16_t desk, change_kind kind, std::uint64_t refers) {
    const register_image before = lock_->on_disk();
    const std::size_t before_length = lock_->length();
    const bool writes = c.length != before_length || !c.tail.empty() ||
                        !std::equal(c.next.begin() + static_cast<std::ptrdiff_t>(c.from),
                                    c.next.begin() + static_cast<std::ptrdiff_t>(c.to),
                                    before.begin() + static_cast<std::ptrdiff_t>(c.from));
    staged_file code(rooted(cashcode_file), std::to_string(desk), staged_file::kind::followed);
    if (writes) {
        // A create, and any cut, keeps the whole image it replaces and the
        // bytes it cuts, so that an undo can put back a trading register.
        const bool cut = c.length < before_length;
        journal_record r = make_record(before, before_length, c.next, c.length, kind,
                                       kind == change_kind::create || cut || !c.tail.empty());
        r.refers = refers;
        if (cut) r.tail = lock_->tail();
        const bool kept = journal_->append(std::move(r)).has_value();
        if (!kept) warn("Warning: can't keep the previous version %s\n", journal_path(path));
        lock_->write(c.next, c.from, c.to, c.length, c.tail);
        wrote_ = true;
        registry was(path);
        was.decode(before);
        was.length_ = before_length;
        decode(c.next);
        length_ = c.length;
        const char* action = kind == change_kind::create ? "create" : kind == change_kind::undo ? "undo" : nullptr;
        log_line(trail_line(path, action, was, *this, kept));
        code.put_in_place(path);
    } else {
        decode(c.next);
        length_ = c.length;
        code.put_in_place(wrote_ ? path : "");
    }
    // The cash code file is the till's: saving a copy or another till's
    // register elsewhere changes what the till's own cash desk is told.
    const bool elsewhere = !code.unchanged() && !tills_register(lock_->status());
    lock_->unlock();
    lock_.reset();
    journal_.reset();
    if (elsewhere)
        warn("Warning: file %s is not the till's register; the cash code file %s now names desk %s\n", path,
             rooted(cashcode_file), std::to_string(desk));
}
