#include "tui/convert.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>

namespace convert {

const char* locle_set_result = nullptr;

void take_locale() {
    locle_set_result = std::setlocale(LC_CTYPE, "");
    // C and POSIX, the default of a fresh root and of every SSH session whose
    // LANG names a locale this till lacks, show ASCII only: ncursesw drops
    // every Russian byte there, leaving the editor's labels and both ways out
    // blank, and --help prints CP1251 that no terminal of today reads.  Those
    // terminals speak UTF-8, so take C.UTF-8, which glibc ships; collation,
    // messages and numbers are other categories and stay C's.
    if (std::strcmp(nl_langinfo(CODESET), "ANSI_X3.4-1968") == 0)
        if (const char* utf8 = std::setlocale(LC_CTYPE, "C.UTF-8")) locle_set_result = utf8;
}

namespace {

const iconv_t no_converter = reinterpret_cast<iconv_t>(-1);

// A converter from CP1251 to `codeset`, opened on first need (a --print
// shows no Russian and never pays for one) and kept until the locale's
// character set changes.
iconv_t converter_to(const char* codeset) {
    static std::string opened_for;
    static iconv_t cd = no_converter;
    if (cd == no_converter || opened_for != codeset) {
        if (cd != no_converter) iconv_close(cd);
        cd = iconv_open(codeset, "CP1251");
        opened_for = codeset;
    }
    return cd;
}

}  // namespace

std::string to_string(std::string text) {
    // ASCII is the same bytes in every character set a locale can have.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return text;
    const char* codeset = nl_langinfo(CODESET);
    if (std::strcmp(codeset, "CP1251") == 0) return text;

    const iconv_t cd = converter_to(codeset);
    if (cd == no_converter) {
        // No converter for this set: a "?" for each Russian byte still keeps
        // the columns and tells the texts apart better than raw bytes would.
        std::replace_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }, '?');
        return text;
    }
    std::string out;
    char buffer[256];
    char* in = text.data();
    std::size_t in_left = text.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (in_left > 0) {
        char* dst = buffer;
        std::size_t dst_left = sizeof buffer;
        const bool stopped = iconv(cd, &in, &in_left, &dst, &dst_left) == static_cast<std::size_t>(-1);
        out.append(buffer, dst);
        if (stopped && errno != E2BIG) {
            // No //TRANSLIT: it may spell one character in several cells and
            // shift every column after it.  CP1251 has one byte a character,
            // so skipping a byte skips exactly the character the set lacks.
            out += '?';
            ++in;
            --in_left;
        }
    }
    return out;
}

}  // namespace convert
