// Which names take part: those that str.split() cuts into two words or more,
// judged on a str's code points or on UTF-8 bytes (which are checked).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

namespace talvik::binding {

// Whether a str has two words or more by str.split() (Unicode whitespace).
bool str_has_two_words(PyObject* s) noexcept;

struct Utf8Words {
    bool valid = true;
    bool two_words = false;
    size_t error_at = 0;  // the first byte that is not valid UTF-8
    size_t error_end = 0;
};

// The same question for UTF-8 bytes, which are validated whole.
Utf8Words utf8_words(std::string_view bytes) noexcept;

}  // namespace talvik::binding
