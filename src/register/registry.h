// The register object: the values of one register file in memory, and the
// only code that reads or writes that file.
#pragma once

#include "register/fields.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

class register_lock;
class journal;
struct register_write;
struct journal_record;
enum class change_kind : std::uint8_t;

class registry {
public:
    std::string path;
    std::uint16_t cashcode = 0;     // cash desk number
    std::uint16_t shift = 0;        // current shift number
    std::uint16_t checknum = 0;     // current receipt number
    std::time_t shift_begin = 0;    // when the shift began; 0 means not set
    std::uint16_t count_sale = 0;   // block 3 quartet
    std::uint16_t count_back = 0;
    std::uint16_t tcount_sale = 0;  // block 4 quartet, the current shift's
    std::uint16_t tcount_back = 0;
    double sum_sale = 0;
    double sum_back = 0;
    double tsum_sale = 0;
    double tsum_back = 0;

    explicit registry(std::string path);
    ~registry();

    // Each of these completes or ends the process with one "Error: " line.
    //
    // A change is made under a lock on the register, over the image as it is
    // on disk at that moment: only the fields this run changes are written,
    // in one write of the span from the first to the last, so that another
    // writer's change survives, a stored form nobody touched is never
    // re-encoded, and a kill leaves the old image or the new one, never a mix.
    //
    // Every change is first recorded in the register's journal (journal.h),
    // synced, so that one a power cut interrupts is finished by the next.
    bool create();  // the blank register made where no file is (one there is left alone: false), logged; members untouched
    void load();    // members from the file; read under the lock when lock() was called
    void load_image(const std::array<unsigned char, register_size>& image);  // members from an image in memory
    void clear();   // members from the blank image; the next save writes it whole, file untouched till then
    // Takes the register's write lock now, then finishes a change of the
    // journal's that a crash interrupted; save() and undo() release it.
    void lock();
    void save();    // the fields whose value differs from what load() gave, then the cash code file
    void save(field_set fields);  // these fields (every one after clear()), then the cash code file
    // Puts back the fields the last change changed (a save, a create or an
    // undo), to the values they had before it, from the image kept beside the
    // register (see trail.h); every other byte stays as it is on disk, and the
    // file keeps its length (fields a change added to a shorter file get the
    // zeros they read as).  Refused, with nothing written, when one of those
    // fields no longer holds what the change wrote, or when the kept image is
    // damaged.  The undo is itself a change, the register's image before it
    // kept: a second one redoes.
    //
    // `number`, when not 0, names the change of the journal to reverse;
    // without it, the newest one made.  A register whose journal has no
    // change is undone from the pair an older version of tarnex kept beside
    // it ("cash.reg-", "cash.reg-.last").
    void undo(std::uint64_t number = 0);
    // What undo() would leave, in the members, with all of its refusals,
    // and nothing written.
    void preview_undo(std::uint64_t number = 0);

    // The fields whose member differs from the value load() or clear() gave.
    field_set changed() const;
    // Whether a save or an undo of this object has written the register.
    bool wrote() const { return wrote_; }
    // The image the values were last read from or written to, and the
    // file's length then: what the stored bytes are, whatever the texts show.
    const std::array<unsigned char, register_size>& image() const { return image_; }
    std::size_t length() const { return length_; }
    // The image save(fields) would leave over image(): those fields encoded
    // from the members (every byte the blank image's after clear()).
    std::array<unsigned char, register_size> encoded(field_set fields) const;

    // Whether --verify would find fault with the image the values were last
    // read from (or written to).
    bool damaged() const;
    // Ends the run with one "Error: " line when that image is no register:
    // a byte at a block start or at the end, where the file holds one, that
    // is neither the blank register's byte there nor 0.  save() and undo()
    // refuse such a file too, on the image read under the lock, so that no
    // change lands in a text or system file.
    void require_register() const;

    // Field encodings; they use no member data.
    double buffToDouble(const unsigned char* buff) const;
    void doubleToBuff(double amount, unsigned char* buff) const;
    std::time_t ClarionDateToDateTime(std::int64_t day, std::time_t base) const;
    std::time_t ClarionTimeToDateTime(std::int64_t time, std::time_t base) const;
    std::int64_t DateTimeToClarionDate(std::time_t moment) const;
    std::int64_t DateTimeToClarionTime(std::time_t moment) const;

private:
    void decode(const std::array<unsigned char, register_size>& image);
    void encode(std::size_t field, std::array<unsigned char, register_size>& image) const;
    using change = register_write;
    change undo_change(const std::array<unsigned char, register_size>& now, std::size_t length) const;
    change journal_undo(const std::vector<journal_record>& records, std::uint64_t number,
                        const std::array<unsigned char, register_size>& now, std::size_t length,
                        std::uint64_t& undone) const;
    void recover();
    void commit(const change& c, std::uint16_t desk, change_kind kind, std::uint64_t refers = 0);

    std::array<unsigned char, register_size> image_{};  // what the members were read from
    std::size_t length_ = register_size;                 // the file's length then
    bool blank_ = false;                                 // image_ is the blank image: saved whole
    bool wrote_ = false;
    std::unique_ptr<register_lock> lock_;
    std::unique_ptr<journal> journal_;
};
