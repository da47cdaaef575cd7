#include "names.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <type_traits>

#include "native.h"
#include "talvik/binding/words.h"

namespace talvik::native {
namespace {

constexpr Py_ssize_t max_names = INT32_MAX;  // engine indices are int32
constexpr size_t signal_check_every = 1 << 16;

bool too_many(const char* what) noexcept {
    PyErr_Format(PyExc_ValueError, "%s: at most %zd names can be matched at once", what, max_names);
    return false;
}

bool malformed(const char* what) noexcept {
    PyErr_Format(PyExc_ValueError, "%s: the Arrow array is malformed (bad buffers or offsets)", what);
    return false;
}

// A few Arrow types named, since the format string alone is cryptic.
const char* describe_format(std::string_view format) noexcept {
    if (format == "+s") return "a struct (a table or record batch: pass one of its columns)";
    if (format == "z" || format == "Z") return "binary (cast it to string)";
    return "not a string type";
}

using Layout = NameList::Layout;

bool string_layout(std::string_view format, Layout* layout) noexcept {
    if (format == "u") *layout = Layout::string;
    else if (format == "U") *layout = Layout::large_string;
    else if (format == "vu") *layout = Layout::string_view;
    else return false;
    return true;
}

bool index_type(std::string_view format, NameList::ArrowType* type) noexcept {
    if (format.size() != 1) return false;
    switch (format[0]) {
        case 'c': case 'C': type->index_width = 1; break;
        case 's': case 'S': type->index_width = 2; break;
        case 'i': case 'I': type->index_width = 4; break;
        case 'l': case 'L': type->index_width = 8; break;
        default: return false;
    }
    type->index_signed = format[0] >= 'a';
    return true;
}

bool check_schema(const ArrowSchema& schema, const char* what, NameList::ArrowType* type) noexcept {
    const std::string_view format = schema.format ? schema.format : "";
    if (schema.dictionary != nullptr) {
        const ArrowSchema& values = *schema.dictionary;
        const std::string_view value_format = values.format ? values.format : "";
        if (!index_type(format, type)) {
            PyErr_Format(PyExc_TypeError, "%s: Arrow dictionary indices of format '%s' are not integers", what,
                         schema.format ? schema.format : "");
            return false;
        }
        if (values.dictionary == nullptr && string_layout(value_format, &type->values)) return true;
        PyErr_Format(PyExc_TypeError,
                     "%s: Arrow dictionary values of format '%s' are %s; expected string ('u'), "
                     "large_string ('U') or string_view ('vu')",
                     what, values.format ? values.format : "",
                     values.dictionary != nullptr ? "dictionary-encoded themselves" : describe_format(value_format));
        return false;
    }
    type->index_width = 0;
    if (string_layout(format, &type->values)) return true;
    PyErr_Format(PyExc_TypeError,
                 "%s: Arrow format '%s' is %s; expected string ('u') or large_string ('U')", what,
                 schema.format ? schema.format : "", describe_format(format));
    return false;
}

bool bit_set(const uint8_t* bits, int64_t k) noexcept { return (bits[k >> 3] >> (k & 7)) & 1; }

// Whether an array's length and offset can be indexed without overflow.
bool sane_extent(const ArrowArray& a) noexcept {
    return a.length >= 0 && a.offset >= 0 && a.offset <= INT64_MAX - a.length - 1 && a.buffers != nullptr;
}

// One Arrow array's strings, checked as far as the interface allows: it gives
// no buffer lengths, except the data buffers' sizes of a view array.
class ArrowStrings {
public:
    enum class Item : uint8_t { text, null, malformed };

