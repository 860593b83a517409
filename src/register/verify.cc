#include "register/verify.h"

#include "register/file_io.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace {

// Day numbers of 01.01.1801 and 31.12.9999: the dates a four-digit year can
// show and the day count can hold from its first whole year on.
constexpr std::int64_t first_day = 4;
constexpr std::int64_t last_day = 2994626;
// Hundredths of a second in a day.
constexpr std::int64_t day_length = 24 * 360000;

using finding = std::pair<std::size_t, std::string>;

[[gnu::format(printf, 3, 4)]] void report(std::vector<finding>& out, std::size_t offset, const char* format, ...) {
    char text[160];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char line[200];
    std::snprintf(line, sizeof line, "offset %zu: %s", offset, text);
    out.emplace_back(offset, line);
}

const register_field& field_of(encoding enc) {
    return *std::find_if(register_fields.begin(), register_fields.end(),
                         [enc](const register_field& f) { return f.enc == enc; });
}

}  // namespace

std::vector<std::string> verify_image(const std::array<unsigned char, register_size>& image, std::size_t length) {
    std::vector<finding> found;
    const auto present = [&](std::size_t offset, std::size_t width) { return offset + width <= length; };

    // The blank image holds the bytes every register starts its blocks and
    // ends with.
    for (std::size_t block = 1, at = 0; at + 1 < register_size; ++block, at += register_block)
        if (present(at, 1) && image[at] != empty_reg[at])
            report(found, at, "block %zu starts with 0x%02X, not 0x%02X", block, image[at], empty_reg[at]);
    constexpr std::size_t end = register_size - 1;
    if (present(end, 1) && image[end] != empty_reg[end])
        report(found, end, "end byte is 0x%02X, not 0x%02X", image[end], empty_reg[end]);

    for (const register_field& f : register_fields) {
        if (f.enc != encoding::amount) continue;
        for (std::size_t at = f.offset; at < f.offset + f.width; ++at) {
            if (!present(at, 1)) break;
            if (image[at] >> 4 > 9) report(found, at, "%s: high half-byte 0x%X above 9", f.name, image[at] >> 4);
            if ((image[at] & 0x0F) > 9) report(found, at, "%s: low half-byte 0x%X above 9", f.name, image[at] & 0x0F);
        }
    }

    // Both parts zero is a shift that has not begun.
    const register_field& date = field_of(encoding::clarion_date);
    const register_field& time = field_of(encoding::clarion_time);
    if (present(date.offset, date.width) && present(time.offset, time.width)) {
        // Signed, as load reads them.
        const auto day = static_cast<std::int32_t>(read_le(image.data() + date.offset, date.width));
        const auto hundredths = static_cast<std::int32_t>(read_le(image.data() + time.offset, time.width));
        if (day != 0 || hundredths != 0) {
            if (day < first_day || day > last_day)
                report(found, date.offset, "%s: day %lld is not a date from 01.01.1801 to 31.12.9999", date.name,
                       static_cast<long long>(day));
            if (hundredths < 0 || hundredths >= day_length || hundredths % 100 != 0)
                report(found, time.offset, "%s: time %lld is not a time of day below 24:00 in whole seconds",
                       time.name, static_cast<long long>(hundredths));
        }
    }

    if (length != register_size)
        report(found, std::min(length, register_size), "file is %zu bytes long, not %zu", length, register_size);

    std::stable_sort(found.begin(), found.end(),
                     [](const finding& a, const finding& b) { return a.first < b.first; });
    std::vector<std::string> lines;
    for (finding& f : found) lines.push_back(std::move(f.second));
    return lines;
}

static_assert(5 * register_block + 1 == register_size);

std::optional<std::size_t> foreign_byte(const std::array<unsigned char, register_size>& image, std::size_t length) {
    // The block starts and the end byte are 259 bytes apart.
    for (std::size_t at = 0; at < register_size && at < length; at += register_block)
        if (image[at] != empty_reg[at] && image[at] != 0) return at;
    return std::nullopt;
}

std::vector<std::string> verify_file(const std::string& path) {
    std::size_t length = 0;
    const auto image = read_image(path, &length);
    return verify_image(image, length);
}
