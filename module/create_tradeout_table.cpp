// Builds the native tradeout table from the caller's word_to_matches dict.
// Every key and word is stored once by content, however often it is listed:
// an exact str seen before is not encoded again, and an ASCII exact str is
// its own UTF-8, so the table borrows its bytes instead of copying them.
#include <climits>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "common.h"
#include "talvik/binding/walk.h"

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

// One build of the table from the dict's pairs.
class Builder {
public:
    Builder(OwnedTable& out, Py_ssize_t keys) noexcept : out_(out), table_(keys) {}

    bool add_entry(PyObject* key, PyObject* value) noexcept;
    // The finished table into `out`; false with an exception set.
    bool finish() noexcept;

private:
    std::optional<std::string_view> utf8_of(PyObject* o) noexcept;
    bool add_word(PyObject* item, bool* stop) noexcept;
    bool fill_match_list(PyObject* value) noexcept;
    // The exception a failed step of the table means; always false.
    bool raise(TradeoutTableBuilder::Status status) noexcept;

    OwnedTable& out_;
    TradeoutTableBuilder table_;
    // The exact str already stored, each held so that its address cannot be
    // taken by another object meanwhile, and its bytes borrowed.
    std::unordered_map<PyObject*, std::string_view> seen_;
};

bool Builder::raise(TradeoutTableBuilder::Status status) noexcept {
    if (status == TradeoutTableBuilder::Status::no_free_slot) {
        // More pairs than the dict had keys: it was changed without changing size.
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
    } else {
        PyErr_NoMemory();
    }
    return false;
}

bool Builder::finish() noexcept {
    out_.table = table_.finish();
    return out_.table != nullptr || raise(table_.status());
}

// The UTF-8 bytes of a key or word, to be borrowed by the table; empty with
// an exception set. An ASCII exact str is its own UTF-8; the bytes of any
// other are kept alive in `borrowed`.
std::optional<std::string_view> Builder::utf8_of(PyObject* o) noexcept {
    const bool exact_str = PyUnicode_CheckExact(o);
    if (exact_str) {
        if (auto it = seen_.find(o); it != seen_.end()) return it->second;
    }
    Ref owner;
    std::string_view bytes;
    if (exact_str && PyUnicode_IS_ASCII(o)) {
        owner = new_ref(o);
        bytes = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(o)));
    } else {
        owner.reset(exact_str ? PyUnicode_AsUTF8String(o) : encode_exact_bytes(o));
        if (!owner) return std::nullopt;
        bytes = bytes_view(owner.get());
    }
    try {
        out_.borrowed.push_back(std::move(owner));
        if (exact_str) seen_.emplace(o, bytes);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    return bytes;
}

// Adds one item of a value to the list. False with an exception set; sets
// `stop` once the list is full (the item is still encoded, and can fail).
bool Builder::add_word(PyObject* item, bool* stop) noexcept {
    const auto word = utf8_of(item);
    if (!word) return false;
    if (table_.list_full()) {
        *stop = true;
        return true;
    }
    const auto status = table_.add_word(*word, /*borrow=*/true);
    return status == TradeoutTableBuilder::Status::ok || raise(status);
}

// Walks a value: a list or tuple by index, anything else by iteration (so a
// string gives its characters).
bool Builder::fill_match_list(PyObject* value) noexcept {
    bool stop = false;
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const bool is_list = PyList_CheckExact(value);
        for (Py_ssize_t i = 0; !stop && i < binding::sequence_size(value, is_list); ++i) {
            Ref item = binding::sequence_item(value, is_list, i);
            if (!item || !add_word(item.get(), &stop)) return false;
        }
        return true;
    }
    Ref iterator(PyObject_GetIter(value));
    if (!iterator) return false;
    while (!stop) {
        Ref item(PyIter_Next(iterator.get()));  // clears StopIteration itself
        if (!item) return !PyErr_Occurred();
        if (!add_word(item.get(), &stop)) return false;
    }
    return true;
}

// Stores one (key, value) pair in the table; false with an exception set.
bool Builder::add_entry(PyObject* key, PyObject* value) noexcept {
    const auto kb = utf8_of(key);
    if (!kb) return false;
    const Py_ssize_t m = PyObject_Size(value);
    if (m < 0) return false;
    if (m >= INT32_MAX) {  // one more than m words is beyond what a list can count
        PyErr_NoMemory();
        return false;
    }
    // A list takes one word more than the value reports, the one-byte key's
    // own place counting among them: a value whose iterator runs past its
    // length gives that many words.
    const auto capacity = static_cast<int32_t>(m + 1 - (kb->size() == 1 ? 1 : 0));
    const auto status = table_.begin_key(*kb, capacity, /*borrow=*/true);
    if (status != TradeoutTableBuilder::Status::ok) return raise(status);
    if (!fill_match_list(value)) return false;
    table_.end_key();
    return true;
}

bool build(PyObject* word_to_matches, OwnedTable& out) noexcept {
    if (word_to_matches == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return false;
    }
    const Py_ssize_t n = PyDict_Size(word_to_matches);
    Builder builder(out, n);
    Py_ssize_t pos = 0;
    Ref key, value;
    for (;;) {
        switch (binding::dict_next(word_to_matches, n, &pos, &key, &value)) {
            case binding::DictStep::changed:
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            case binding::DictStep::end:
                return builder.finish();
            case binding::DictStep::item:
                if (!builder.add_entry(key.get(), value.get())) return false;
                break;
        }
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
