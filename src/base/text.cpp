#include "base/text.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace tenvira {

namespace {

struct CodePointRange {
    char32_t lo;
    char32_t hi;
};

constexpr CodePointRange printable_ranges[] = {
#include "base/printable_ranges.inc"
};

// Decodes one UTF-8 sequence starting at text[i]. Returns the code point and
// advances i; an invalid or truncated sequence consumes one byte and yields
// U+FFFD.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        i += 1;
        return 0xFFFD;
    }
    if (i + len > text.size()) {
        i += 1;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            i += 1;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        i += 1;
        return 0xFFFD;
    }
    i += len;
    return cp;
}

}  // namespace

bool is_printable_code_point(char32_t cp) noexcept {
    const auto* it = std::upper_bound(std::begin(printable_ranges), std::end(printable_ranges), cp,
                                      [](char32_t c, const CodePointRange& r) { return c < r.lo; });
    if (it == std::begin(printable_ranges)) return false;
    --it;
    return cp <= it->hi;
}

std::string quote_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t begin = i;
        const char32_t cp = decode_utf8(text, i);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        // An undecodable byte also comes back as U+FFFD, but consumes one byte.
        const bool undecodable = cp == 0xFFFD && i - begin == 1;
        if (!undecodable && is_printable_code_point(cp)) {
            out.append(text.substr(begin, i - begin));
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        }
    }
    out += '"';
    return out;
}

}  // namespace tenvira
