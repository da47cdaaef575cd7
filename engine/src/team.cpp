#include "team.h"

#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "talvik/find_pairs.h"
#include "talvik/memory_limit.h"

namespace talvik {
namespace {

// Counts finished workers so that a polling caller can wait with a timeout.
struct Finish {
    std::mutex mutex;
    std::condition_variable all_done;
    int32_t done = 0;

    void one_done() {
        std::lock_guard<std::mutex> lock(mutex);
        ++done;
        all_done.notify_all();
    }
};

// The C++ runtime keeps a thread's exception state in thread-local storage
// that the dynamic loader allocates on first use, and the loader ends the
// process when it cannot: a bad_alloc thrown when memory is short would be
// that first use. Touching it at once, while memory is still to be had,
// allocates it then. The call is declared pure, so its result must be used
// or the compiler drops it.
void claim_exception_state() noexcept {
    volatile int in_flight = std::uncaught_exceptions();
    (void)in_flight;
}

// The room a new worker needs under an address-space limit: its stack, and
// its thread-local blocks and first allocations well within the rest.
constexpr uint64_t kThreadRoom = uint64_t{32} << 20;

// Holds every new worker between claiming its exception state and its
// work, so that no worker claims while another already allocates: a claim
// raced by its team's allocations could still find no memory left.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int32_t claimed = 0;
    bool open = false;

    void claimed_then_wait() {
        std::unique_lock<std::mutex> lock(mutex);
        ++claimed;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
    }
    void open_when_claimed(int32_t started) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return claimed == started; });
        open = true;
        changed.notify_all();
    }
};

// Starts threads for workers first..workers-1; stops at the first that
// cannot be made, or should not be for want of room. Returns the threads
// made, once each has claimed its exception state.
std::vector<std::thread> start_threads(int32_t first, int32_t workers, WorkerFn work, Finish& finish,
                                       Gate& gate) noexcept {
    std::vector<std::thread> threads;
    try {
        threads.reserve(static_cast<size_t>(workers - first));
        for (int32_t w = first; w < workers; ++w) {
            if (address_space_room() < kThreadRoom) break;  // a smaller team gives the same result
            threads.emplace_back([work, w, &finish, &gate] {
                claim_exception_state();
                gate.claimed_then_wait();
                work(w);
                finish.one_done();
            });
        }
    } catch (const std::system_error&) {
        // A smaller team gives the same result.
    } catch (const std::bad_alloc&) {
    }
    gate.open_when_claimed(static_cast<int32_t>(threads.size()));
    return threads;
}

void ask_poll(const Poll& poll, std::atomic<bool>& stop) {
    if (!stop.load(std::memory_order_relaxed) && !poll.keep_going(poll.context)) {
        stop.store(true, std::memory_order_relaxed);
    }
}

// Polls every interval until the workers are done, and once at the end of
// a run shorter than that: a call made of many short runs would otherwise
// never poll, and a stop asked for during it would go unseen to its end.
void wait_polling(Finish& finish, int32_t started, const Poll& poll, std::atomic<bool>& stop) {
    const auto interval = std::chrono::milliseconds(poll.interval_ms > 0 ? poll.interval_ms : 50);
    std::unique_lock<std::mutex> lock(finish.mutex);
    bool polled = false;
    while (!finish.all_done.wait_for(lock, interval, [&] { return finish.done == started; })) {
        lock.unlock();
        ask_poll(poll, stop);
        polled = true;
        lock.lock();
    }
    lock.unlock();
    if (!polled) ask_poll(poll, stop);
}

}  // namespace

int32_t processors_available() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
    const int count = CPU_COUNT(&set);
    return count > 0 ? count : 1;
}

int32_t run_team(int32_t workers, WorkerFn work, const Poll* poll, std::atomic<bool>& stop) noexcept {
    if (workers < 1) workers = 1;
    claim_exception_state();
    Finish finish;
    Gate gate;
    const bool polling = poll != nullptr && poll->keep_going != nullptr;
    std::vector<std::thread> threads = start_threads(polling ? 0 : 1, workers, work, finish, gate);
    const auto started = static_cast<int32_t>(threads.size());
    int32_t team = started;
    if (!polling || started == 0) {
        work(0);  // the threads are 1..started, or there are none
        ++team;
    } else {
        wait_polling(finish, started, *poll, stop);
    }
    for (std::thread& t : threads) t.join();
    return team;
}

}  // namespace talvik
