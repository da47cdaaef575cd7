#include "normalize.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "names.h"
#include "native.h"
#include "talvik/normalize.h"

namespace talvik::native {
namespace {

bool threads_of(PyObject* o, int32_t* out) noexcept {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return false;
    }
    *out = static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v);
    return true;
}

bool raise_failure(const NormalizeFailure& f, std::span<const std::string_view> names, const char* what) noexcept {
    if (PyErr_Occurred()) return false;  // Ctrl-C, raised by its handler while we ran
    switch (f.error) {
        case NormalizeError::invalid_utf8: {
            const std::string_view bytes = names[f.index];
            PyObject* exc = PyUnicodeDecodeError_Create("utf-8", bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                                        static_cast<Py_ssize_t>(f.at), static_cast<Py_ssize_t>(f.end),
                                                        "invalid UTF-8");
            if (exc == nullptr) return false;
            PyErr_SetObject(PyExc_UnicodeDecodeError, exc);
            Py_DECREF(exc);
            note_item(what, static_cast<Py_ssize_t>(f.index));
            return false;
        }
        case NormalizeError::out_of_memory:
            PyErr_NoMemory();
            return false;
        default:
            PyErr_SetString(PyExc_RuntimeError, "normalize was stopped");
            return false;
    }
}

// The drop list from a tuple of str; false with an exception set.
bool drop_words_of(PyObject* words, DropWords& drop) noexcept {
    if (!PyTuple_Check(words)) {
        PyErr_Format(PyExc_TypeError, "the words to drop must be a tuple, not %.200s", Py_TYPE(words)->tp_name);
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(words);
    std::vector<std::string_view> entries;
    try {
        entries.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* w = PyTuple_GET_ITEM(words, i);  // the tuple, held by the caller, keeps it alive
            if (!PyUnicode_Check(w)) {
                PyErr_Format(PyExc_TypeError, "a word to drop must be str, not %.200s", Py_TYPE(w)->tp_name);
                return false;
            }
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(w, &size);
            if (utf8 == nullptr) return false;
            entries.emplace_back(utf8, static_cast<size_t>(size));
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    const NormalizeFailure f = DropWords::make(entries, drop);
    return f.error == NormalizeError::none || raise_failure(f, entries, "the words to drop");
}

// Normalises the list with the interpreter released; false with an exception set.
bool run(const NameList& list, const DropWords& drop, int32_t threads, const char* what,
         NormalizedNames& out) noexcept {
    Released released(nullptr);
    out = released.run(0, [&]() noexcept {
        NormalizeOptions options;
        options.threads = threads;
        options.stop = released.stop();
        options.poll = released.poll();
        return normalize_names(list.views(), drop, options);
    });
    return out.ok() || raise_failure(out.failure, list.views(), what);
}

// ---- A new Arrow string array owning the engine's buffers.

struct StringArray {
    std::vector<char> data;
    std::vector<int64_t> offsets64;
    std::vector<int32_t> offsets32;
    std::vector<uint8_t> validity;
    const void* buffers[3] = {nullptr, nullptr, nullptr};
};

void release_array(ArrowArray* a) noexcept {
    delete static_cast<StringArray*>(a->private_data);
    a->release = nullptr;
}
void release_schema(ArrowSchema* s) noexcept { s->release = nullptr; }  // its strings are static

void free_schema_capsule(PyObject* capsule) noexcept {
    auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (s != nullptr && s->release != nullptr) s->release(s);
    delete s;
}
void free_array_capsule(PyObject* capsule) noexcept {
    auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (a != nullptr && a->release != nullptr) a->release(a);
    delete a;
}

// (schema, array) capsules of the normalised names, nulls where the input
// had them; the type is the input's, or large_string when the bytes outgrow
// int32 offsets.
PyObject* arrow_result(const NameList& list, NormalizedNames&& out) noexcept {
    auto* schema = new (std::nothrow) ArrowSchema{};
    auto* array = new (std::nothrow) ArrowArray{};
    std::unique_ptr<StringArray> owned(new (std::nothrow) StringArray);
    Ref schema_capsule, array_capsule;
    if (schema == nullptr || array == nullptr || !owned) {
        delete schema;
        delete array;
        return PyErr_NoMemory();
    }
    // From here the capsules own the structs, released or not.
    schema_capsule.reset(PyCapsule_New(schema, "arrow_schema", free_schema_capsule));
    if (!schema_capsule) {
        delete schema;
        delete array;
        return nullptr;
    }
    array_capsule.reset(PyCapsule_New(array, "arrow_array", free_array_capsule));
    if (!array_capsule) {
        delete array;
        return nullptr;
    }
    const auto n = static_cast<int64_t>(list.size());
    const bool large = list.large() || out.bytes.size() > static_cast<size_t>(INT32_MAX);
    try {
        StringArray& a = *owned;
        a.data = std::move(out.bytes);
        a.data.reserve(1);  // a buffer pointer even when every name is empty
        if (large) {
            a.offsets64 = std::move(out.offsets);
            a.buffers[1] = a.offsets64.data();
        } else {
            a.offsets32.assign(out.offsets.begin(), out.offsets.end());
            out.offsets = {};
            a.buffers[1] = a.offsets32.data();
        }
        if (list.has_nulls()) {
            a.validity.assign(static_cast<size_t>((n + 7) / 8), 0);
            for (int64_t i = 0; i < n; ++i) {
                if (!list.is_null(static_cast<size_t>(i))) a.validity[static_cast<size_t>(i >> 3)] |= uint8_t(1u << (i & 7));
            }
            a.buffers[0] = a.validity.data();
        }
        a.buffers[2] = a.data.data();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    *schema = ArrowSchema{large ? "U" : "u", "", nullptr, 2 /* nullable */, 0, nullptr, nullptr, release_schema, nullptr};
    *array = ArrowArray{n, list.null_count(), 0, 3, 0, owned->buffers, nullptr, nullptr, release_array, owned.get()};
    owned.release();
    return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
}

// The list of str or None for a sequence's names; null with an exception set.
PyObject* list_result(const NameList& list, const NormalizedNames& out) noexcept {
    const Py_ssize_t n = list.size();
    Ref result(PyList_New(n));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item;
        if (list.is_null(static_cast<size_t>(i))) {
            item = Py_NewRef(Py_None);
        } else {
            const int64_t begin = out.offsets[static_cast<size_t>(i)], end = out.offsets[static_cast<size_t>(i) + 1];
            item = PyUnicode_DecodeUTF8(out.bytes.data() + begin, static_cast<Py_ssize_t>(end - begin), "strict");
            if (item == nullptr) return nullptr;
        }
        PyList_SET_ITEM(result.get(), i, item);
    }
    return result.release();
}

// What every normalize_* function does after its names: `rest` holds
// (drop, threads, label); read(list, label) fills the list; an Arrow input
// gets an Arrow result, a sequence a list.
template <class Read>
PyObject* normalize_call(PyObject* const* rest, bool arrow, Read&& read) noexcept {
    const Ref words(Py_NewRef(rest[0]));
    const char* what = label(rest[2]);
    int32_t threads = 1;
    if (what == nullptr || !threads_of(rest[1], &threads)) return nullptr;
    DropWords drop;
    if (!drop_words_of(words.get(), drop)) return nullptr;
    NameList list(true);
    if (!read(list, what)) return nullptr;
    NormalizedNames out;
    if (!run(list, drop, threads, what, out)) return nullptr;
    return arrow ? arrow_result(list, std::move(out)) : list_result(list, out);
}

}  // namespace

PyObject* normalize_sequence(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("normalize_sequence", nargs, 4)) return nullptr;
    const Ref names(Py_NewRef(args[0]));
    return normalize_call(args + 1, false,
                          [&](NameList& l, const char* what) { return l.read_sequence(names.get(), what); });
}

PyObject* normalize_arrow_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("normalize_arrow_stream", nargs, 4)) return nullptr;
    const Ref capsule(Py_NewRef(args[0]));
    return normalize_call(args + 1, true,
                          [&](NameList& l, const char* what) { return l.read_arrow_stream(capsule.get(), what); });
}

PyObject* normalize_arrow_array(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (!check_nargs("normalize_arrow_array", nargs, 5)) return nullptr;
    const Ref schema(Py_NewRef(args[0])), array(Py_NewRef(args[1]));
    return normalize_call(args + 2, true, [&](NameList& l, const char* what) {
        return l.read_arrow_array(schema.get(), array.get(), what);
    });
}

}  // namespace talvik::native
