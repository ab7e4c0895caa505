// Shared pieces of the two background workers (retry worker and schedule job).
#pragma once

#include <limits>

#include <apr_portable.h>
#include <apr_thread_proc.h>
#include <apr_time.h>

#include <gravel/edge_base.h>

#include "edge_scoped_pool.hpp"

namespace gravel::worker {

// Waits `seconds` in steps of 100 ms, reading the running flag before each step; returns
// early once the flag reads clear. A stop is therefore seen within about 100 ms.
inline void interruptible_wait(uint32_t &running, long long seconds) noexcept {
    constexpr apr_interval_time_t kStep = 100000;  // microseconds
    constexpr long long kMaxSeconds = std::numeric_limits<long long>::max() / 10;
    const long long steps = seconds > kMaxSeconds ? std::numeric_limits<long long>::max() : seconds * 10;
    for (long long step = 0; step < steps; ++step) {
        if (atomic_read32(running) == 0) return;
        apr_sleep(kStep);
    }
}

// True when the caller runs on `thread`.
inline bool on_thread(apr_thread_t *thread) noexcept {
    apr_os_thread_t *os = nullptr;
    if (apr_os_thread_get(&os, thread) != APR_SUCCESS || os == nullptr) return false;
    return apr_os_thread_equal(*os, apr_os_thread_current()) != 0;
}

// Joins a worker's thread and forgets it; the thread's exit value, or -1 without a thread.
inline int join(apr_thread_t *&thread) noexcept {
    if (thread == nullptr) return -1;
    apr_status_t exit_value = 0;
    (void)apr_thread_join(&exit_value, thread);
    thread = nullptr;
    return static_cast<int>(exit_value);
}

// Starts a worker's thread unless it has one: stores the argument, raises the running flag
// and creates the thread in the worker's pool. On failure the worker is left not started.
template <typename T>
apr_status_t start(T &rec, void *arg, apr_thread_start_t runner) noexcept {
    if (rec.thread != nullptr) return APR_SUCCESS;
    rec.arg = arg;
    atomic_set32(rec.running, 1);
    apr_status_t rv = apr_thread_create(&rec.thread, nullptr, runner, &rec, rec.pool);
    if (rv != APR_SUCCESS) {
        atomic_set32(rec.running, 0);
        rec.thread = nullptr;
    }
    return rv;
}

// Takes the running flag down and joins the thread. Returns false when the worker was not
// running; a runner that had ended by itself is still joined then, so its thread never
// outlives the worker's pool. `exit_value` gets the thread's exit value, or -1 without one.
// Called from the worker's own thread (its operation stopping it), only the flag comes down:
// a thread cannot join itself, and the handle is kept so that the owner's stop or delete joins
// the thread before the pool goes.
template <typename T>
bool halt(T &rec, int &exit_value) noexcept {
    const bool was_running = atomic_take_down32(rec.running) != 0;
    exit_value = -1;
    if (rec.thread != nullptr && on_thread(rec.thread)) return was_running;
    exit_value = join(rec.thread);
    return was_running;
}

// A copy of the name in a new child pool of `parent`, with a zero-filled record of type T.
template <typename T>
T *create_record(const char *name, apr_pool_t *parent) noexcept {
    if (name == nullptr || name[0] == '\0' || parent == nullptr) return nullptr;
    apr_pool_t *pool = edge_base_memory_pool_create(parent);
    if (pool == nullptr) return nullptr;
    auto *record = static_cast<T *>(edge_base_memory_malloc(pool, sizeof(T)));
    const size_t name_len = edge_base_str_len(name);
    auto *copy = static_cast<char *>(edge_base_memory_malloc(pool, name_len + 1));
    if (record == nullptr || copy == nullptr) {
        edge_base_memory_pool_destroy(&pool);
        return nullptr;
    }
    edge_base_memory_set(record, sizeof(T), 0, sizeof(T));
    edge_base_memory_copy(copy, name_len + 1, name, name_len + 1);
    record->pool = pool;
    record->name = copy;
    return record;
}

}  // namespace gravel::worker
