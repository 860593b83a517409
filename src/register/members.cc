#include "register/members.h"

#include "register/text_forms.h"

#include <type_traits>

std::string member_text(const registry& reg, register_member member) {
    return std::visit([&](auto ptr) { return anyToWString(reg.*ptr); }, member);
}

void set_member(registry& reg, register_member member, const std::string& text) {
    std::visit(
        [&](auto ptr) {
            using T = std::remove_reference_t<decltype(reg.*ptr)>;
            if constexpr (std::is_same_v<T, double>)
                reg.*ptr = read_sum(text);
            else if constexpr (std::is_same_v<T, std::time_t>)
                reg.*ptr = read_date_time(text);
            else
                reg.*ptr = read_integer(text);
        },
        member);
}
