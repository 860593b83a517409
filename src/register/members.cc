#include "register/members.h"

#include "register/file_io.h"
#include "register/text_forms.h"

#include <cstdio>
#include <cstring>
#include <ctime>

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

namespace {

// A value's text with what the printed form leaves out: the seconds of a
// time, the 0 a desk or receipt number 1 is stored as, and, when even that
// is the same on both sides, the stored bytes themselves.
std::string exact_text(const registry& reg, std::size_t field, bool with_bytes) {
    const register_field& f = register_fields[field];
    std::string text = member_text(reg, f.member);
    if (const auto* when = std::get_if<std::time_t registry::*>(&f.member)) {
        const std::time_t t = reg.**when;
        std::tm tm;
        char seconds[8];
        if (localtime_r(&t, &tm)) {
            std::snprintf(seconds, sizeof seconds, ":%02d", tm.tm_sec);
            text += seconds;
        }
    } else if (f.enc == encoding::number_not_zero && read_le(reg.image().data() + f.offset, f.width) == 0) {
        text += " (stored 0)";
    }
    if (!with_bytes) return text;
    text += " (stored";
    for (std::size_t i = field; i < register_fields.size() && register_fields[i].member == f.member; ++i) {
        char hex[4];
        text += ' ';
        for (std::size_t b = 0; b < register_fields[i].width; ++b) {
            std::snprintf(hex, sizeof hex, "%02X", reg.image()[register_fields[i].offset + b]);
            text += hex;
        }
    }
    return text + ")";
}

}  // namespace

std::vector<std::string> changed_values(const registry& before, const registry& after) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < register_fields.size(); ++i) {
        const register_field& f = register_fields[i];
        if (i > 0 && register_fields[i - 1].member == f.member) continue;  // the date and the time are one value
        // What the file holds decides: a value whose bytes change is shown
        // even when its printed form stays, in a form that tells the two
        // apart, so that nothing is written without a word.
        bool differs = false;
        for (std::size_t j = i; j < register_fields.size() && register_fields[j].member == f.member; ++j)
            differs = differs || std::memcmp(before.image().data() + register_fields[j].offset,
                                             after.image().data() + register_fields[j].offset,
                                             register_fields[j].width) != 0;
        if (differs) lines.push_back(change_text(before, after, f.member));
    }
    return lines;
}

std::string change_text(const registry& before, const registry& after, register_member member) {
    std::size_t i = 0;
    while (i + 1 < register_fields.size() && register_fields[i].member != member) ++i;
    std::string was = member_text(before, member), is = member_text(after, member);
    if (was == is) was = exact_text(before, i, false), is = exact_text(after, i, false);
    if (was == is) was = exact_text(before, i, true), is = exact_text(after, i, true);
    return std::string(register_fields[i].name) + " " + was + " -> " + is;
}
