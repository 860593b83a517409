// A register value reached through its member, shown or set from a text in
// the form its type calls for.
#pragma once

#include "register/registry.h"

#include <string>
#include <vector>

std::string member_text(const registry& reg, register_member member);

// The member's value in JSON: an integer, a sum with two decimals, the shift's
// beginning as an ISO 8601 string, or null when it is not set.
std::string member_json(const registry& reg, register_member member);

// Sets the member from a text wholly of its form (see text_forms.h); false,
// and the member unchanged, for any other text.
bool set_member(registry& reg, register_member member, const std::string& text);

// Each value whose stored bytes differ between the images the two registers
// were read from (registry::image()), in file order, as "name old -> new" in
// its printed form; where that form is the same on both sides, with the
// seconds, a stored 0, or the bytes, so that the two always differ.
std::vector<std::string> changed_values(const registry& before, const registry& after);
// One of those lines, for a value whose stored bytes differ.
std::string change_text(const registry& before, const registry& after, register_member member);
