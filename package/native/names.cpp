#include "names.h"

#include <climits>
#include <new>

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
    if (format == "vu") return "string_view (cast it to string or large_string)";
    if (format == "z" || format == "Z") return "binary (cast it to string)";
    return "not a string type";
}

bool check_schema(const ArrowSchema& schema, const char* what, bool* large) noexcept {
    const std::string_view format = schema.format ? schema.format : "";
    if (schema.dictionary != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s: a dictionary-encoded Arrow array cannot be read; decode it first",
                     what);
        return false;
    }
    if (format == "u" || format == "U") {
        *large = format == "U";
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "%s: Arrow format '%s' is %s; expected string ('u') or large_string ('U')", what,
                 schema.format ? schema.format : "", describe_format(format));
    return false;
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

}  // namespace

void note_item(const char* what, Py_ssize_t index) noexcept {
    add_note([&] { return PyUnicode_FromFormat("while reading %s[%zd]", what, index); });
}

bool NameList::add_str(PyObject* name, Py_ssize_t index, const char* what) {
    if (name == Py_None) return true;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s[%zd] must be str or None, not %.200s", what, index,
                     Py_TYPE(name)->tp_name);
        return false;
    }
    if (!binding::str_has_two_words(name)) return true;
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

template <class Offset>
bool NameList::add_chunk_names(const ArrowArray& chunk, const char* what) {
    const auto* validity = static_cast<const uint8_t*>(chunk.buffers[0]);
    const auto* offsets = static_cast<const Offset*>(chunk.buffers[1]);
    const auto* data = static_cast<const char*>(chunk.buffers[2]);
    if (offsets == nullptr) return malformed(what);
    for (int64_t i = 0; i < chunk.length; ++i) {
        const size_t index = views_.size();
        if (index % signal_check_every == 0 && PyErr_CheckSignals() < 0) return false;
        const int64_t k = chunk.offset + i;
        if (validity != nullptr && !((validity[k >> 3] >> (k & 7)) & 1)) {
            views_.emplace_back();  // a null never matches
            continue;
        }
        const int64_t begin = offsets[k], end = offsets[k + 1];
        if (begin < 0 || end < begin || (end > begin && data == nullptr)) return malformed(what);
        const std::string_view bytes(data + begin, static_cast<size_t>(end - begin));
        const binding::Utf8Words scan = binding::utf8_words(bytes);
        if (!scan.valid) return raise_invalid_utf8(bytes, scan, what, index);
        views_.push_back(scan.two_words ? bytes : std::string_view{});
    }
    return true;
}

bool NameList::add_chunk(OwnedArray chunk, bool large, const char* what) {
    const ArrowArray& a = *chunk;
    if (a.length < 0 || a.offset < 0 || a.n_buffers != 3 || a.buffers == nullptr) return malformed(what);
    if (a.length > max_names - static_cast<Py_ssize_t>(views_.size())) return too_many(what);
    try {
        views_.reserve(views_.size() + static_cast<size_t>(a.length));
        chunks_.push_back(std::move(chunk));
        const ArrowArray& kept = *chunks_.back();
        return large ? add_chunk_names<int64_t>(kept, what) : add_chunk_names<int32_t>(kept, what);
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
    bool large = false;
    if (!check_schema(*schema, what, &large)) return false;
    for (;;) {
        OwnedArray chunk;
        if (const int code = s->get_next(s, chunk.get()); code != 0) return raise_stream_error(s, code, what);
        if (chunk.released()) return true;  // the end of the stream
        if (!add_chunk(std::move(chunk), large, what)) return false;
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
    bool large = false;
    if (!check_schema(*schema, what, &large)) return false;
    return add_chunk(std::move(array), large, what);
}

}  // namespace talvik::native
