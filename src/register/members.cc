#include "register/members.h"

#include "register/text_forms.h"

#include <algorithm>
#include <type_traits>

namespace {

// A desk or receipt number set to 0 is stored as 0, and every load reads it
// as 1: it is shown as what the till will read, so that what is printed is
// what is stored and a run that sets it again changes nothing.
bool zero_reads_as_one(register_member member) {
    return std::any_of(register_fields.begin(), register_fields.end(), [&](const register_field& f) {
        return f.member == member && f.enc == encoding::number_not_zero;
    });
}

}  // namespace

std::string member_text(const registry& reg, register_member member) {
    if (const auto* number = std::get_if<std::uint16_t registry::*>(&member); number && reg.**number == 0)
        return zero_reads_as_one(member) ? "1" : "0";
    return std::visit([&](auto ptr) { return anyToWString(reg.*ptr); }, member);
}

std::string member_json(const registry& reg, register_member member) {
    if (const auto* when = std::get_if<std::time_t registry::*>(&member)) {
        const std::string iso = reg.**when ? iso_date_time(reg.**when) : "";
        return iso.empty() ? "null" : "\"" + iso + "\"";
    }
    return member_text(reg, member);
}

bool set_member(registry& reg, register_member member, const std::string& text) {
    return std::visit(
        [&](auto ptr) {
            using T = std::remove_reference_t<decltype(reg.*ptr)>;
            const auto value = [&] {
                if constexpr (std::is_same_v<T, double>)
                    return read_sum(text);
                else if constexpr (std::is_same_v<T, std::time_t>)
                    return read_date_time(text);
                else
                    return read_integer(text);
            }();
            if (value) reg.*ptr = *value;
            return value.has_value();
        },
        member);
}

std::vector<std::string> changed_values(const registry& before, const registry& after) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < register_fields.size(); ++i) {
        const register_field& f = register_fields[i];
        if (i > 0 && register_fields[i - 1].member == f.member) continue;  // the date and the time are one value
        const std::string was = member_text(before, f.member), is = member_text(after, f.member);
        if (was != is) lines.push_back(std::string(f.name) + " " + was + " -> " + is);
    }
    return lines;
}
