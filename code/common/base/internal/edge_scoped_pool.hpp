// RAII for the kit's pools and small helpers shared by the kit's libraries.
#pragma once

#include <atomic>
#include <cstdint>

#include <apr_file_io.h>

#include <gravel/edge_base.h>

namespace gravel {

// A temporary pool for one operation: created from a parent (the root pool when null) and
// destroyed on every path out of the scope.
class ScopedPool {
public:
    explicit ScopedPool(apr_pool_t *parent) noexcept : pool_(edge_base_memory_pool_create(parent)) {}
    ~ScopedPool() { edge_base_memory_pool_destroy(&pool_); }
    ScopedPool(const ScopedPool &) = delete;
    ScopedPool &operator=(const ScopedPool &) = delete;

    apr_pool_t *get() const noexcept { return pool_; }
    explicit operator bool() const noexcept { return pool_ != nullptr; }

private:
    apr_pool_t *pool_;
};

// Closes an APR file on every path out of a scope.
class FileGuard {
public:
    explicit FileGuard(apr_file_t *f) noexcept : f_(f) {}
    ~FileGuard() {
        if (f_ != nullptr) apr_file_close(f_);
    }
    FileGuard(const FileGuard &) = delete;
    FileGuard &operator=(const FileGuard &) = delete;

private:
    apr_file_t *f_;
};

// 32-bit flags shared between threads (running, connected) are plain uint32_t fields of C
// records; these read and change them atomically.
inline uint32_t atomic_read32(uint32_t &flag) noexcept {
    return std::atomic_ref<uint32_t>(flag).load(std::memory_order_acquire);
}
inline void atomic_set32(uint32_t &flag, uint32_t value) noexcept {
    std::atomic_ref<uint32_t>(flag).store(value, std::memory_order_release);
}
// Takes a flag down to 0 and returns what it held. Two parties taking the same flag down
// at once (a stop racing a worker's own ending) leave it at 0, never wrapped around.
inline uint32_t atomic_take_down32(uint32_t &flag) noexcept {
    return std::atomic_ref<uint32_t>(flag).exchange(0, std::memory_order_acq_rel);
}

// Fields of a C record that one thread may change while another reads them (a worker's
// configuration, changed while its runner runs): each read and write is one atomic access.
template <typename T>
inline T shared_load(T &field) noexcept {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <typename T>
inline void shared_store(T &field, T value) noexcept {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

}  // namespace gravel
