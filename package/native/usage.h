// Index.tradeout_usage: per tradeout key, the pairs of the whole list that
// found a word through it and the pairs that need it, tallied piece by piece
// so that memory stays bounded whatever the number of pairs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "search.h"

namespace talvik::native {

// A new list of (key, pairs, needed) for every key with pairs > 0, most pairs
// first, then by key; null with an exception set.
PyObject* tradeout_usage_list(const SearchCall& call) noexcept;

}  // namespace talvik::native
