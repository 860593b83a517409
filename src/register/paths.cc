#include "register/paths.h"

#include <cstdlib>

std::string rooted(const char* fixed) {
    const char* root = std::getenv("TARNEX_ROOT");
    if (!root || !*root) return fixed;
    std::string r = root;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") return fixed;
    return r + fixed;
}
