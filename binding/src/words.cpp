#include "talvik/binding/words.h"

#include <cstdint>

#include "talvik/utf8.h"

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
        char32_t cp = 0;
        const size_t length = decode_utf8(bytes, k, &cp);
        if (length == 0) return {false, false, k, utf8_error_end(bytes, k)};
        counter.add(static_cast<Py_UCS4>(cp));
        k += length;
    }
    return {true, counter.words >= 2, 0, 0};
}

}  // namespace talvik::binding
