#include "talvik/binding/words.h"

#include <cstdint>

namespace talvik::binding {
namespace {

// Counts word starts up to two; `in_word` carries over between calls.
struct WordCounter {
    int words = 0;
    bool in_word = false;

    void add(Py_UCS4 c) noexcept {
        if (Py_UNICODE_ISSPACE(c)) {
            in_word = false;
        } else if (!in_word) {
            in_word = true;
            if (words < 2) ++words;
        }
    }
};

bool continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// The sequence starting at bytes[k]: its length and code point, or 0 when it
// is not well-formed UTF-8 (overlong forms, surrogates, beyond U+10FFFF).
size_t decode(std::string_view bytes, size_t k, Py_UCS4* cp) noexcept {
    const auto b0 = static_cast<unsigned char>(bytes[k]);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) low = 0xA0;
        if (b0 == 0xED) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (bytes.size() - k < length) return 0;
    const auto b1 = static_cast<unsigned char>(bytes[k + 1]);
    if (b1 < low || b1 > high) return 0;
    Py_UCS4 c = b0 & (0x7F >> length);
    for (size_t m = 1; m < length; ++m) {
        const auto b = static_cast<unsigned char>(bytes[k + m]);
        if (!continuation(b)) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    *cp = c;
    return length;
}

}  // namespace

bool str_has_two_words(PyObject* s) noexcept {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    WordCounter counter;
    for (Py_ssize_t k = 0; k < length && counter.words < 2; ++k) counter.add(PyUnicode_READ(kind, data, k));
    return counter.words >= 2;
}

Utf8Words utf8_words(std::string_view bytes) noexcept {
    WordCounter counter;
    size_t k = 0;
    while (k < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[k]);
        if (b < 0x80) {
            counter.add(b);
            ++k;
            continue;
        }
        Py_UCS4 cp = 0;
        const size_t length = decode(bytes, k, &cp);
        if (length == 0) {
            size_t end = k + 1;
            while (end < bytes.size() && end < k + 4 && continuation(static_cast<unsigned char>(bytes[end]))) ++end;
            return {false, false, k, end};
        }
        counter.add(cp);
        k += length;
    }
    return {true, counter.words >= 2, 0, 0};
}

}  // namespace talvik::binding
