// The tradeout table from a dict of str -> iterable of str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tradeout_table.h"

namespace talvik::native {

// None or an empty dict gives a table that finds nothing. A one-byte key is
// the first of its own tradeouts. Null with an exception set on failure.
TradeoutTablePtr build_tradeout_table(PyObject* tradeouts) noexcept;

}  // namespace talvik::native
