#include "explain.h"

#include <new>
#include <string_view>
#include <vector>

#include "native.h"
#include "talvik/binding/words.h"
#include "talvik/match_rule.h"
#include "tradeouts.h"

namespace talvik::native {
namespace {

// Any text is shown, lone surrogates included: they pass into the bytes and back.
PyObject* encode(PyObject* s) noexcept { return PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"); }

PyObject* decode(std::string_view bytes) noexcept {
    return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogatepass");
}

std::string_view bytes_of(PyObject* b) noexcept {
    return {PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b))};
}

PyObject* word_tuple(const WordAccount& a) noexcept {
    const Ref word(decode(a.word));
    if (!word) return nullptr;
    if (a.how != WordAccount::How::tradeout) {
        return Py_BuildValue("(Oii)", word.get(), static_cast<int>(a.how), a.other_position);
    }
    const Ref via(decode(a.via));
    return via ? Py_BuildValue("(OiiO)", word.get(), 1, a.other_position, via.get()) : nullptr;
}

PyObject* words_tuple(const std::vector<WordAccount>& words) noexcept {
    Ref out(PyTuple_New(static_cast<Py_ssize_t>(words.size())));
    if (!out) return nullptr;
    for (size_t k = 0; k < words.size(); ++k) {
        PyObject* item = word_tuple(words[k]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), item);
    }
    return out.release();
}

}  // namespace

PyObject* explain(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "explain() takes two str and a dict or None");
        return nullptr;
    }
    const Ref name1(encode(args[0]));
    const Ref name2(name1 ? encode(args[1]) : nullptr);
    if (!name2) return nullptr;
    const TradeoutTablePtr table = table_from_dict(args[2], /*surrogates=*/true);
    if (!table) return nullptr;
    MatchAccount m;
    try {
        m = explain_match(bytes_of(name1.get()), bytes_of(name2.get()), *table);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    // A name that str.split() cuts into fewer than two words is never searched.
    const bool match =
        m.match && binding::str_has_two_words(args[0]) && binding::str_has_two_words(args[1]);
    const Ref words1(words_tuple(m.words1));
    const Ref words2(words1 ? words_tuple(m.words2) : nullptr);
    if (!words2) return nullptr;
    return Py_BuildValue("(OOiiiiO)", words1.get(), words2.get(), m.found1, m.found2, m.needed1, m.needed2,
                         match ? Py_True : Py_False);
}

}  // namespace talvik::native
