#include "variants.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "native.h"
#include "talvik/match_rule.h"
#include "talvik/variants.h"

namespace talvik::native {
namespace {

// The distinct words of the items in first-seen order, cut as the rule cuts
// names. The views borrow the UTF-8 of the items, which `items` keeps alive.
struct Vocabulary {
    Ref items;  // our own tuple: nobody can change it while we read
    std::vector<std::string_view> words;
    std::vector<PyObject*> whole;  // borrowed: the item that is exactly the word, or null
    std::unordered_map<std::string_view, int32_t> ids;  // of words

    // An item that is neither str nor None is a TypeError.
    bool read(PyObject* given) noexcept {
        const bool ok = read_names(given, true, [](std::span<const int32_t>) {});
        std::unordered_map<std::string_view, int32_t>().swap(ids);  // not needed after reading
        return ok;
    }

    // The same, calling on_name(word ids) for each str item; with `strict`
    // false, items that are not str are skipped rather than refused.
    template <class OnName>
    bool read_names(PyObject* given, bool strict, OnName&& on_name) noexcept {
        items.reset(PySequence_Tuple(given));
        if (!items) return false;
        const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
        try {
            std::vector<int32_t> name;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (i % 65536 == 0 && PyErr_CheckSignals() < 0) return false;  // millions take a while
                PyObject* item = PyTuple_GET_ITEM(items.get(), i);
                if (item == Py_None) continue;
                if (!PyUnicode_Check(item)) {
                    if (!strict) continue;
                    PyErr_Format(PyExc_TypeError, "items[%zd] must be str or None, not %.200s", i,
                                 Py_TYPE(item)->tp_name);
                    return false;
                }
                Py_ssize_t size = 0;
                const char* data = PyUnicode_AsUTF8AndSize(item, &size);
                if (data == nullptr) {
                    note_item("items", i);
                    return false;
                }
                const std::string_view text(data, static_cast<size_t>(size));
                name.clear();
                for_each_word(text, [&](std::string_view word) {
                    const auto [it, added] = ids.try_emplace(word, static_cast<int32_t>(words.size()));
                    if (added) {
                        if (words.size() == static_cast<size_t>(INT32_MAX)) throw std::length_error("words");
                        words.push_back(word);
                        whole.push_back(word.size() == text.size() ? item : nullptr);
                    }
                    name.push_back(it->second);
                });
                on_name(std::span<const int32_t>(name));
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        } catch (const std::length_error&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    // A new reference to word w as a str.
    PyObject* word_object(size_t w) const noexcept {
        if (whole[w] != nullptr) return Py_NewRef(whole[w]);
        return PyUnicode_DecodeUTF8(words[w].data(), static_cast<Py_ssize_t>(words[w].size()), "strict");
    }

    // Every word as a str, made once, into `out`.
    bool word_objects(std::vector<Ref>& out) const noexcept {
        try {
            out.resize(words.size());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t w = 0; w < words.size(); ++w) {
            out[w].reset(word_object(w));
            if (!out[w]) return false;
        }
        return true;
    }
};

// A new list of the objects, in order.
PyObject* list_of(const std::vector<Ref>& objects) noexcept {
    Ref out(PyList_New(static_cast<Py_ssize_t>(objects.size())));
    if (!out) return nullptr;
    for (size_t k = 0; k < objects.size(); ++k) {
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), Py_NewRef(objects[k].get()));
    }
    return out.release();
}

bool raise_variant_error(VariantError error) noexcept {
    if (PyErr_Occurred()) return false;  // Ctrl-C, raised by the poll
    switch (error) {
        case VariantError::bad_options:
            PyErr_SetString(PyExc_ValueError, "max_edits must be 1 or 2 and min_length at least 0");
            break;
        case VariantError::out_of_memory:
            PyErr_NoMemory();
            break;
        default:
            PyErr_SetString(PyExc_RuntimeError, "the search for variants was stopped");
            break;
    }
    return false;
}

// {word: [variants by first appearance]} for every word that has some.
PyObject* table_of(const Vocabulary& vocabulary, const std::vector<VariantPair>& pairs) noexcept {
    const size_t n = vocabulary.words.size();
    std::vector<size_t> start;
    std::vector<int32_t> others;
    try {
        start.assign(n + 1, 0);
        for (VariantPair p : pairs) {
            ++start[static_cast<size_t>(p.first) + 1];
            ++start[static_cast<size_t>(p.second) + 1];
        }
        for (size_t w = 0; w < n; ++w) start[w + 1] += start[w];
        others.resize(start[n]);
        // Pairs come by first, then second, so each word's list fills in
        // increasing order: the smaller partners first, then the larger.
        std::vector<size_t> next(start.begin(), start.end() - 1);
        for (VariantPair p : pairs) {
            others[next[static_cast<size_t>(p.first)]++] = p.second;
            others[next[static_cast<size_t>(p.second)]++] = p.first;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
    std::vector<Ref> objects;
    try {
        objects.resize(n);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const auto object = [&](int32_t w) -> PyObject* {
        Ref& o = objects[static_cast<size_t>(w)];
        if (!o) o.reset(vocabulary.word_object(static_cast<size_t>(w)));
        return o.get();
    };
    Ref table(PyDict_New());
    if (!table) return nullptr;
    for (size_t w = 0; w < n; ++w) {
        // Millions of entries take seconds to make: Ctrl-C is heard here too.
        if (w % 4096 == 0 && PyErr_CheckSignals() < 0) return nullptr;
        if (start[w] == start[w + 1]) continue;
        Ref list(PyList_New(static_cast<Py_ssize_t>(start[w + 1] - start[w])));
        if (!list) return nullptr;
        for (size_t k = start[w]; k < start[w + 1]; ++k) {
            PyObject* other = object(others[k]);
            if (other == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k - start[w]), Py_NewRef(other));
        }
        PyObject* key = object(static_cast<int32_t>(w));
        if (key == nullptr || PyDict_SetItem(table.get(), key, list.get()) < 0) return nullptr;
    }
    return table.release();
}

bool int_arg(PyObject* o, const char* name, int32_t* out) noexcept {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s is out of range", name);
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

PyObject* distinct_words(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "distinct_words() takes 1 argument (%zd given)", nargs);
        return nullptr;
    }
    Vocabulary vocabulary;
    std::vector<Ref> words;
    if (!vocabulary.read(args[0]) || !vocabulary.word_objects(words)) return nullptr;
    return list_of(words);
}

namespace {

struct Positions {
    int64_t before = 0;
    int64_t last = 0;
};

// A word typed with a space inside it ("Hay den Smith" for "Hayden Smith"):
// two words that follow each other in a name and together spell a word of
// the vocabulary. Only a name of three words or more can still match once
// a word of it is split, and its first part then stands for the whole.
class SplitWords {
public:
    // Throws std::bad_alloc.
    void note(std::span<const int32_t> name) {
        if (name.size() < 3) return;
        for (size_t k = 0; k + 1 < name.size(); ++k) {
            adjacent_.push_back(static_cast<uint64_t>(static_cast<uint32_t>(name[k])) << 32 |
                                static_cast<uint32_t>(name[k + 1]));
        }
    }

    // (part, whole) as variant pairs, by first, then second. Throws std::bad_alloc.
    std::vector<VariantPair> pairs(const Vocabulary& vocabulary) {
        // Sorting the repeats together costs less than a hash set of them.
        std::sort(adjacent_.begin(), adjacent_.end());
        adjacent_.erase(std::unique(adjacent_.begin(), adjacent_.end()), adjacent_.end());
        // Most joined pairs are no word: a bit per hash, small enough to stay
        // in cache, turns those away before the vocabulary's map is read.
        const std::hash<std::string_view> hash;
        size_t bits = 64;
        while (bits < 8 * vocabulary.words.size()) bits *= 2;
        std::vector<uint64_t> seen(bits / 64);
        for (const std::string_view w : vocabulary.words) {
            const size_t h = hash(w) & (bits - 1);
            seen[h / 64] |= uint64_t{1} << (h % 64);
        }
        std::vector<VariantPair> out;
        std::string joined;
        for (const uint64_t key : adjacent_) {
            const auto part = static_cast<int32_t>(key >> 32);
            const auto rest = static_cast<int32_t>(key & 0xffffffffu);
            joined.assign(vocabulary.words[static_cast<size_t>(part)]);
            joined.append(vocabulary.words[static_cast<size_t>(rest)]);
            const size_t h = hash(joined) & (bits - 1);
            if ((seen[h / 64] >> (h % 64) & 1u) == 0) continue;
            const auto it = vocabulary.ids.find(joined);
            if (it == vocabulary.ids.end()) continue;  // joined is longer than part: never part itself
            out.push_back(VariantPair{std::min(part, it->second), std::max(part, it->second)});
        }
        std::sort(out.begin(), out.end(), [](VariantPair a, VariantPair b) {
            return a.first != b.first ? a.first < b.first : a.second < b.second;
        });
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }

private:
    std::vector<uint64_t> adjacent_;  // (word, the word after it), as read
};

// {word: count} for the words whose count, as `count` reads it, is not 0.
PyObject* counts_of(const std::vector<Ref>& words, const std::vector<Positions>& at,
                    int64_t Positions::*count) noexcept {
    Ref out(PyDict_New());
    if (!out) return nullptr;
    for (size_t w = 0; w < at.size(); ++w) {
        if (at[w].*count == 0) continue;
        Ref n(PyLong_FromLongLong(at[w].*count));
        if (!n || PyDict_SetItem(out.get(), words[w].get(), n.get()) < 0) return nullptr;
    }
    return out.release();
}

}  // namespace

PyObject* word_positions(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "word_positions() takes 1 argument (%zd given)", nargs);
        return nullptr;
    }
    Vocabulary vocabulary;
    std::vector<Positions> at;
    SplitWords splits;
    const bool read = vocabulary.read_names(args[0], false, [&](std::span<const int32_t> name) {
        at.resize(vocabulary.words.size());  // throws std::bad_alloc, which the reader reports
        splits.note(name);
        if (name.size() < 2) return;
        for (size_t k = 0; k + 1 < name.size(); ++k) ++at[static_cast<size_t>(name[k])].before;
        ++at[static_cast<size_t>(name.back())].last;
    });
    if (!read) return nullptr;
    std::vector<Ref> words;
    std::vector<VariantPair> split_pairs;
    try {
        at.resize(vocabulary.words.size());
        split_pairs = splits.pairs(vocabulary);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
    if (!vocabulary.word_objects(words)) return nullptr;
    Ref before(counts_of(words, at, &Positions::before));
    if (!before) return nullptr;
    Ref last(counts_of(words, at, &Positions::last));
    if (!last) return nullptr;
    // The vocabulary too: what the spelling variants are found among.
    Ref distinct(list_of(words));
    if (!distinct) return nullptr;
    Ref split(table_of(vocabulary, split_pairs));
    if (!split) return nullptr;
    return PyTuple_Pack(4, before.get(), last.get(), distinct.get(), split.get());
}

PyObject* variant_table(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "variant_table() takes 5 arguments (%zd given)", nargs);
        return nullptr;
    }
    VariantOptions options;
    if (!int_arg(args[1], "max_edits", &options.max_edits) || !int_arg(args[2], "min_length", &options.min_length) ||
        !int_arg(args[4], "threads", &options.threads)) {
        return nullptr;
    }
    const int swaps = PyObject_IsTrue(args[3]);
    if (swaps < 0) return nullptr;
    options.transpositions = swaps != 0;
    if (options.max_edits < 1 || options.max_edits > 2 || options.min_length < 0) {
        return raise_variant_error(VariantError::bad_options), nullptr;
    }
    if (options.threads < 1) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    Vocabulary vocabulary;
    if (!vocabulary.read(args[0])) return nullptr;
    Released released(nullptr);
    options.stop = released.stop();
    options.poll = released.poll();
    const VariantResult found = released.run(0, [&]() noexcept { return find_variants(vocabulary.words, options); });
    if (found.error != VariantError::none) return raise_variant_error(found.error), nullptr;
    return table_of(vocabulary, found.pairs);
}

}  // namespace talvik::native
