// A register value reached through its member, shown or set from a text in
// the form its type calls for.
#pragma once

#include "register/registry.h"

#include <string>

std::string member_text(const registry& reg, register_member member);
void set_member(registry& reg, register_member member, const std::string& text);
