#include "tui/convert.h"

#include <clocale>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>

namespace convert {

const char* locle_set_result = std::setlocale(LC_CTYPE, "");

bool utf8_locale() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

std::string to_string(std::string text) {
    if (!utf8_locale()) return text;
    static iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;

    std::string out(text.size() * 3, '\0');  // no CP1251 byte needs more than 3 UTF-8 bytes
    char* in = text.data();
    std::size_t in_left = text.size();
    char* dst = out.data();
    std::size_t dst_left = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (in_left > 0) {
        if (iconv(cd, &in, &in_left, &dst, &dst_left) != static_cast<std::size_t>(-1)) break;
        // 0x98 is the one byte CP1251 leaves undefined; show it as one cell.
        *dst++ = '?';
        --dst_left;
        ++in;
        --in_left;
    }
    out.resize(out.size() - dst_left);
    return out;
}

}  // namespace convert
