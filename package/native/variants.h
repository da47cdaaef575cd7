// talvik.variants' native half: the vocabulary of a list of names, its
// spelling variants found by the engine, as a dict of str -> list of str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace talvik::native {

// variant_table(items, max_edits, min_length, transpositions, threads).
PyObject* variant_table(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// distinct_words(items) -> list: the distinct words of the items, cut as the
// rule cuts names, in the order they first appear.
PyObject* distinct_words(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// word_positions(items) -> (before, last, words, splits): over the items
// that are names of two words or more, cut as the rule cuts them, how often
// each word is written before the last word, and how often last, as dicts of
// str -> int; every distinct word, in first-seen order; and the words split
// by a space, {word: [words]} both ways, each part that begins a split word
// with the word it spells. Items that are not str are skipped.
PyObject* word_positions(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace talvik::native
