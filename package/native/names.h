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
    NameList() = default;
    // With `every_name`, a name keeps its bytes however many words it has,
    // and nulls are told apart from empty names (for talvik.normalize, which
    // checks the UTF-8 of Arrow strings itself).
    explicit NameList(bool every_name) noexcept : every_name_(every_name) {}

    std::span<const std::string_view> views() const noexcept { return views_; }
    int32_t size() const noexcept { return static_cast<int32_t>(views_.size()); }
    // Only with every_name: whether name i is None or an Arrow null.
    bool is_null(size_t i) const noexcept { return i < nulls_.size() && nulls_[i] != 0; }
    bool has_nulls() const noexcept { return null_count_ > 0; }
    int64_t null_count() const noexcept { return null_count_; }
    // The Arrow type read: large_string (int64 offsets) or string.
    bool large() const noexcept { return large_; }

    // Each reads the names once, into an empty list; false with an exception
    // set. `what` names the argument in messages ("names").
    // A list or tuple of str, None for a null.
    bool read_sequence(PyObject* names, const char* what) noexcept;
    // The capsules of __arrow_c_stream__ / __arrow_c_array__: a string,
    // large_string or string_view array, or a dictionary of one, read in
    // place and kept alive with the list.
    bool read_arrow_stream(PyObject* stream_capsule, const char* what) noexcept;
    bool read_arrow_array(PyObject* schema_capsule, PyObject* array_capsule, const char* what) noexcept;
    // A pandas Categorical: its codes (a C-contiguous int64 buffer, -1 for a
    // missing value) into its categories (a list); a category that is not a
    // str fails as the first name that uses it would in a list.
    bool read_codes(PyObject* codes, PyObject* categories, const char* what) noexcept;
    // The names of `first` (may be null), then those of each of `then`, copied.
    bool read_parts(const NameTexts* first, std::span<const NameList* const> then) noexcept;

    // How an Arrow array holds its strings.
    enum class Layout : uint8_t { string, large_string, string_view };
    struct ArrowType {
        Layout values = Layout::string;
        uint8_t index_width = 0;  // bytes of a dictionary index; 0 when not a dictionary
        bool index_signed = false;
    };

    // The distinct values of a dictionary or categorical, as a name that
    // uses one reads: empty for a null or a value of fewer than two words. A
    // bad value (invalid text, not a str) fails only when a name uses it,
    // as that name would in a list.
    struct Entries {
        std::vector<std::string_view> views;
        std::vector<uint8_t> bad;

        void resize(size_t n) {
            views.assign(n, {});
            bad.assign(n, 0);
        }
        int64_t size() const noexcept { return static_cast<int64_t>(views.size()); }
    };

private:
    bool add_str(PyObject* name, Py_ssize_t index, const char* what);
    bool add_chunk(OwnedArray chunk, const ArrowType& type, const char* what);
    bool add_values(const ArrowArray& chunk, Layout layout, const char* what);
    bool add_dictionary(const ArrowArray& chunk, const ArrowType& type, const char* what);

    void add_null(size_t index);
    bool typed(const ArrowType& type, const char* what) noexcept;

    bool every_name_ = false;
    bool large_ = false;
    int64_t null_count_ = 0;
    std::vector<uint8_t> nulls_;       // with every_name: 1 for a null, per name
    std::vector<std::string_view> views_;
    std::vector<char> arena_;          // the UTF-8 of the str names that can match
    std::vector<OwnedArray> chunks_;   // Arrow arrays, kept alive for their bytes
    // The last Arrow dictionary read, and what identifies it (its buffers,
    // offset and length): chunks sliced from one array share theirs, read once.
    Entries dictionary_;
    std::vector<intptr_t> dictionary_key_;
};

}  // namespace talvik::native
