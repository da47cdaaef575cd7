// What both bindings do around an engine search: a budget of pairs that fits
// in the memory left, and the exception an engine error becomes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "talvik/find_pairs.h"

namespace talvik::binding {

// How many pairs of `bytes_per_pair` each fit in the memory this process can
// still take: a search past it fails at once, not once the memory is gone.
int64_t pair_budget(uint64_t bytes_per_pair) noexcept;

// Raises what an engine error means; `too_many_pairs` is each binding's own
// message for a search past its budget. Nothing new when an exception is
// already pending (Ctrl-C, or a progress callback's). Always false.
bool raise_search_error(SearchError error, const char* too_many_pairs) noexcept;

}  // namespace talvik::binding
