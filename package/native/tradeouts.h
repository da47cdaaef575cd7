// The tradeout table from a dict of str -> iterable of str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "talvik/tradeout_table.h"

namespace talvik::native {

// None or an empty dict gives a table that finds nothing. With `surrogates`
// lone surrogates pass into the UTF-8 (explain() shows any text); without,
// they are an error. Null with an exception set on failure.
TradeoutTablePtr table_from_dict(PyObject* tradeouts, bool surrogates = false) noexcept;

}  // namespace talvik::native
