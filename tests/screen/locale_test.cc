#include <iconv.h>
#include <locale.h>

#include "probe.h"
#include "tui/convert.h"

namespace {

using namespace screen;

struct locale_case {
    const char* name;
    const char* charset;  // what the terminal speaks; "" for UTF-8
    const char* test_name;
};

// Captions are CP1251 bytes whatever the locale; each one is one cell.
class Cyrillic : public ::testing::TestWithParam<locale_case> {
protected:
    void SetUp() override {
        locale_t l = newlocale(LC_CTYPE_MASK, GetParam().name, nullptr);
        ASSERT_TRUE(l) << "missing locale; run as root: localedef -i ru_RU -f CP1251 ru_RU.CP1251; "
                          "localedef -i ru_RU -f KOI8-R ru_RU.KOI8-R";
        freelocale(l);
    }
    options on_terminal() const {
        options o;
        o.env["LANG"] = GetParam().name;
        o.charset = GetParam().charset;
        return o;
    }
    // The bytes that reach the terminal for a caption.
    std::string on_the_line(std::string utf8) const {
        if (!*GetParam().charset) return utf8;
        iconv_t cd = iconv_open(GetParam().charset, "UTF-8");
        std::string out(utf8.size(), '\0');
        char* in = utf8.data();
        char* dst = out.data();
        std::size_t in_left = utf8.size(), dst_left = out.size();
        iconv(cd, &in, &in_left, &dst, &dst_left);
        iconv_close(cd);
        out.resize(out.size() - dst_left);
        return out;
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
    EXPECT_NE(t.output().find(on_the_line("Выход без сохранения")), std::string::npos);

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

// A character the terminal's set lacks is one "?" in its one cell, so the
// frame stays where it belongs.
TEST_P(Cyrillic, ACharacterTheSetLacksTakesOneCell) {
    const std::string caption = "Чек "_cp.str() + "\xB9" + "5 Ёлка"_cp.str();  // № is 0xB9 in CP1251
    terminal t(probe({"menu", "1", "1", "20", "40", caption}), on_terminal());
    ASSERT_TRUE(t.wait_text(2, 2, "Чек "));
    ASSERT_TRUE(t.wait_idle());
    const std::string number_sign = std::string(GetParam().charset) == "KOI8-R" ? "?" : "№";
    EXPECT_EQ(t.row(2), " │Чек " + number_sign + "5 Ёлка" + std::string(27, ' ') + "│");
    EXPECT_NE(t.output().find(on_the_line(" " + number_sign + "5 Ёлка")), std::string::npos);
    t.press(VTERM_KEY_ESCAPE);
    EXPECT_TRUE(t.wait_anywhere("walks: -1"));
}

// C stands for the POSIX locale of a fresh root or of a LANG the till lacks:
// the program takes C.UTF-8 for it, so the terminal gets UTF-8.
INSTANTIATE_TEST_SUITE_P(Locales, Cyrillic,
                         ::testing::Values(locale_case{"C.UTF-8", "", "Utf8"},
                                           locale_case{"ru_RU.CP1251", "CP1251", "Cp1251"},
                                           locale_case{"ru_RU.KOI8-R", "KOI8-R", "Koi8r"},
                                           locale_case{"C", "", "Posix"}),
                         [](const auto& p) { return std::string(p.param.test_name); });

}  // namespace
