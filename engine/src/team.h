// A team of worker threads for one search, started and joined by the call
// that needs it. Thread creation that fails (no memory for a stack, a process
// limit) leaves a smaller team, down to the calling thread alone; nothing is
// left running afterwards, and nothing can end the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace talvik {

struct Poll;

// A borrowed callable; the callee must not keep it past the call.
class WorkerFn {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_const_t<F>, WorkerFn>)  // a copy must not point at the copied
    WorkerFn(F& f) noexcept  // NOLINT: implicit by design
        : object_(&f), call_([](void* o, int32_t worker) { (*static_cast<F*>(o))(worker); }) {}

    void operator()(int32_t worker) const { call_(object_, worker); }

private:
    void* object_;
    void (*call_)(void*, int32_t);
};

// The processors this process may run on (at least one).
int32_t processors_available() noexcept;

// Runs work(w) once for every worker w of a team of up to `workers` and
// returns once all have finished; returns how many ran. The workers are
// numbered 0 .. n-1 without gaps, so per-worker state sized for `workers`
// always suffices. Without a poll the calling thread is worker 0. With one,
// the calling thread only waits and calls it every interval; when it says to
// stop, `stop` is raised for the workers to see. `work` must not throw.
int32_t run_team(int32_t workers, WorkerFn work, const Poll* poll, std::atomic<bool>& stop) noexcept;

}  // namespace talvik
