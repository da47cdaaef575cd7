// The Arrow C data interface (its ABI is fixed and public), with owners that
// call each struct's release callback exactly once.
#pragma once

#include <cstdint>
#include <utility>

extern "C" {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

}  // extern "C"

namespace talvik::native {

// Owns one Arrow struct. A struct is moved by copying it and marking the
// source released (release = null), which is how the interface moves them.
template <class T>
class ArrowOwner {
public:
    ArrowOwner() noexcept { raw_.release = nullptr; }
    // Takes over `*source`, leaving it released.
    explicit ArrowOwner(T* source) noexcept : raw_(*source) { source->release = nullptr; }
    ArrowOwner(ArrowOwner&& other) noexcept : raw_(other.raw_) { other.raw_.release = nullptr; }
    ArrowOwner& operator=(ArrowOwner&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = other.raw_;
            other.raw_.release = nullptr;
        }
        return *this;
    }
    ArrowOwner(const ArrowOwner&) = delete;
    ArrowOwner& operator=(const ArrowOwner&) = delete;
    ~ArrowOwner() { reset(); }

    void reset() noexcept {
        if (raw_.release != nullptr) raw_.release(&raw_);
        raw_.release = nullptr;
    }
    bool released() const noexcept { return raw_.release == nullptr; }
    T* get() noexcept { return &raw_; }
    const T& operator*() const noexcept { return raw_; }
    const T* operator->() const noexcept { return &raw_; }

private:
    T raw_{};
};

using OwnedSchema = ArrowOwner<ArrowSchema>;
using OwnedArray = ArrowOwner<ArrowArray>;
using OwnedStream = ArrowOwner<ArrowArrayStream>;

}  // namespace talvik::native
