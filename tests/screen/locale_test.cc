#include <clocale>
#include <locale.h>

#include "probe.h"
#include "tui/convert.h"

namespace {

using namespace screen;

struct locale_case {
    const char* name;
    bool cp1251_terminal;
};

// Captions are CP1251 bytes whatever the locale; each one is one cell.
class Cyrillic : public ::testing::TestWithParam<locale_case> {
protected:
    void SetUp() override {
        locale_t l = newlocale(LC_CTYPE_MASK, GetParam().name, nullptr);
        ASSERT_TRUE(l) << "missing locale; run as root: localedef -i ru_RU -f CP1251 ru_RU.CP1251";
        freelocale(l);
    }
    options on_terminal() const {
        options o;
        o.env["LANG"] = GetParam().name;
        o.cp1251 = GetParam().cp1251_terminal;
        return o;
    }
    // The bytes that reach the terminal for a caption.
    std::string on_the_line(std::string_view cp1251, std::string_view utf8) const {
        return std::string(GetParam().cp1251_terminal ? cp1251 : utf8);
    }
};

TEST_P(Cyrillic, MenuCaptionsKeepTheirColumnsAndTheFrame) {
    const std::string long_caption = repeat("Ж"_cp, 40);
    terminal t(probe({"menu", "1", "1", "20", "40", "Номер кассы"_cp, "Выход без сохранения"_cp, long_caption}),
               on_terminal());
    ASSERT_TRUE(t.wait_text(2, 2, "Номер кассы"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_EQ(t.row(2), " │Номер кассы" + std::string(27, ' ') + "│");
    EXPECT_EQ(t.row(3), " │Выход без сохранения" + std::string(18, ' ') + "│");
    EXPECT_EQ(t.row(4), " │" + repeat("Ж", 38) + "│");
    EXPECT_EQ(t.row(20), " └" + repeat("─", 38) + "┘");
    EXPECT_TRUE(inverse(t, 2, 2, 38));
    EXPECT_EQ(t.cursor(), at(2, 2));
    EXPECT_NE(t.output().find(on_the_line("Выход без сохранения"_cp, "Выход без сохранения")), std::string::npos);

    ASSERT_TRUE(press(t, VTERM_KEY_DOWN));
    EXPECT_TRUE(inverse(t, 3, 2, 38));
    t.press(VTERM_KEY_ENTER);
    t.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(t.wait_anywhere("walks: 101 -1"));
    EXPECT_EQ(t.wait_exit(), 0);
}

TEST_P(Cyrillic, MessageBoxCentresCyrillicLines) {
    terminal t(probe({"message_box", "6", "5", "11", "35", "Будут удалены\r\nсмены 5 - 7"_cp}), on_terminal());
    ASSERT_TRUE(t.wait_text(10, 19, "OK"));
    ASSERT_TRUE(t.wait_idle());
    EXPECT_EQ(t.row(7), "     │        Будут удалены        │");
    EXPECT_EQ(t.row(8), "     │         смены 5 - 7         │");
    EXPECT_EQ(t.row(11), "     └" + repeat("─", 29) + "┘");
    t.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(t.wait_anywhere("closed"));
}

INSTANTIATE_TEST_SUITE_P(Locales, Cyrillic,
                         ::testing::Values(locale_case{"C.UTF-8", false}, locale_case{"ru_RU.CP1251", true}),
                         [](const auto& p) { return std::string(p.param.cp1251_terminal ? "Cp1251" : "Utf8"); });

}  // namespace