    // False when the buffers do not fit the layout.
    bool init(const ArrowArray& a, Layout layout) noexcept {
        if (!sane_extent(a)) return false;
        layout_ = layout;
        offset_ = a.offset;
        length_ = a.length;
        validity_ = a.null_count != 0 && a.n_buffers > 0 ? static_cast<const uint8_t*>(a.buffers[0]) : nullptr;
        if (layout == Layout::string_view) {
            // validity, views, the variadic data buffers, then their sizes
            if (a.n_buffers < 3) return false;
            views_ = static_cast<const char*>(a.buffers[1]);
            variadic_count_ = a.n_buffers - 3;
            variadic_ = reinterpret_cast<const char* const*>(a.buffers + 2);
            variadic_sizes_ = static_cast<const int64_t*>(a.buffers[a.n_buffers - 1]);
            if (variadic_count_ > 0 && variadic_sizes_ == nullptr) return false;
        } else {
            if (a.n_buffers != 3) return false;
            offsets_ = a.buffers[1];
            data_ = static_cast<const char*>(a.buffers[2]);
        }
        return length_ == 0 || (layout == Layout::string_view ? views_ != nullptr : offsets_ != nullptr);
    }

    int64_t size() const noexcept { return length_; }

    Item at(int64_t i, std::string_view* out) const noexcept {
        const int64_t k = offset_ + i;
        if (validity_ != nullptr && !bit_set(validity_, k)) return Item::null;
        switch (layout_) {
            case Layout::string: return from_offsets(static_cast<const int32_t*>(offsets_), k, out);
            case Layout::large_string: return from_offsets(static_cast<const int64_t*>(offsets_), k, out);
            case Layout::string_view: return from_view(k, out);
        }
        return Item::malformed;
    }

private:
    template <class Offset>
    Item from_offsets(const Offset* offsets, int64_t k, std::string_view* out) const noexcept {
        const int64_t begin = offsets[k], end = offsets[k + 1];
        if (begin < 0 || end < begin || (end > begin && data_ == nullptr)) return Item::malformed;
        *out = std::string_view(data_ + begin, static_cast<size_t>(end - begin));
        return Item::text;
    }

    // A view is 16 bytes: the length, then up to 12 bytes inline, or else a
    // 4-byte prefix, the data buffer's index and the offset into it.
    Item from_view(int64_t k, std::string_view* out) const noexcept {
        const char* view = views_ + 16 * k;
        int32_t length = 0, buffer = 0, offset = 0;
        std::memcpy(&length, view, 4);
        if (length < 0) return Item::malformed;
        if (length <= 12) {
            *out = std::string_view(view + 4, static_cast<size_t>(length));
            return Item::text;
        }
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        if (buffer < 0 || buffer >= variadic_count_ || offset < 0) return Item::malformed;
        const char* data = variadic_[buffer];
        const int64_t size = variadic_sizes_[buffer];
        if (data == nullptr || size < 0 || size - offset < length) return Item::malformed;
        *out = std::string_view(data + offset, static_cast<size_t>(length));
        return Item::text;
    }

