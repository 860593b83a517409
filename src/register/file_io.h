// File access for the register object.  Every call checks its result and
// ends the process through fail() with the message that names the file, so
// that a full disk or an I/O error is never reported as success.
//
// Links.  tarnex runs as root on tills whose data and conf directories may
// belong to the cash desk's own user, who can rename any name in them.  So as
// root a symbolic link in the last component of the register's or the cash
// code file's path is followed only when root owns it and the directory that
// holds it can be written by root alone (owned by root, and no group or
// other write unless it is sticky); any other link gets that file's open
// error.  The target's directories are reached without following links
// (each component opened on its own, a link there refused with the same
// error), so that no one who owns one of them can swap it for a link and
// redirect root.  A followed link whose target is missing gets its target
// created, as fopen would, and is never itself replaced.  The kept previous version, its
// record and every temporary file are names tarnex owns: never followed, a
// link there is replaced as a name, and an owner or mode is only ever set on
// a file just created.
#pragma once

#include "register/fields.h"

#include <array>
#include <csignal>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <sys/stat.h>

using register_image = std::array<unsigned char, register_size>;

// The regular file at `path` opened with `flags`, a link at its last
// component followed under the link rule, as every open of the register is;
// -1 when it cannot be.  For a look that must not end the run.
int open_followed(const std::string& path, int flags);

// What a change opens to write, looked at by a dry run without writing,
// locking or waiting: each ends the run with the error the change would meet
// there, if any.  The register, opened for writing as register_lock opens
// it; and a followed file (the cash code file) about to get `bytes`.
void probe_register(const std::string& path);
void probe_staged(const std::string& path, std::string_view bytes);
// Whether make_register() would make the register at `path` (no file is
// there, a link at the last component followed under the link rule); ends
// the run with the error it would meet making it.  Writes nothing.
bool probe_make_register(const std::string& path);
// Whether the directory that would hold `path` does not exist at all (a
// machine that is no till, for a copy's dry run).
bool directory_missing(const std::string& path);
// The text of the regular file at `path`, read as open_followed() opens it
// (the link rule), at most `limit` bytes; nothing when it is missing, no
// regular file, a link the rule refuses or unreadable.  Never a FIFO or a
// device, never waits.
std::optional<std::string> read_followed(const std::string& path, std::size_t limit);
// A name of our own (the journal) about to be staged: neither it nor its
// temporary name may be anything the staging cannot replace.
void probe_owned(const std::string& path);

// The register image in the regular file at `path`; bytes past the end of a
// shorter file read as zero, as in the blank image.  `length`, when given,
// receives the file's length.  Takes no lock: readers never wait.
register_image read_image(const std::string& path, std::size_t* length = nullptr);

// The register opened for one change and locked against every other writer
// from construction to destruction: an open-file-description lock over the
// whole file, which also conflicts with the classic record locks a cash desk
// program takes.  A lock held elsewhere is waited for a few seconds, then the
// run ends with "Error: can't lock file %s".  The lock is on the file the
// path names once it is granted: one replaced meanwhile (a new file renamed
// over it) is let go and the file now at the path opened and locked, a few
// times at most.  A register it creates gets the owner and group of its
// directory.
class register_lock {
public:
    // `create_missing`: a register that does not exist yet is made.
    register_lock(std::string path, bool create_missing);
    register_lock(const register_lock&) = delete;
    register_lock& operator=(const register_lock&) = delete;
    ~register_lock();

    // The image as it is on disk now, read once under the lock, and the
    // file's length then.
    const register_image& on_disk() const { return on_disk_; }
    std::size_t length() const { return length_; }
    // One write of image[from, to) at offset `from` (with `tail` after the
    // image, the write reaches to the image's end and goes on with it), then
    // one sync; the file is then cut to `length` when it is longer.  The file
    // keeps its inode.
    void write(const register_image& image, std::size_t from, std::size_t to, std::size_t length,
               std::string_view tail = {});
    // The file's bytes past the image, read now.
    std::string tail() const;
    // Closes the file, which lets the next writer in.
    void unlock();
    // The register's mode and owner, for the files that go with it.
    struct stat status() const;

private:
    std::string path_;
    int fd_;
    register_image on_disk_{};
    std::size_t length_ = 0;
    bool written_ = false;
};

// Makes the register at `path` (a link at its last component followed under
// the link rule) with `image` as its content, where no file is: written and
// synced under a temporary name beside it, given the directory's owner,
// linked in under its name, which fails rather than replace a file that
// appeared meanwhile, and the directory synced.  False, nothing changed,
// when a file is there.
bool make_register(const std::string& path, const register_image& image);

// A file replaced in two steps, so that at every moment it holds either its
// old or its new content: staged, its new content is written and synced under
// a temporary name of one fixed name beside it (a kill leaves at most that
// one, which the next run clears); put in place, it is renamed over the file
// and the directory synced.  Every failure ends the run with the file's
// error; a temporary file never put in place is removed on the way out.
class staged_file {
public:
    enum class kind {
        followed,  // the cash code file: a link at the name is followed under the link rule
        owned,     // the kept version and its record: the name is replaced, never followed
    };
    // Nothing is staged when the file already holds `bytes`, unless, for a
    // name of our own, it is the file `like` describes or has another name
    // (a hard link): that is replaced.  `like` gives
    // the new file's mode and owner, else the file it replaces does.  For a
    // followed file the step is serialised across runs by a lock on its
    // directory, so that runs at once on different registers never share the
    // temporary name.
    staged_file(std::string path, std::string_view bytes, kind k, const struct stat* like = nullptr);
    staged_file(const staged_file&) = delete;
    staged_file& operator=(const staged_file&) = delete;
    ~staged_file();

    // The caller may write the file but not its directory: nothing could be
    // staged, and put_in_place() rewrites the file where it is (write, then
    // cut), as an unprivileged user always could.
    bool in_place() const { return in_place_; }
    // Whether the file held `bytes` already.
    bool unchanged() const { return unchanged_; }
    // `changed_register`, when not empty, names a register already written:
    // a failure then says so.
    void put_in_place(const std::string& changed_register = "");

private:
    std::string path_, name_, temp_, bytes_;
    int dir_ = -1;
    bool in_place_ = false, unchanged_ = false, pending_ = false;
};

// The file `path` as it is, never following a link at its last component.
// False when it cannot be read; `bytes` gets at most `limit` bytes.
bool read_owned(const std::string& path, std::string& bytes, std::size_t limit);

// Holds SIGINT, SIGTERM, SIGHUP and SIGQUIT while alive, so that an
// interrupt never lands between the writes that belong together.
class held_signals {
public:
    held_signals();
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
    ~held_signals();

private:
    sigset_t saved_;
};

// Holds the same signals from now until the process ends: a run that
// changes the register finishes and reports as it would have (its output,
// its status), and one that arrives meanwhile is dropped at the exit, never
// delivered after the change to end the run without a word.
void hold_signals_until_exit();

// Reads a little-endian integer of `width` bytes.
std::uint64_t read_le(const unsigned char* at, std::size_t width);
// Writes the low `width` bytes of `value`, little-endian.
void write_le(std::uint64_t value, unsigned char* at, std::size_t width);
