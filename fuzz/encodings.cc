// The field encodings and the text forms with arbitrary doubles, day numbers,
// times and texts.  Where the stored forms promise a round trip, it must hold:
// an amount's digits come back as the same bytes, a day from 1801 to 9998 as
// the same day, a time of day as the same whole seconds, a printed date and
// time as the same minute, an ISO 8601 one as the same moment.
#include "scratch.h"

#include "register/registry.h"
#include "register/text_forms.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

const registry codec("");

constexpr std::int64_t first_day = 4;       // 01.01.1801
constexpr std::int64_t last_day = 2994261;  // 31.12.9998

bool digits_only(const unsigned char* b) {
    for (int i = 0; i < 7; ++i)
        if ((b[i] >> 4) > 9 || (b[i] & 0x0F) > 9) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);

    // Any amount: valid digits, and for one the field can hold, the smallest
    // hundredth not below it.
    const double amount = in.ConsumeFloatingPoint<double>();
    unsigned char b[7];
    codec.doubleToBuff(amount, b);
    if (!digits_only(b)) fuzz::finding("an amount stored with a half-byte above 9");
    const double back = codec.buffToDouble(b);
    const long long k = std::llround(back * 100);
    if (amount > 0 && amount < 999999999999.99 && (back < amount || static_cast<double>(k - 1) / 100 >= amount))
        fuzz::finding("an amount not stored as its next hundredth");
    (void)anyToWString(amount);

    // Any seven bytes: in valid digits they come back unchanged.
    unsigned char raw[7] = {};
    in.ConsumeData(raw, sizeof raw);
    unsigned char again[7];
    codec.doubleToBuff(codec.buffToDouble(raw), again);
    if (digits_only(raw) && std::memcmp(raw, again, 7) != 0) fuzz::finding("stored digits changed on a round trip");
    if (!digits_only(again)) fuzz::finding("invalid digits after a round trip");

    // Any day number and time: no failure; a day in range comes back.
    const std::int64_t day = in.ConsumeIntegral<std::int64_t>();
    const std::int64_t time = in.ConsumeIntegral<std::int64_t>();
    const std::time_t moment = codec.ClarionTimeToDateTime(time, codec.ClarionDateToDateTime(day, 0));
    (void)codec.DateTimeToClarionDate(moment);
    (void)codec.DateTimeToClarionTime(moment);
    (void)anyToWString(static_cast<long>(moment));
    const std::int64_t in_range = first_day + std::abs(day % (last_day - first_day + 1));
    const std::time_t on_day = codec.ClarionDateToDateTime(in_range, 0);
    if (codec.DateTimeToClarionDate(on_day) != in_range) fuzz::finding("a day did not come back");
    // The clocks change at two in the night; from six on every time exists
    // once.
    const std::int64_t whole = (std::abs(time % 8640000) / 100) * 100;
    const std::time_t timed = codec.ClarionTimeToDateTime(whole, on_day);
    if (whole >= 6 * 360000 && codec.DateTimeToClarionTime(timed) != whole)
        fuzz::finding("a time of day did not come back");

    // The printed form of a moment reads back as the same minute, its ISO
    // 8601 form as the same moment.
    const std::time_t moment_of_day = on_day + whole / 100;
    const std::string text = anyToWString(static_cast<long>(moment_of_day));
    const std::optional<long> read = read_date_time(text);
    if (!read || anyToWString(*read) != text) fuzz::finding("'" + text + "' did not read back");
    if (read_date_time(iso_date_time(moment_of_day)) != moment_of_day)
        fuzz::finding("'" + iso_date_time(moment_of_day) + "' did not read back");

    // Any text as a number, a sum or a date: defined, whatever it holds, and
    // a sum that is read is one the file holds as read.
    const std::string typed = in.ConsumeRemainingBytesAsString();
    (void)read_integer(typed);
    if (const auto sum = read_sum(typed)) {
        unsigned char stored[7];
        codec.doubleToBuff(*sum, stored);
        if (codec.buffToDouble(stored) != *sum) fuzz::finding("'" + typed + "' is not stored as read");
    }
    if (const auto when = read_date_time(typed)) (void)anyToWString(*when);
    return 0;
}
