// A scratch till for a fuzz target: a directory on a memory file system when
// there is one (every save syncs, and a disk would make each run slow), made
// once per process and used as TARNEX_ROOT.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fuzz {

inline std::string make_scratch_till() {
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/tarnex-fuzz.XXXXXX" : "/tmp/tarnex-fuzz.XXXXXX";
    if (!mkdtemp(dir.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    for (const char* sub : {"/quelvaris", "/quelvaris/cash", "/quelvaris/cash/conf"})
        mkdir((dir + sub).c_str(), 0755);
    setenv("TARNEX_ROOT", dir.c_str(), 1);
    static std::string made;
    made = dir;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(made, ignored);
    });
    return dir;
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Stops the run with the input saved by libFuzzer as a finding.
[[noreturn]] inline void finding(const std::string& what) {
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    std::abort();
}

}  // namespace fuzz
