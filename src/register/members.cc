#include "register/members.h"

#include "register/text_forms.h"

#include <type_traits>

namespace {

// The amount the field will hold: 0.00 for a negative or non-finite one, the
// 14 lowest digits of a huge one, so that what is shown now is what a later
// load shows.
double stored_amount(const registry& reg, double amount) {
    unsigned char digits[7];
    reg.doubleToBuff(amount, digits);
    return reg.buffToDouble(digits);
}

}  // namespace

std::string member_text(const registry& reg, register_member member) {
    return std::visit([&](auto ptr) { return anyToWString(reg.*ptr); }, member);
}

void set_member(registry& reg, register_member member, const std::string& text) {
    std::visit(
        [&](auto ptr) {
            using T = std::remove_reference_t<decltype(reg.*ptr)>;
            if constexpr (std::is_same_v<T, double>)
                reg.*ptr = stored_amount(reg, read_sum(text));
            else if constexpr (std::is_same_v<T, std::time_t>)
                reg.*ptr = read_date_time(text);
            else
                reg.*ptr = read_integer(text);
        },
        member);
}
