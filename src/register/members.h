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

// Each value that differs between the two registers, in file order, as
// "name old -> new" in its printed form.
std::vector<std::string> changed_values(const registry& before, const registry& after);
