#include "tui/convert.h"

#include <gtest/gtest.h>

#include <clocale>

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

TEST(Convert, ShowsCp1251AsUtf8OnlyUnderUtf8Locale) {
    const std::string text = "Номер кассы: 5%d"_cp;
    {
        locale_guard l("C.UTF-8");
        EXPECT_EQ(convert::to_string(text), "Номер кассы: 5%d");
        EXPECT_EQ(convert::to_string("a\x98z"), "a?z");  // undefined byte stays one cell
    }
    {
        locale_guard l("C");
        EXPECT_EQ(convert::to_string(text), text);
    }
}

}  // namespace
