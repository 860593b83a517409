#include "tui/convert.h"

#include <gtest/gtest.h>

#include <clocale>
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

}  // namespace
