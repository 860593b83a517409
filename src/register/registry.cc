// The register object; the file's layout is described in fields.cc.
#include "register/registry.h"

#include "register/file_io.h"
#include "register/paths.h"
#include "register/failure.h"
#include "register/trail.h"
#include "register/verify.h"

#include <algorithm>
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

// A change to the register: image[from, to) written at `from`, then the file
// cut to `length` when longer.
struct registry::change {
    register_image next;
    std::size_t from, to, length;
};

void registry::create() {
    held_signals hold;
    register_lock file(path, true);
    registry was(path), now(path);
    was.decode(file.on_disk());
    now.decode(empty_reg);
    file.write(empty_reg, 0, empty_reg.size(), empty_reg.size());
    log_line(trail_line(path, "create", was, now));
}

void registry::lock() {
    if (!lock_) lock_ = std::make_unique<register_lock>(path, false);
}

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
    const change c{next, from, to, blank_ ? next.size() : std::max(lock_->length(), to)};
    commit(c, stored ? static_cast<std::uint16_t>(stored) : 1, blank_ ? "create" : nullptr);
}

registry::change registry::undo_change(const register_image& now, std::size_t length) const {
    constexpr const char* damaged = "Error: file %s- is damaged\n";
    const std::string kept = kept_path(path), noted = record_path(path);
    std::string image, record;
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

    change c{now, register_size, 0, length};
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

void registry::undo() {
    held_signals hold;
    lock();
    require_register_shape(lock_->on_disk(), lock_->length(), path);
    const change c = undo_change(lock_->on_disk(), lock_->length());
    registry restored(path);
    restored.decode(c.next);
    commit(c, restored.cashcode, "undo");
}

void registry::preview_undo() {
    std::size_t length = 0;
    const register_image now = read_image(path, &length);
    require_register_shape(now, length, path);
    const change c = undo_change(now, length);
    decode(c.next);
    length_ = c.length;
}

// Makes the change with one outcome.  Everything that can fail is done before
// the register is written: the cash code file's new content is staged, and
// the image on disk and the record of this change are kept beside the
// register (for an undo they are staged then and put in place after the
// register, so that the image it restores stays in the kept file until the
// register holds it).  Once the register is written the change is logged,
// whatever follows.  A run that would change no byte writes nothing: the
// kept image, the way back of the last change, stays.  All of it under the
// lock, with the signals held.
void registry::commit(const change& c, std::uint16_t desk, const char* action) {
    const register_image before = lock_->on_disk();
    const std::size_t before_length = lock_->length();
    const bool undoing = action && std::string_view(action) == "undo";
    const bool writes = c.length != before_length ||
                        !std::equal(c.next.begin() + static_cast<std::ptrdiff_t>(c.from),
                                    c.next.begin() + static_cast<std::ptrdiff_t>(c.to),
                                    before.begin() + static_cast<std::ptrdiff_t>(c.from));
    staged_file code(rooted(cashcode_file), std::to_string(desk), staged_file::kind::followed);
    if (writes) {
        const struct stat like = lock_->status();
        const auto bytes = [](const register_image& image) {
            return std::string_view(reinterpret_cast<const char*>(image.data()), image.size());
        };
        staged_file kept(kept_path(path), bytes(before), staged_file::kind::owned, &like);
        staged_file note(record_path(path), encode_record(before, before_length, c.next, c.length),
                         staged_file::kind::owned, &like);
        const bool keeping = !kept.in_place() && !note.in_place();
        if (!keeping) warn("Warning: can't keep the previous version %s-\n", path);
        if (keeping && !undoing) {
            kept.put_in_place();
            note.put_in_place();
        }
        lock_->write(c.next, c.from, c.to, c.length);
        wrote_ = true;
        registry was(path);
        was.decode(before);
        decode(c.next);
        length_ = c.length;
        log_line(trail_line(path, action, was, *this, keeping));
        if (keeping && undoing) {
            kept.put_in_place(path);
            note.put_in_place(path);
        }
        code.put_in_place(path);
    } else {
        decode(c.next);
        length_ = c.length;
        code.put_in_place();
    }
    // The cash code file is the till's: saving a copy or another till's
    // register elsewhere changes what the till's own cash desk is told.
    const bool elsewhere = !code.unchanged() && !tills_register(lock_->status());
    lock_->unlock();
    lock_.reset();
    if (elsewhere)
        warn("Warning: file %s is not the till's register; the cash code file %s now names desk %s\n", path,
             rooted(cashcode_file), std::to_string(desk));
}
