#include "tradeouts.h"

#include <climits>
#include <optional>
#include <string_view>

#include "native.h"
#include "talvik/binding/walk.h"

namespace talvik::native {
namespace {

// A str's UTF-8, valid while the str lives (or `owner`, when the bytes had
// to be made apart: lone surrogates passed through for explain()).
struct Utf8 {
    Ref owner;
    std::string_view bytes;
};

std::optional<Utf8> utf8_of(PyObject* s, bool surrogates) noexcept {
    Utf8 out;
    if (surrogates) {
        out.owner.reset(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
        if (!out.owner) return std::nullopt;
        out.bytes = std::string_view(PyBytes_AS_STRING(out.owner.get()),
                                     static_cast<size_t>(PyBytes_GET_SIZE(out.owner.get())));
        return out;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (data == nullptr) return std::nullopt;
    out.bytes = std::string_view(data, static_cast<size_t>(size));
    return out;
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

// The exception a failed step of the table means; always false.
bool raise(TradeoutTableBuilder::Status status) noexcept {
    if (status == TradeoutTableBuilder::Status::no_free_slot) {
        PyErr_SetString(PyExc_RuntimeError, "tradeouts changed during iteration");
    } else {
        PyErr_NoMemory();
    }
    return false;
}

bool add_entry(TradeoutTableBuilder& table, PyObject* key, PyObject* value, bool surrogates) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "tradeouts keys must be str, not %.200s", Py_TYPE(key)->tp_name);
        return false;
    }
    const auto key_bytes = utf8_of(key, surrogates);
    if (!key_bytes) {
        add_note([] { return PyUnicode_FromString("while reading a key of tradeouts"); });
        return false;
    }
    Ref words(value_words(key, value));
    if (!words) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(words.get());
    if (table.begin_key(key_bytes->bytes, static_cast<int32_t>(n)) != TradeoutTableBuilder::Status::ok) {
        return raise(table.status());
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        const auto word = utf8_of(PyTuple_GET_ITEM(words.get(), k), surrogates);
        if (!word) {
            add_note([&] { return PyUnicode_FromFormat("while reading tradeouts[%R][%zd]", key, k); });
            return false;
        }
        if (table.add_word(word->bytes) != TradeoutTableBuilder::Status::ok) return raise(table.status());
    }
    table.end_key();
    return true;
}

}  // namespace

TradeoutTablePtr table_from_dict(PyObject* tradeouts, bool surrogates) noexcept {
    if (tradeouts != Py_None && !PyDict_Check(tradeouts)) {
        PyErr_Format(PyExc_TypeError, "tradeouts must be a dict or None, not %.200s", Py_TYPE(tradeouts)->tp_name);
        return nullptr;
    }
    const Py_ssize_t n = tradeouts == Py_None ? 0 : PyDict_Size(tradeouts);
    TradeoutTableBuilder table(n);
    Py_ssize_t pos = 0;
    Ref key, value;
    for (bool more = n > 0; more;) {
        switch (binding::dict_next(tradeouts, n, &pos, &key, &value)) {
            case binding::DictStep::changed:
                PyErr_SetString(PyExc_RuntimeError, "tradeouts changed size during iteration");
                return nullptr;
            case binding::DictStep::end:
                more = false;
                break;
            case binding::DictStep::item:
                if (!add_entry(table, key.get(), value.get(), surrogates)) return nullptr;
                break;
        }
    }
    TradeoutTablePtr finished = table.finish();
    if (!finished) raise(table.status());
    return finished;
}

}  // namespace talvik::native
