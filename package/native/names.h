// A list of names as the engine reads them: one view per name, in the
// caller's order, empty for a name that cannot match (null, or fewer than two
// words by str.split()), so that engine indices are the caller's indices.
// The list owns the bytes its views borrow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "arrow_abi.h"
#include "talvik/find_pairs.h"

namespace talvik::native {

class NameList {
public:
    std::span<const std::string_view> views() const noexcept { return views_; }
    int32_t size() const noexcept { return static_cast<int32_t>(views_.size()); }

    // Each reads the names once, into an empty list; false with an exception
    // set. `what` names the argument in messages ("names").
    // A list or tuple of str, None for a null.
    bool read_sequence(PyObject* names, const char* what) noexcept;
    // The capsules of __arrow_c_stream__ / __arrow_c_array__: a string or
    // large_string array, read in place and kept alive with the list.
    bool read_arrow_stream(PyObject* stream_capsule, const char* what) noexcept;
    bool read_arrow_array(PyObject* schema_capsule, PyObject* array_capsule, const char* what) noexcept;
    // The names of `first` (may be null), then those of each of `then`, copied.
    bool read_parts(const NameTexts* first, std::span<const NameList* const> then) noexcept;

private:
    bool add_str(PyObject* name, Py_ssize_t index, const char* what);
    bool add_chunk(OwnedArray chunk, bool large, const char* what);
    template <class Offset>
    bool add_chunk_names(const ArrowArray& chunk, const char* what);

    std::vector<std::string_view> views_;
    std::vector<char> arena_;          // the UTF-8 of the str names that can match
    std::vector<OwnedArray> chunks_;   // Arrow arrays, kept alive for their bytes
};

}  // namespace talvik::native
