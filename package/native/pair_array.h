// Pairs as (k, 2) int32 in one malloc'd block: gathered piece by piece, then
// handed to Python as an object with the buffer protocol, which NumPy wraps
// without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>

#include "native.h"
#include "talvik/pair_store.h"

namespace talvik::native {

// Grows with realloc, which for large blocks moves pages rather than bytes.
class PairBlock {
public:
    int64_t size() const noexcept { return size_; }
    NamePair* data() noexcept { return data_.get(); }
    NamePair* end() noexcept { return data_.get() + size_; }
    // Room for `total` pairs; false when memory runs out.
    bool reserve(int64_t total) noexcept;
    void added(int64_t n) noexcept { size_ += n; }
    // Gives back the unused room (never fails: a failed shrink keeps it).
    void shrink() noexcept;
    std::unique_ptr<NamePair, Free> take() noexcept { return std::move(data_); }

private:
    std::unique_ptr<NamePair, Free> data_;
    int64_t size_ = 0;
    int64_t capacity_ = 0;
};

extern PyType_Spec pair_array_spec;

// A new PairArray owning the block's pairs; null with an exception set.
PyObject* make_pair_array(PyTypeObject* type, PairBlock&& block) noexcept;

}  // namespace talvik::native
