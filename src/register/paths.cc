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

bool tills_register(const struct stat& file) {
    struct stat own;
    return stat(rooted(register_file).c_str(), &own) == 0 && own.st_dev == file.st_dev && own.st_ino == file.st_ino;
}
