// Engine work with the interpreter released. The engine calls back on this
// thread every poll interval; the callback attaches again just long enough to
// run signal handlers (Ctrl-C) and report progress, and asks the engine to
// stop when either raised.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "talvik/find_pairs.h"

namespace talvik::binding {

class Released {
public:
    // `on_progress` (borrowed, may be null) is called with the rows done so
    // far, counted from the start of the whole call.
    explicit Released(PyObject* on_progress) noexcept : on_progress_(on_progress) {
        poll_.keep_going = &Released::keep_going;
        poll_.context = this;
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    const Poll* poll() const noexcept { return &poll_; }
    const StopToken* stop() const noexcept { return &stop_; }
    Progress* progress() noexcept { return &rows_; }

    // Runs f() detached; rows it reports come after `rows_before` earlier ones.
    template <class F>
    auto run(int64_t rows_before, F&& f) {
        rows_before_ = rows_before;
        rows_.reset();
        state_ = PyEval_SaveThread();
        const Reattach reattach{*this};
        return f();
    }

    // Reports rows done; false with an exception set when the callback raised.
    bool report(int64_t rows) noexcept;
    // Whether a signal handler or the progress callback raised during run().
    bool failed() const noexcept { return failed_; }

private:
    struct Reattach {
        Released& r;
        ~Reattach() {
            PyEval_RestoreThread(r.state_);
            r.state_ = nullptr;
        }
    };
    static bool keep_going(void* self) noexcept;

    PyObject* on_progress_;
    PyThreadState* state_ = nullptr;
    int64_t rows_before_ = 0;
    bool failed_ = false;
    Progress rows_;
    StopToken stop_;
    Poll poll_;
};

}  // namespace talvik::binding
