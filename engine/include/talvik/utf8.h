// Well-formed UTF-8 as Python's strict decoder judges it (no overlong forms,
// no surrogates, nothing past U+10FFFF), for the engine and the bindings, so
// that a bad byte is reported where Python would report it.
#pragma once

#include <cstddef>
#include <string_view>

namespace talvik {

inline bool utf8_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// The sequence starting at s[k], a byte of 0x80 or more: its length and code
// point, or 0 when it is ill-formed.
inline size_t decode_utf8(std::string_view s, size_t k, char32_t* cp) noexcept {
    const auto b0 = static_cast<unsigned char>(s[k]);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) low = 0xA0;   // overlong
        if (b0 == 0xED) high = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) low = 0x90;   // overlong
        if (b0 == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (s.size() - k < length) return 0;
    const auto b1 = static_cast<unsigned char>(s[k + 1]);
    if (b1 < low || b1 > high) return 0;
    char32_t c = b0 & (0x7F >> length);
    for (size_t m = 1; m < length; ++m) {
        const auto b = static_cast<unsigned char>(s[k + m]);
        if (!utf8_continuation(b)) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    *cp = c;
    return length;
}

// Where the ill-formed sequence at s[k] ends in Python's report: after the
// lead byte and the continuation bytes that could still have followed it.
inline size_t utf8_error_end(std::string_view s, size_t k) noexcept {
    const auto b0 = static_cast<unsigned char>(s[k]);
    const size_t length = b0 >= 0xF0 && b0 <= 0xF4 ? 4 : b0 >= 0xE0 && b0 <= 0xEF ? 3 : b0 >= 0xC2 && b0 <= 0xDF ? 2 : 1;
    if (length == 1 || k + 1 >= s.size()) return k + 1;
    const auto b1 = static_cast<unsigned char>(s[k + 1]);
    const unsigned char low = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
    if (b1 < low || b1 > high) return k + 1;
    size_t end = k + 2;
    while (end < k + length && end < s.size() && utf8_continuation(static_cast<unsigned char>(s[end]))) ++end;
    return end;
}

}  // namespace talvik
