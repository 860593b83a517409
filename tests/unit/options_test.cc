#include "cli/commandline.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// The option getopt_long makes of one word, or "?" for an unknown or
// ambiguous one.
std::string resolve(std::string word) {
    const std::vector<option> table = long_options();
    std::string program = "tarnex", file = "f.reg";
    char* argv[] = {program.data(), word.data(), file.data(), nullptr};
    optind = 0;  // a fresh scan
    opterr = 0;
    int index = -1;
    const int c = getopt_long(3, argv, "", table.data(), &index);
    opterr = 1;
    if (c == '?' || index < 0) return "?";
    // The option it is, by the first name the table gives it.
    for (const option& o : table)
        if (o.val == c) return o.name;
    return "?";
}

// Scripts on the tills abbreviate; what worked with these must keep working.
const std::vector<std::string> options_of_old = {
    "print",          "create",        "setcashcode",    "setshift",       "setchecknum",
    "setshift_begin", "setcount_sale", "setcount_back",  "settcount_sale", "settcount_back",
    "setsum_sale",    "setsum_back",   "settsum_sale",   "settsum_back",   "help"};

TEST(Options, EveryAbbreviationThatWorkedStillNamesTheSameOption) {
    for (const std::string& name : options_of_old) {
        for (std::size_t n = 1; n <= name.size(); ++n) {
            const std::string prefix = name.substr(0, n);
            const auto starts = [&](const std::string& o) { return o.compare(0, n, prefix) == 0; };
            const bool exact = std::count(options_of_old.begin(), options_of_old.end(), prefix) == 1;
            if (exact || std::count_if(options_of_old.begin(), options_of_old.end(), starts) == 1) {
                EXPECT_EQ(resolve("--" + prefix), exact ? prefix : name) << "--" << prefix;
            }
        }
    }
}

TEST(Options, VerifyAndVersionShareOnlyTheirOwnPrefix) {
    const std::pair<const char*, const char*> words[] = {
        {"--verify", "verify"}, {"--veri", "verify"},   {"--version", "version"}, {"--vers", "version"},
        {"--ver", "?"},         {"--v", "?"},           {"--pri", "print"},       {"--verifyx", "?"},
    };
    for (const auto& [word, expected] : words) EXPECT_EQ(resolve(word), expected) << word;
}

}  // namespace
