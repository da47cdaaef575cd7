// Builds the native tradeout table from the caller's word_to_matches dict.
// Every key and word is stored once by content, however often it is listed:
// an exact str seen before is not encoded again, and an ASCII exact str is
// its own UTF-8, so the table borrows its bytes instead of copying them.
#include <climits>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "common.h"

namespace talvik::py {
namespace {

// `o.encode("utf-8")`, which must give an exact bytes object.
PyObject* encode_exact_bytes(PyObject* o) noexcept {
    Ref encoded(call_encode(o));
    if (!encoded) return nullptr;
    if (encoded.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return nullptr;
    }
    if (!PyBytes_CheckExact(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(encoded.get())->tp_name);
        return nullptr;
    }
    return encoded.release();
}

std::string_view bytes_view(PyObject* b) noexcept {
    return {PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b))};
}

// One build: the table, and the exact str objects already stored, each held
// so that its address cannot be taken by another object meanwhile.
class Builder {
public:
    explicit Builder(OwnedTable& out) noexcept : out_(out) {}

    bool add_entry(PyObject* key, PyObject* value) noexcept;

private:
    std::optional<std::string_view> utf8_of(PyObject* o) noexcept;
    bool add_word(MatchList& list, PyObject* item, bool* stop) noexcept;
    bool fill_match_list(MatchList& list, PyObject* value) noexcept;

    OwnedTable& out_;
    std::unordered_map<PyObject*, std::string_view> seen_;
};

// The interned UTF-8 bytes of a key or word; empty with an exception set.
std::optional<std::string_view> Builder::utf8_of(PyObject* o) noexcept {
    TradeoutTable& table = *out_.table;
    if (!PyUnicode_CheckExact(o)) {
        Ref encoded(encode_exact_bytes(o));
        if (!encoded) return std::nullopt;
        auto stored = table.pool.intern(bytes_view(encoded.get()));
        if (!stored) PyErr_NoMemory();
        return stored;
    }
    if (auto it = seen_.find(o); it != seen_.end()) return it->second;
    std::optional<std::string_view> stored;
    if (PyUnicode_IS_ASCII(o)) {
        const std::string_view own(static_cast<const char*>(PyUnicode_DATA(o)),
                                   static_cast<size_t>(PyUnicode_GET_LENGTH(o)));
        stored = table.pool.intern(own, /*borrow=*/true);
    } else {
        Ref encoded(PyUnicode_AsUTF8String(o));
        if (!encoded) return std::nullopt;
        stored = table.pool.intern(bytes_view(encoded.get()));
    }
    if (!stored) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    try {
        out_.borrowed.push_back(new_ref(o));
        seen_.emplace(o, *stored);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    return stored;
}

// Adds one item of a value to the list. False with an exception set; sets
// `stop` once the list is full (the item is still encoded, and can fail).
bool Builder::add_word(MatchList& list, PyObject* item, bool* stop) noexcept {
    const auto word = utf8_of(item);
    if (!word) return false;
    if (list.full()) {
        *stop = true;
        return true;
    }
    if (!match_list_add(*out_.table, list, *word, /*borrow=*/true)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Walks a value: a list or tuple by index, anything else by iteration (so a
// string gives its characters).
bool Builder::fill_match_list(MatchList& list, PyObject* value) noexcept {
    bool stop = false;
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const bool is_list = PyList_CheckExact(value);
        for (Py_ssize_t i = 0; !stop; ++i) {
            const Py_ssize_t size = is_list ? PyList_Size(value) : PyTuple_GET_SIZE(value);
            if (i >= size) break;
            Ref item(is_list ? PyList_GetItemRef(value, i) : Py_NewRef(PyTuple_GET_ITEM(value, i)));
            if (!item || !add_word(list, item.get(), &stop)) return false;
        }
        return true;
    }
    Ref iterator(PyObject_GetIter(value));
    if (!iterator) return false;
    while (!stop) {
        Ref item(PyIter_Next(iterator.get()));  // clears StopIteration itself
        if (!item) return !PyErr_Occurred();
        if (!add_word(list, item.get(), &stop)) return false;
    }
    return true;
}

// Stores one (key, value) pair in the table; false with an exception set.
bool Builder::add_entry(PyObject* key, PyObject* value) noexcept {
    TradeoutTable& table = *out_.table;
    const auto kb = utf8_of(key);
    if (!kb) return false;
    const auto slot = tradeout_table_claim_slot(table, *kb);
    if (!slot) {
        // More pairs than the dict had keys: it was changed without changing size.
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return false;
    }
    if (!tradeout_table_store_key(table, *slot, *kb, /*borrow=*/true)) {
        PyErr_NoMemory();
        return false;
    }
    const Py_ssize_t m = PyObject_Size(value);
    if (m < 0) return false;
    if (m >= INT32_MAX) {  // one more than m words is beyond what a list can count
        PyErr_NoMemory();
        return false;
    }
    std::unique_ptr<MatchList> list = make_match_list(static_cast<int32_t>(m + 1));
    if (!list) {
        PyErr_NoMemory();
        return false;
    }
    // A one-byte key (a one-character ASCII word) stands for itself first.
    if (kb->size() == 1 && !match_list_add(table, *list, *kb, /*borrow=*/true)) {
        PyErr_NoMemory();
        return false;
    }
    if (!fill_match_list(*list, value)) return false;
    table.entries[*slot].matches = std::move(list);
    return true;
}

bool build(PyObject* word_to_matches, OwnedTable& out) noexcept {
    if (word_to_matches == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return false;
    }
    const Py_ssize_t n = PyDict_Size(word_to_matches);
    out.table = make_tradeout_table(n);
    if (!out.table) {
        PyErr_NoMemory();
        return false;
    }
    Builder builder(out);
    // One step at a time under the dict's own lock; the pair is processed
    // (which runs arbitrary encode methods) outside it.
    Py_ssize_t pos = 0;
    for (;;) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        bool changed = false;
        Py_BEGIN_CRITICAL_SECTION(word_to_matches);
        if (PyDict_GET_SIZE(word_to_matches) != n) {
            changed = true;
        } else if (PyDict_Next(word_to_matches, &pos, &key, &value)) {
            Py_INCREF(key);
            Py_INCREF(value);
        }
        Py_END_CRITICAL_SECTION();
        if (changed) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (key == nullptr) return true;
        Ref key_ref(key), value_ref(value);
        if (!builder.add_entry(key, value)) return false;
    }
}

}  // namespace

bool create_tradeout_table(PyObject* word_to_matches, OwnedTable& out) noexcept {
    if (build(word_to_matches, out)) return true;
    out = OwnedTable{};
    add_traceback(TracebackEntry::create_tradeout_table);
    return false;
}

}  // namespace talvik::py
