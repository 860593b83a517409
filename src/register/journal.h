// The register's journal: every change of the register, oldest first, in one
// file beside it ("cash.reg.journal"), written ahead of the register.  Its
// format is described at the top of journal.cc.
#pragma once

#include "register/fields.h"
#include "register/file_io.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

enum class change_kind : std::uint8_t {
    set = 0,       // the command line's set options or the editor's save
    create = 1,    // --create, --init, the editor's new register
    undo = 2,      // reverses change `refers`
    not_made = 3,  // change `refers` never reached the register: an undo passes over it
};

// One change: who made it and why, and the bytes it replaced and wrote.
struct journal_record {
    std::uint64_t number = 0;  // never repeats within a journal
    std::int64_t time = 0;     // seconds since the epoch
    change_kind kind = change_kind::set;
    std::uint64_t refers = 0;
    std::string user, sudo_user, operator_name, tty, origin, reason;
    std::uint64_t length_before = 0, length_after = 0;
    // The fields whose bytes differ, and every field's bytes before and after,
    // in the order of register_fields.
    field_set fields;
    std::array<unsigned char, 50> before{}, after{};
    // A change of more than fields (a create) keeps the whole image before and
    // after it, and the bytes it cut from the end of a longer file.
    bool whole = false;
    register_image image_before{}, image_after{};
    std::string tail;
};

// The journal's name: the register's name with ".journal" appended.
std::string journal_path(const std::string& register_path);

// A record of the change from `before` to `after` (the file's lengths beside
// them), stamped with this run's user, terminal, origin, reason and operator.
// `whole`: keep the images and the cut tail too.
journal_record make_record(const register_image& before, std::size_t length_before, const register_image& after,
                           std::size_t length_after, change_kind kind, bool whole);

// The records as they are on disk, oldest first.  A record that did not
// reach the disk whole, and anything after it, is no record.  Nothing for a
// missing journal; the run ends with the file's error for one that cannot be
// read or is no journal file.
std::vector<journal_record> read_journal(const std::string& register_path);

// The journal of one change, opened under the register's lock.
class journal {
public:
    // `like`: the register's status, whose owner and mode the journal takes.
    journal(std::string register_path, const struct stat& like);
    journal(const journal&) = delete;
    journal& operator=(const journal&) = delete;
    ~journal();

    const std::vector<journal_record>& records() const { return records_; }
    // Appends the record, numbered after the newest, and syncs it; returns
    // its number.  False when the journal cannot be written where a caller
    // may write the register and no more (see journal.cc).
    std::optional<std::uint64_t> append(journal_record r);
    // Ends the run with the error append() would meet where it makes the
    // journal anew or rewrites it (a directory at its temporary name), so
    // that a change fails before it prints rather than after.  Writes nothing.
    void probe() const;

private:
    std::string register_path_, path_;
    struct stat like_;
    std::vector<journal_record> records_;
    std::vector<std::size_t> ends_;  // where each record ends in the file
    std::string raw_;                // the file's bytes up to the last record's end
    std::size_t end_ = 0;            // where the next record goes
    int fd_ = -1;
    bool fresh_ = false;   // no journal file usable: the first append makes one
};

// One write of a register: image[from, to) at `from`, then `tail` after the
// image, then the file cut to `length` when longer.
struct register_write {
    register_image next;
    std::size_t from, to, length;
    std::string tail;
};

// What the newest record's change left in a register that now holds `now`,
// `length` bytes long.  Each field it altered, and each other byte a whole
// record altered, holds its bytes after, its bytes before, or neither (the
// cash desk wrote it since); a cut is made or not.  Nothing before: the change
// is whole.  Nothing after: it never reached the register.  Else it was
// interrupted, and `finish` writes the rest: the "after" bytes where the
// "before" ones still are, and the cut; `fields` names what it writes.
struct journal_look {
    enum class state { whole, never_made, interrupted } is = state::whole;
    register_write finish;
    std::vector<std::string> fields;
};
journal_look look_at(const journal_record& r, const register_image& now, std::size_t length);

// The newest change of the journal of the register at `path`, when a crash
// interrupted it: its number and what the next writing run will finish.
struct interruption {
    std::uint64_t number;
    std::vector<std::string> fields;
};
std::optional<interruption> interrupted_change(const std::string& path);

// The records an undo may reverse: neither markers nor the changes they mark
// as never made.  `records` oldest first, as read.
bool undoable(const std::vector<journal_record>& records, std::size_t index);

// The write that reverses record `r` in a register holding `now`: each field
// it altered back to its bytes before, refused ("Error: field %s of file %s
// changed since ...", naming `since`) when one no longer holds its bytes
// after; the other bytes of a whole record back where they still hold its
// bytes after; the bytes it cut appended again while the file is as long as
// the change left it.  Never cut.
register_write reverse(const journal_record& r, const register_image& now, std::size_t length,
                       const std::string& path, const char* since);

// The text form of a record for --history: "N DD.MM.YYYY hh:mm:ss: user ...:
// [create; | undo M; | not made;] name old -> new, ...", every foreign text
// escaped; and its JSON object.  `made` is false for a change that never
// reached the register.
std::string history_line(const journal_record& r, bool made);
std::string history_json(const journal_record& r, bool made);

// The fields of the register the record shows; the images its field bytes
// make, for decoding.
register_image field_image(const std::array<unsigned char, 50>& bytes);