    Layout layout_ = Layout::string;
    int64_t offset_ = 0, length_ = 0;
    const uint8_t* validity_ = nullptr;
    const void* offsets_ = nullptr;
    const char* data_ = nullptr;
    const char* views_ = nullptr;
    const char* const* variadic_ = nullptr;
    const int64_t* variadic_sizes_ = nullptr;
    int64_t variadic_count_ = 0;
};

using Entries = NameList::Entries;

// Appends the entry each of `count` names uses to `out`: null_at(i) for a
// null, else entry index_at(i); fail(entry, index) raises for an entry out
// of range or bad. False with an exception set.
template <class IndexAt, class NullAt, class Fail>
bool add_indexed(std::vector<std::string_view>& out, int64_t count, IndexAt index_at, NullAt null_at,
                 const Entries& entries, Fail fail) {
    const int64_t n_entries = entries.size();
    for (int64_t i = 0; i < count; ++i) {
        const size_t index = out.size();
        if (index % signal_check_every == 0 && PyErr_CheckSignals() < 0) return false;
        if (null_at(i)) {
            out.emplace_back();
            continue;
        }
        const int64_t e = index_at(i);
        if (e < 0 || e >= n_entries || entries.bad[static_cast<size_t>(e)]) return fail(e, index);
        out.push_back(entries.views[static_cast<size_t>(e)]);
    }
    return true;
}

// Calls f with a value of the dictionary index type `type` names.
template <class F>
bool with_index_type(const NameList::ArrowType& type, F&& f) {
    switch (type.index_width) {
        case 1: return type.index_signed ? f(int8_t{}) : f(uint8_t{});
        case 2: return type.index_signed ? f(int16_t{}) : f(uint16_t{});
        case 4: return type.index_signed ? f(int32_t{}) : f(uint32_t{});
        default: return type.index_signed ? f(int64_t{}) : f(uint64_t{});
    }
}

bool raise_invalid_utf8(std::string_view bytes, const binding::Utf8Words& scan, const char* what, size_t index) noexcept {
    PyObject* exc = PyUnicodeDecodeError_Create("utf-8", bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                                static_cast<Py_ssize_t>(scan.error_at),
                                                static_cast<Py_ssize_t>(scan.error_end), "invalid UTF-8");
    if (exc == nullptr) return false;
    PyErr_SetObject(PyExc_UnicodeDecodeError, exc);
    Py_DECREF(exc);
    note_item(what, static_cast<Py_ssize_t>(index));
    return false;
}

bool raise_stream_error(ArrowArrayStream* stream, int code, const char* what) noexcept {
    const char* message = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
    PyErr_Format(PyExc_RuntimeError, "%s: the Arrow stream failed (error %d): %s", what, code,
                 message ? message : "no message");
    return false;
}

bool raise_not_str(PyObject* name, Py_ssize_t index, const char* what) noexcept {
    PyErr_Format(PyExc_TypeError, "%s[%zd] must be str or None, not %.200s", what, index, Py_TYPE(name)->tp_name);
    return false;
}

}  // namespace

void note_item(const char* what, Py_ssize_t index) noexcept {
    add_note([&] { return PyUnicode_FromFormat("while reading %s[%zd]", what, index); });
}

void NameList::add_null(size_t index) {
    if (!every_name_) return;
    nulls_.resize(index + 1);  // the names before it that were not marked are not null
    nulls_.back() = 1;
    ++null_count_;
}

bool NameList::add_str(PyObject* name, Py_ssize_t index, const char* what) {
    if (name == Py_None) {
        add_null(static_cast<size_t>(index));
        return true;
    }
    if (!PyUnicode_Check(name)) return raise_not_str(name, index, what);
    if (!every_name_ && !binding::str_has_two_words(name)) return true;
    if (PyUnicode_IS_ASCII(name)) {
        const auto* data = static_cast<const char*>(PyUnicode_DATA(name));
        arena_.insert(arena_.end(), data, data + PyUnicode_GET_LENGTH(name));
        return true;
    }
    Ref bytes(PyUnicode_AsUTF8String(name));
    if (!bytes) {
        note_item(what, index);
        return false;
    }
    const char* data = PyBytes_AS_STRING(bytes.get());
    arena_.insert(arena_.end(), data, data + PyBytes_GET_SIZE(bytes.get()));
    return true;
}

// Reads item by item: another thread may change a list meanwhile, which
// fails cleanly rather than reading past its end.
bool NameList::read_sequence(PyObject* names, const char* what) noexcept {
    const bool is_list = PyList_Check(names);
    if (!is_list && !PyTuple_Check(names)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list or tuple, not %.200s", what, Py_TYPE(names)->tp_name);
        return false;
    }
    const Py_ssize_t n = is_list ? PyList_Size(names) : PyTuple_GET_SIZE(names);
    if (n > max_names) return too_many(what);
    try {
        std::vector<size_t> ends;
        ends.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i % signal_check_every == 0 && PyErr_CheckSignals() < 0) return false;
            Ref item(is_list ? PyList_GetItemRef(names, i) : Py_NewRef(PyTuple_GET_ITEM(names, i)));
            if (!item) {
                PyErr_Format(PyExc_RuntimeError, "%s changed size while it was being read", what);
                return false;
            }
            if (!add_str(item.get(), i, what)) return false;
            ends.push_back(arena_.size());
        }
        if (is_list && PyList_Size(names) != n) {
            PyErr_Format(PyExc_RuntimeError, "%s changed size while it was being read", what);
            return false;
        }
        views_.reserve(static_cast<size_t>(n));
        size_t start = 0;
        for (const size_t end : ends) {
            views_.emplace_back(arena_.data() + start, end - start);
            start = end;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool NameList::read_parts(const NameTexts* first, std::span<const NameList* const> then) noexcept {
    size_t count = first != nullptr ? first->size() : 0;
    size_t bytes = 0;
    if (first != nullptr) {
        for (size_t i = 0; i < first->size(); ++i) bytes += (*first)[i].size();
    }
    for (const NameList* part : then) {
        count += part->views_.size();
        for (std::string_view v : part->views_) bytes += v.size();
    }
    if (count > static_cast<size_t>(max_names)) return too_many("names");
    try {
        arena_.reserve(bytes);  // the views below point into it: it must not move
        views_.reserve(count);
        auto add = [&](std::string_view v) {
            const size_t at = arena_.size();
            arena_.insert(arena_.end(), v.begin(), v.end());
            views_.emplace_back(arena_.data() + at, v.size());
        };
        if (first != nullptr) {
            for (size_t i = 0; i < first->size(); ++i) add((*first)[i]);
        }
        for (const NameList* part : then) {
            for (std::string_view v : part->views_) add(v);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool NameList::read_codes(PyObject* codes, PyObject* categories, const char* what) noexcept {
    if (!PyList_Check(categories)) {
        PyErr_Format(PyExc_TypeError, "categories must be a list, not %.200s", Py_TYPE(categories)->tp_name);
        return false;
    }
    Py_buffer buffer;
    if (PyObject_GetBuffer(codes, &buffer, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    struct Release {
        Py_buffer* b;
        ~Release() { PyBuffer_Release(b); }
    } release{&buffer};
    const std::string_view format = buffer.format ? buffer.format : "";
    if (buffer.ndim != 1 || buffer.itemsize != 8 || (format != "q" && format != "l" && format != "<q" &&
                                                     format != "<l" && format != "=q" && format != "=l")) {
        PyErr_SetString(PyExc_TypeError, "codes must be a one-dimensional int64 buffer");
        return false;
    }
    const Py_ssize_t n = buffer.shape[0];
    if (n > max_names) return too_many(what);
    try {
        // The categories' UTF-8 into the arena first, so that views into it stay put.
        const Py_ssize_t n_categories = PyList_GET_SIZE(categories);
        Entries entries;
        entries.resize(static_cast<size_t>(n_categories));
        std::vector<std::pair<size_t, size_t>> spans(static_cast<size_t>(n_categories));
        for (Py_ssize_t e = 0; e < n_categories; ++e) {
            if (e % signal_check_every == 0 && PyErr_CheckSignals() < 0) return false;
            Ref item(PyList_GetItemRef(categories, e));
            if (!item) {
                PyErr_SetString(PyExc_RuntimeError, "the categories changed size while they were being read");
                return false;
            }
            const auto at = static_cast<size_t>(e);
            const size_t start = arena_.size();
            if (!add_str(item.get(), e, what)) {
                // A str that does not encode, or not a str: its first user
                // raises the list's own error (add_str again, at its index).
                if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_UnicodeError)) {
                    return false;
                }
                PyErr_Clear();
                entries.bad[at] = 1;
            }
            spans[at] = {start, arena_.size()};
        }
        for (size_t e = 0; e < spans.size(); ++e) {
            entries.views[e] = std::string_view(arena_.data() + spans[e].first, spans[e].second - spans[e].first);
        }
        const auto* data = static_cast<const char*>(buffer.buf);
        auto code_at = [&](int64_t i) {
            int64_t code;
            std::memcpy(&code, data + 8 * i, 8);
            return code;
        };
        auto fail = [&](int64_t e, size_t index) {
            const auto i = static_cast<Py_ssize_t>(index);
            if (e < 0 || e >= entries.size()) {
                PyErr_Format(PyExc_ValueError, "%s[%zd]: category code %lld is out of range", what, i,
                             static_cast<long long>(e));
                return false;
            }
            // The error add_str raised for the category, now at this name's
            // index (without add_str, whose arena the views point into).
            Ref item(PyList_GetItemRef(categories, static_cast<Py_ssize_t>(e)));
            if (!item) return false;
            if (!PyUnicode_Check(item.get())) return raise_not_str(item.get(), i, what);
            Ref bytes(PyUnicode_AsUTF8String(item.get()));
            if (bytes) {
                PyErr_SetString(PyExc_RuntimeError, "the categories changed while they were being read");
            } else {
                note_item(what, i);
            }
            return false;
        };
        views_.reserve(static_cast<size_t>(n));
        return add_indexed(views_, n, code_at, [&](int64_t i) { return code_at(i) == -1; }, entries, fail);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool NameList::add_values(const ArrowArray& chunk, Layout layout, const char* what) {
    ArrowStrings strings;
    if (!strings.init(chunk, layout)) return malformed(what);
    for (int64_t i = 0; i < strings.size(); ++i) {
        const size_t index = views_.size();
        if (index % signal_check_every == 0 && PyErr_CheckSignals() < 0) return false;
        std::string_view bytes;
        switch (strings.at(i, &bytes)) {
            case ArrowStrings::Item::malformed: return malformed(what);
            case ArrowStrings::Item::null:
                add_null(index);
                views_.emplace_back();  // a null never matches
                continue;
            case ArrowStrings::Item::text: break;
        }
        if (every_name_) {
            views_.push_back(bytes);  // normalize checks the UTF-8 itself, in parallel
            continue;
        }
        const binding::Utf8Words scan = binding::utf8_words(bytes);
        if (!scan.valid) return raise_invalid_utf8(bytes, scan, what, index);
        views_.push_back(scan.two_words || every_name_ ? bytes : std::string_view{});
    }
    return true;
}

// Each dictionary value is scanned once, however many names use it.
bool NameList::add_dictionary(const ArrowArray& chunk, const ArrowType& type, const char* what) {
    if (!sane_extent(chunk) || chunk.n_buffers != 2 || chunk.dictionary == nullptr) return malformed(what);
    const void* indices = chunk.buffers[1];
    if (indices == nullptr && chunk.length > 0) return malformed(what);
    const ArrowArray& dictionary = *chunk.dictionary;
    ArrowStrings values;
    if (!values.init(dictionary, type.values)) return malformed(what);
    std::vector<intptr_t> key{dictionary.offset, dictionary.length, static_cast<intptr_t>(type.values)};
    for (int64_t b = 0; b < dictionary.n_buffers; ++b) key.push_back(reinterpret_cast<intptr_t>(dictionary.buffers[b]));
    if (key != dictionary_key_) {  // the arrays read so far keep the last one's buffers alive
        dictionary_key_.clear();
        Entries& entries = dictionary_;
        entries.resize(static_cast<size_t>(values.size()));
        for (int64_t e = 0; e < values.size(); ++e) {
            if (e % signal_check_every == 0 && PyErr_CheckSignals() < 0) return false;
            std::string_view bytes;
            const ArrowStrings::Item item = values.at(e, &bytes);
            if (item == ArrowStrings::Item::malformed) return malformed(what);
            if (item == ArrowStrings::Item::null) continue;
            const binding::Utf8Words scan = binding::utf8_words(bytes);
            const auto at = static_cast<size_t>(e);
            entries.bad[at] = !scan.valid;
            entries.views[at] = !scan.valid || scan.two_words ? bytes : std::string_view{};
        }
        dictionary_key_ = std::move(key);
    }
    const Entries& entries = dictionary_;
    const auto* validity = chunk.null_count != 0 ? static_cast<const uint8_t*>(chunk.buffers[0]) : nullptr;
    const int64_t offset = chunk.offset;
    auto null_at = [&](int64_t i) { return validity != nullptr && !bit_set(validity, offset + i); };
    auto fail = [&](int64_t e, size_t index) {
        if (e < 0 || e >= entries.size()) return malformed(what);
        const std::string_view bytes = entries.views[static_cast<size_t>(e)];
        return raise_invalid_utf8(bytes, binding::utf8_words(bytes), what, index);
    };
    return with_index_type(type, [&](auto tag) {
        using Index = decltype(tag);
        auto index_at = [&](int64_t i) -> int64_t {
            Index value;
            std::memcpy(&value, static_cast<const char*>(indices) + (offset + i) * int64_t{sizeof(Index)},
                        sizeof(Index));
            if constexpr (std::is_same_v<Index, uint64_t>) {
                if (value > uint64_t{INT64_MAX}) return -1;
            }
            return static_cast<int64_t>(value);
        };
        return add_indexed(views_, chunk.length, index_at, null_at, entries, fail);
    });
}

// Notes the type read; talvik.normalize writes its result in the same
// offsets, and reads no dictionary (it would write each value per name).
bool NameList::typed(const ArrowType& type, const char* what) noexcept {
    large_ = type.values == Layout::large_string;
    if (every_name_ && type.index_width != 0) {
        PyErr_Format(PyExc_TypeError, "%s: a dictionary-encoded Arrow array cannot be normalised; decode it first",
                     what);
        return false;
    }
    return true;
}

bool NameList::add_chunk(OwnedArray chunk, const ArrowType& type, const char* what) {
    const ArrowArray& a = *chunk;
    if (!sane_extent(a)) return malformed(what);
    if (a.length > max_names - static_cast<Py_ssize_t>(views_.size())) return too_many(what);
    try {
        // Grown geometrically: a stream may bring many small chunks.
        const size_t needed = views_.size() + static_cast<size_t>(a.length);
        if (needed > views_.capacity()) views_.reserve(std::max(needed, 2 * views_.capacity()));
        chunks_.push_back(std::move(chunk));
        const ArrowArray& kept = *chunks_.back();
        return type.index_width != 0 ? add_dictionary(kept, type, what) : add_values(kept, type.values, what);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool NameList::read_arrow_stream(PyObject* capsule, const char* what) noexcept {
    auto* raw = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (raw == nullptr) return false;
    if (raw->release == nullptr) {
        PyErr_Format(PyExc_ValueError, "%s: the Arrow stream was already consumed", what);
        return false;
    }
    OwnedStream stream(raw);
    ArrowArrayStream* s = stream.get();
    OwnedSchema schema;
    if (const int code = s->get_schema(s, schema.get()); code != 0) return raise_stream_error(s, code, what);
    ArrowType type;
    if (!check_schema(*schema, what, &type) || !typed(type, what)) return false;
    for (;;) {
        OwnedArray chunk;
        if (const int code = s->get_next(s, chunk.get()); code != 0) return raise_stream_error(s, code, what);
        if (chunk.released()) return true;  // the end of the stream
        if (!add_chunk(std::move(chunk), type, what)) return false;
    }
}

bool NameList::read_arrow_array(PyObject* schema_capsule, PyObject* array_capsule, const char* what) noexcept {
    auto* raw_schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
    if (raw_schema == nullptr) return false;
    auto* raw_array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
    if (raw_array == nullptr) return false;
    if (raw_schema->release == nullptr || raw_array->release == nullptr) {
        PyErr_Format(PyExc_ValueError, "%s: the Arrow array was already consumed", what);
        return false;
    }
    OwnedSchema schema(raw_schema);
    OwnedArray array(raw_array);
    ArrowType type;
    if (!check_schema(*schema, what, &type) || !typed(type, what)) return false;
    return add_chunk(std::move(array), type, what);
}

}  // namespace talvik::native
