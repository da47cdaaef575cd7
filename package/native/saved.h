// A saved index from Python: written to a file or to bytes, opened from
// either, checked before its first search, and looked up name by name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "native.h"
#include "names.h"
#include "pair_array.h"
#include "search.h"
#include "talvik/name_lookup.h"
#include "talvik/saved_index.h"

namespace talvik::native {

// Raises what a saved index's error means: OSError for the file system,
// ValueError for a file that is not a sound index (saying which fault and
// where), MemoryError. `path` (may be null) names the file. Always false.
bool raise_saved_error(const SavedIndexStatus& status, PyObject* path) noexcept;

// Writes `index` to the path (bytes, as os.fsencode gives) atomically.
// False with an exception set.
bool save_to_path(const SearchIndex& index, PyObject* path, Released& released) noexcept;

// The saved form of `index` as a new bytes object; null with an exception set.
PyObject* saved_bytes(const SearchIndex& index, Released& released) noexcept;

// Opens a saved file by memory map; null with an exception set.
std::unique_ptr<SavedIndex> open_saved(PyObject* path) noexcept;

// Reads the saved form in a bytes object, which the caller keeps alive; null
// with an exception set.
std::unique_ptr<SavedIndex> saved_over_bytes(PyObject* bytes) noexcept;

// Checks the large sections (once; later calls return at once). False with
// an exception set.
bool verify_saved(SavedIndex& saved, int32_t threads, Released& released) noexcept;

// Every (query, indexed name) match, by query then indexed name, into `out`,
// their scores into `scores` when the filter asks for them (and dropped below
// its min_score). False with an exception set.
bool lookup_pairs(const NameLookup& lookup, const NameList& queries, int32_t threads, Released& released,
                  const PairFilter& filter, PairBlock& out, ScoreBlock& scores) noexcept;

}  // namespace talvik::native
