// A register image of any length up to 2048 bytes: loaded, shown in its
// twelve text forms, saved into a copy of itself.  The copy must hold valid
// digits in every amount, every byte outside the 50 field bytes as the input
// had it (zero past the input's end), and saving what it loads back must give
// the same bytes again.
#include "scratch.h"
#include "till_images.h"

#include "register/members.h"
#include "register/registry.h"

#include <algorithm>
#include <cstdint>
#include <ctime>

namespace {

std::string till_dir;

const register_member members[] = {
    &registry::cashcode,    &registry::shift,       &registry::checknum,  &registry::shift_begin,
    &registry::tcount_sale, &registry::tcount_back, &registry::tsum_sale, &registry::tsum_back,
    &registry::count_sale,  &registry::count_back,  &registry::sum_sale,  &registry::sum_back,
};

std::string load_and_save(const std::string& from, const std::string& into) {
    registry reg(from);
    reg.load();
    for (const register_member& m : members)
        if (member_text(reg, m).empty()) fuzz::finding("an empty text form");
    fuzz::write_bytes(into, fuzz::read_bytes(from));
    reg.path = into;
    reg.save(field_set().set());  // every field, as a full save writes them
    return fuzz::read_bytes(into);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    till_dir = fuzz::make_scratch_till();
    // A zone with summer time, so that days with a missing or doubled hour
    // are met too.
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 2048) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    // Shaped as a register at its block starts and end, as a save requires;
    // every other byte as the fuzzer made it.
    for (std::size_t at = 0; at < std::min(size, register_size); at += register_block)
        input[at] = static_cast<char>(empty_reg[at]);
    const std::string original = till_dir + "/in.reg", copy = till_dir + "/copy.reg", again = till_dir + "/again.reg";
    fuzz::write_bytes(original, input);

    const std::string saved = load_and_save(original, copy);
    const std::size_t end_of_fields = 831;
    if (saved.size() != std::max(size, end_of_fields)) fuzz::finding("the copy changed length");
    // Compare the first register_size bytes field by field, the rest as is.
    std::string padded = input;
    padded.resize(std::max(size, register_size), '\0');
    std::string got = saved;
    got.resize(std::max(saved.size(), register_size), '\0');
    const std::string why = till::fieldwise(got.substr(0, register_size), padded.substr(0, register_size),
                                            got.substr(0, register_size));
    if (!why.empty()) fuzz::finding(why);
    if (got.substr(register_size) != padded.substr(register_size)) fuzz::finding("bytes past the register changed");

    if (load_and_save(copy, again) != saved) fuzz::finding("a saved register does not load and save to itself");
    return 0;
}
