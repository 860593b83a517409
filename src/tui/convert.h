// Text as the till keeps it: CP1251 bytes, one byte per character cell.
//
// The program's Russian texts are written in this source as ordinary UTF-8
// literals with the _cp suffix; the compiler turns them into the CP1251 bytes
// that the program holds, measures, pads and cuts.  Only on the way out to a
// terminal or to standard output does convert::to_string turn them into what
// the locale shows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace convert {

// The name of the character-type locale that take_locale() settled on.
extern const char* locle_set_result;

// Takes the character type (LC_ALL, LC_CTYPE, LANG) from the environment,
// and C.UTF-8 instead when that can show nothing but ASCII.  The one place
// that sets the locale.  It runs where Russian is first shown, in init()
// before curses starts and for --help, not at start-up: --print and the set
// options write only ASCII, and loading a locale's tables would be a good
// part of what such a run costs beyond cat.
void take_locale();

// CP1251 text as the current locale shows it: unchanged under a CP1251
// locale, otherwise converted to the locale's character set.  A character
// that set lacks, and a byte that CP1251 leaves undefined, comes out as one
// "?", so that every byte still takes one cell.
std::string to_string(std::string text);

}  // namespace convert

namespace cp1251 {

template <std::size_t N>
struct utf8_literal {
    char s[N]{};
    consteval utf8_literal(const char (&a)[N]) {
        for (std::size_t i = 0; i < N; ++i) s[i] = a[i];
    }
};

template <std::size_t N>
struct text {
    char bytes[N + 1]{};
    constexpr operator std::string_view() const { return {bytes, N}; }
    operator std::string() const { return {bytes, N}; }
    std::string str() const { return {bytes, N}; }
    static constexpr std::size_t size() { return N; }
};

template <utf8_literal S>
consteval std::size_t decoded_length() {
    std::size_t n = 0;
    for (std::size_t i = 0; i + 1 < sizeof(S.s); ++i)
        if ((static_cast<unsigned char>(S.s[i]) & 0xC0) != 0x80) ++n;
    return n;
}

template <utf8_literal S>
consteval auto encode() {
    text<decoded_length<S>()> t;
    std::size_t out = 0;
    for (std::size_t i = 0; i + 1 < sizeof(S.s); ++i) {
        const unsigned char lead = static_cast<unsigned char>(S.s[i]);
        if (lead < 0x80) {
            t.bytes[out++] = static_cast<char>(lead);
            continue;
        }
        if ((lead & 0xE0) != 0xC0) throw "only ASCII and Cyrillic have CP1251 bytes";
        const unsigned cp = ((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(S.s[++i]) & 0x3Fu);
        if (cp >= 0x410 && cp <= 0x44F)
            t.bytes[out++] = static_cast<char>(cp - 0x410 + 0xC0);
        else if (cp == 0x401)
            t.bytes[out++] = static_cast<char>(0xA8);  // Ё
        else if (cp == 0x451)
            t.bytes[out++] = static_cast<char>(0xB8);  // ё
        else
            throw "only ASCII and Cyrillic have CP1251 bytes";
    }
    return t;
}

// One object per literal, so that views of it stay valid for the whole run.
template <utf8_literal S>
struct storage {
    static constexpr auto value = encode<S>();
};

}  // namespace cp1251

// "Номер кассы"_cp: the CP1251 bytes of a literal made of ASCII and Cyrillic.
// Any other character stops the compilation.
template <cp1251::utf8_literal S>
constexpr const auto& operator""_cp() {
    return cp1251::storage<S>::value;
}
