// Results as numbers in one malloc'd block: pairs as (k, 2) int32, and one
// column of float32 or int32 (scores, labels). Gathered piece by piece, then
// handed to Python as an object with the buffer protocol, which NumPy wraps
// without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "native.h"
#include "talvik/pair_store.h"

namespace talvik::native {

// Grows with realloc, which for large blocks moves pages rather than bytes.
template <class T>
class Block {
public:
    int64_t size() const noexcept { return size_; }
    T* data() noexcept { return data_.get(); }
    T* end() noexcept { return data_.get() + size_; }
    // Room for `total` items; false when memory runs out.
    bool reserve(int64_t total) noexcept {
        if (total <= capacity_ && data_) return true;
        const int64_t grown = std::max({total, capacity_ + capacity_ / 2, int64_t{1}});
        if (grown > PY_SSIZE_T_MAX / static_cast<int64_t>(sizeof(T))) return false;
        void* p = std::realloc(data_.get(), static_cast<size_t>(grown) * sizeof(T));
        if (p == nullptr) return false;
        (void)data_.release();  // realloc freed or kept it
        data_.reset(static_cast<T*>(p));
        capacity_ = grown;
        return true;
    }
    void added(int64_t n) noexcept { size_ += n; }
    // Gives back the unused room (never fails: a failed shrink keeps it).
    void shrink() noexcept {
        const int64_t keep = std::max<int64_t>(size_, 1);
        if (!data_ || keep >= capacity_) return;
        void* p = std::realloc(data_.get(), static_cast<size_t>(keep) * sizeof(T));
        if (p == nullptr) return;
        (void)data_.release();
        data_.reset(static_cast<T*>(p));
        capacity_ = keep;
    }
    std::unique_ptr<T, Free> take() noexcept { return std::move(data_); }

private:
    std::unique_ptr<T, Free> data_;
    int64_t size_ = 0;
    int64_t capacity_ = 0;
};

using PairBlock = Block<NamePair>;
using ScoreBlock = Block<float>;
using LabelBlock = Block<int32_t>;

extern PyType_Spec pair_array_spec;

// A new array object owning the block's items; null with an exception set.
PyObject* make_pair_array(PyTypeObject* type, PairBlock&& block) noexcept;
PyObject* make_score_array(PyTypeObject* type, ScoreBlock&& block) noexcept;
PyObject* make_label_column(PyTypeObject* type, LabelBlock&& block) noexcept;

}  // namespace talvik::native
