#include "talvik/binding/released.h"

#include "talvik/binding/ref.h"

namespace talvik::binding {

bool Released::report(int64_t rows) noexcept {
    if (on_progress_ == nullptr) return true;
    Ref count(PyLong_FromLongLong(rows));
    Ref result(count ? PyObject_CallOneArg(on_progress_, count.get()) : nullptr);
    return result != nullptr;
}

bool Released::keep_going(void* self) noexcept {
    auto& r = *static_cast<Released*>(self);
    if (r.failed_) return false;  // never enter Python again with an exception pending
    PyEval_RestoreThread(r.state_);
    const bool ok = PyErr_CheckSignals() == 0 && r.report(r.rows_before_ + r.rows_.rows_done());
    r.state_ = PyEval_SaveThread();
    if (!ok) {
        r.failed_ = true;
        r.stop_.request_stop();
    }
    return ok;
}

}  // namespace talvik::binding
