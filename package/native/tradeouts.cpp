#include "tradeouts.h"

#include <climits>
#include <optional>
#include <string_view>

#include "handles.h"

namespace talvik::native {
namespace {

std::optional<std::string_view> utf8_of(PyObject* s) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<size_t>(size));
}

// The words of one value, as a tuple of its own (a list another thread
// changes meanwhile cannot affect it). A str or bytes value is refused: as an
// iterable it would give its characters, which is never what was meant.
PyObject* value_words(PyObject* key, PyObject* value) noexcept {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
        PyErr_Format(PyExc_TypeError, "tradeouts[%R] must be an iterable of words, not %.200s (write [%R])", key,
                     Py_TYPE(value)->tp_name, value);
        return nullptr;
    }
    Ref words(PySequence_Tuple(value));
    if (!words) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "tradeouts[%R] must be an iterable of words, not %.200s", key,
                         Py_TYPE(value)->tp_name);
        }
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(words.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* word = PyTuple_GET_ITEM(words.get(), k);
        if (!PyUnicode_Check(word)) {
            PyErr_Format(PyExc_TypeError, "tradeouts[%R] holds a %.200s; words must be str", key,
                         Py_TYPE(word)->tp_name);
            return nullptr;
        }
    }
    if (n >= INT32_MAX) {  // one more than n words is beyond what a list can count
        PyErr_NoMemory();
        return nullptr;
    }
    return words.release();
}

bool fill_list(TradeoutTable& table, MatchList& list, PyObject* key, PyObject* words) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(words);
    for (Py_ssize_t k = 0; k < n; ++k) {
        const auto word = utf8_of(PyTuple_GET_ITEM(words, k));
        if (!word) {
            add_note([&] { return PyUnicode_FromFormat("while reading tradeouts[%R][%zd]", key, k); });
            return false;
        }
        if (!match_list_add(table, list, *word)) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

bool add_entry(TradeoutTable& table, PyObject* key, PyObject* value) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "tradeouts keys must be str, not %.200s", Py_TYPE(key)->tp_name);
        return false;
    }
    const auto key_bytes = utf8_of(key);
    if (!key_bytes) {
        add_note([] { return PyUnicode_FromString("while reading a key of tradeouts"); });
        return false;
    }
    Ref words(value_words(key, value));
    if (!words) return false;
    const auto slot = tradeout_table_claim_slot(table, *key_bytes);
    if (!slot) {
        PyErr_SetString(PyExc_RuntimeError, "tradeouts changed during iteration");
        return false;
    }
    if (!tradeout_table_store_key(table, *slot, *key_bytes)) {
        PyErr_NoMemory();
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(words.get());
    std::unique_ptr<MatchList> list = make_match_list(static_cast<int32_t>(n + 1));
    if (!list) {
        PyErr_NoMemory();
        return false;
    }
    // A one-byte key (a one-character ASCII word, an initial) stands for itself first.
    if (key_bytes->size() == 1 && !match_list_add(table, *list, *key_bytes)) {
        PyErr_NoMemory();
        return false;
    }
    if (!fill_list(table, *list, key, words.get())) return false;
    table.entries[*slot].matches = std::move(list);
    return true;
}

// One step of PyDict_Next under the dict's own lock; false at the end or
// when the dict changed size (then with an exception set).
bool next_item(PyObject* dict, Py_ssize_t size, Py_ssize_t* pos, Ref* key, Ref* value) noexcept {
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    bool changed = false;
    Py_BEGIN_CRITICAL_SECTION(dict);
    if (PyDict_GET_SIZE(dict) != size) {
        changed = true;
    } else if (PyDict_Next(dict, pos, &k, &v)) {
        Py_INCREF(k);
        Py_INCREF(v);
    }
    Py_END_CRITICAL_SECTION();
    if (changed) PyErr_SetString(PyExc_RuntimeError, "tradeouts changed size during iteration");
    key->reset(k);
    value->reset(v);
    return k != nullptr;
}

}  // namespace

TradeoutTablePtr build_tradeout_table(PyObject* tradeouts) noexcept {
    if (tradeouts != Py_None && !PyDict_Check(tradeouts)) {
        PyErr_Format(PyExc_TypeError, "tradeouts must be a dict or None, not %.200s", Py_TYPE(tradeouts)->tp_name);
        return nullptr;
    }
    const Py_ssize_t n = tradeouts == Py_None ? 0 : PyDict_Size(tradeouts);
    TradeoutTablePtr table = make_tradeout_table(n);
    if (!table) {
        PyErr_NoMemory();
        return nullptr;
    }
    Py_ssize_t pos = 0;
    Ref key, value;
    // Each pair is processed outside the lock: encoding may run arbitrary code.
    while (n > 0 && next_item(tradeouts, n, &pos, &key, &value)) {
        if (!add_entry(*table, key.get(), value.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return table;
}

}  // namespace talvik::native
