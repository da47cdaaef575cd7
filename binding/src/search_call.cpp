#include "talvik/binding/search_call.h"

#include <algorithm>
#include <climits>

#include "talvik/memory_limit.h"

namespace talvik::binding {

int64_t pair_budget(uint64_t bytes_per_pair) noexcept {
    return static_cast<int64_t>(std::min<uint64_t>(memory_available() / bytes_per_pair, INT64_MAX));
}

bool raise_search_error(SearchError error, const char* too_many_pairs) noexcept {
    if (PyErr_Occurred()) return false;
    switch (error) {
        case SearchError::too_many_pairs:
            PyErr_SetString(PyExc_MemoryError, too_many_pairs);
            break;
        case SearchError::out_of_memory:
            PyErr_NoMemory();
            break;
        case SearchError::stopped:
            PyErr_SetString(PyExc_RuntimeError, "the search was stopped");
            break;
        case SearchError::bad_options:
            PyErr_SetString(PyExc_ValueError, "blocks must hold one code per name");
            break;
        case SearchError::none:
            PyErr_SetString(PyExc_RuntimeError, "the search failed");
            break;
    }
    return false;
}

}  // namespace talvik::binding
