#include "tui/convert.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <langinfo.h>
#include <map>
#include <optional>
#include <string>

namespace {

struct locale_guard {
    std::string saved = std::setlocale(LC_CTYPE, nullptr);
    explicit locale_guard(const char* name) { std::setlocale(LC_CTYPE, name); }
    ~locale_guard() { std::setlocale(LC_CTYPE, saved.c_str()); }
};

TEST(Cp1251Literal, HoldsTheTillsBytes) {
    constexpr auto t = "Ёж Cмены:"_cp;
    const std::string_view bytes = t;
    EXPECT_EQ(bytes, "\xA8\xE6 C\xEC\xE5\xED\xFB:");
}

// Each row runs in turn in one process, so a converter left open for the
// row before must not leak into the next.
TEST(Convert, ShowsCp1251InTheLocalesCharacterSet) {
    const std::string text = "Номер кассы: 5%d"_cp;
    const std::string koi8 = "\xEE\xCF\xCD\xC5\xD2 \xCB\xC1\xD3\xD3\xD9: 5%d";
    struct {
        const char* locale;
        std::string in, out;
    } rows[] = {
        {"C.UTF-8", text, "Номер кассы: 5%d"},
        {"C.UTF-8", "a\x98z", "a?z"},  // the byte CP1251 leaves undefined stays one cell
        {"ru_RU.CP1251", text, text},   // the till's own bytes, untouched
        {"ru_RU.CP1251", "a\x98z", "a\x98z"},
        {"ru_RU.KOI8-R", text, koi8},
        // Ё, ж, then № and Є, which KOI8-R lacks: one "?" each, no spelling out.
        {"ru_RU.KOI8-R", "\xA8\xE6 \xB9\xAA.", "\xB3\xD6 ??."},
        {"C.UTF-8", "\xA8\xB9", "Ё№"},
        {"ru_RU.KOI8-R", text, koi8},
        // Plain C, should C.UTF-8 ever be missing: still one cell a letter.
        {"C", text, "????? ?????: 5%d"},
        {"C", "plain %s\n", "plain %s\n"},
    };
    for (const auto& row : rows) {
        locale_guard l(row.locale);
        ASSERT_STREQ(std::setlocale(LC_CTYPE, nullptr), row.locale)
            << "missing locale; run as root: localedef -i ru_RU -f KOI8-R ru_RU.KOI8-R (or -f CP1251 ru_RU.CP1251)";
        EXPECT_EQ(convert::to_string(row.in), row.out) << row.locale << ": " << row.in;
    }
}

// Sets the locale variables for one test and puts them back after it.
struct environment_guard {
    std::map<std::string, std::optional<std::string>> saved;
    explicit environment_guard(const std::map<std::string, std::string>& vars) {
        for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            const char* v = std::getenv(name);
            saved[name] = v ? std::optional<std::string>(v) : std::nullopt;
            unsetenv(name);
        }
        for (const auto& [name, value] : vars) setenv(name.c_str(), value.c_str(), 1);
    }
    ~environment_guard() {
        for (const auto& [name, value] : saved)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
};

TEST(TakeLocale, TakesCUtf8WhereTheEnvironmentShowsOnlyAscii) {
    struct {
        std::map<std::string, std::string> env;
        const char* locale;
        const char* codeset;
    } rows[] = {
        {{}, "C.UTF-8", "UTF-8"},
        {{{"LANG", "C"}}, "C.UTF-8", "UTF-8"},
        {{{"LC_ALL", "POSIX"}, {"LANG", "ru_RU.CP1251"}}, "C.UTF-8", "UTF-8"},
        {{{"LANG", "xx_XX.UTF-8"}}, "C.UTF-8", "UTF-8"},  // not installed: C, then C.UTF-8
        {{{"LC_CTYPE", "xx_XX.KOI8-R"}, {"LANG", "ru_RU.CP1251"}}, "C.UTF-8", "UTF-8"},
        {{{"LANG", "C.UTF-8"}}, "C.UTF-8", "UTF-8"},
        {{{"LANG", "ru_RU.CP1251"}}, "ru_RU.CP1251", "CP1251"},
        {{{"LC_CTYPE", "ru_RU.KOI8-R"}, {"LANG", "C"}}, "ru_RU.KOI8-R", "KOI8-R"},
    };
    locale_guard restore("C");
    for (const auto& row : rows) {
        environment_guard env(row.env);
        std::setlocale(LC_CTYPE, "C");
        convert::take_locale();
        EXPECT_STREQ(convert::locle_set_result, row.locale);
        EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), row.locale);
        EXPECT_STREQ(nl_langinfo(CODESET), row.codeset);
    }
}

}  // namespace
