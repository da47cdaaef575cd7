// Builds the native tradeout table from the caller's word_to_matches dict.
#include <climits>
#include <string_view>

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

// Adds one item of a value to the list. False with an exception set; sets
// `stop` once the list is full (the item is still encoded, and can fail).
bool add_word(MatchList& list, PyObject* item, bool* stop) noexcept {
    Ref word(encode_exact_bytes(item));
    if (!word) return false;
    if (list.full()) {
        *stop = true;
        return true;
    }
    match_list_add(list, bytes_view(word.get()));
    return true;
}

// Walks a value: a list or tuple by index, anything else by iteration (so a
// string gives its characters).
bool fill_match_list(MatchList& list, PyObject* value) noexcept {
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
bool add_entry(TradeoutTable& table, PyObject* key, PyObject* value) noexcept {
    Ref key_bytes(encode_exact_bytes(key));
    if (!key_bytes) return false;
    const std::string_view kb = bytes_view(key_bytes.get());

    const auto slot = tradeout_table_claim_slot(table, kb);
    if (!slot) {
        // More pairs than the dict had keys: it was changed without changing size.
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return false;
    }
    if (!tradeout_table_store_key(table, *slot, kb)) {
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
    if (kb.size() == 1) match_list_add(*list, kb);
    if (!fill_match_list(*list, value)) return false;
    table.entries[*slot].matches = std::move(list);
    return true;
}

TradeoutTablePtr build(PyObject* word_to_matches) noexcept {
    if (word_to_matches == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    const Py_ssize_t n = PyDict_Size(word_to_matches);
    TradeoutTablePtr table = make_tradeout_table(n);
    if (!table) {
        PyErr_NoMemory();
        return nullptr;
    }
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
            return nullptr;
        }
        if (key == nullptr) return table;
        Ref key_ref(key), value_ref(value);
        if (!add_entry(*table, key, value)) return nullptr;
    }
}

}  // namespace

TradeoutTablePtr create_tradeout_table(PyObject* word_to_matches) noexcept {
    TradeoutTablePtr table = build(word_to_matches);
    if (!table) add_traceback(TracebackEntry::create_tradeout_table);
    return table;
}

}  // namespace talvik::py
