// The retry worker: an operation run on its own thread until success, a try limit or a stop,
// with doubling delays between tries.
#include <gravel/edge_base.h>

#include "edge_base_worker.hpp"

using gravel::atomic_read32;
using gravel::atomic_set32;
using gravel::atomic_take_down32;
using gravel::shared_load;
using gravel::shared_store;

extern "C" {

EDGE_API edge_base_retry_t *edge_base_retry_create(const char *name, apr_pool_t *pool) {
    edge_base_retry_t *worker = gravel::worker::create_record<edge_base_retry_t>(name, pool);
    if (worker != nullptr) EDGE_LOG_INFO("retry worker create, name:%s", worker->name);
    return worker;
}

EDGE_API uint32_t edge_base_retry_config(edge_base_retry_t *worker, edge_base_retry_fn operation, int32_t max_retries,
                                         uint32_t max_delay, uint32_t stop_on_success) {
    if (worker == nullptr || operation == nullptr || max_retries == 0 || max_delay == 0) return EDGE_ERR_MISSING;
    // A running runner reads these as it goes; it ends at its next look at the flag.
    shared_store(worker->operation, operation);
    shared_store(worker->max_retries, max_retries);
    shared_store(worker->max_delay, max_delay);
    shared_store(worker->stop_on_success, stop_on_success);
    atomic_set32(worker->running, 0);
    return EDGE_OK;
}

EDGE_API uint32_t edge_base_retry_calc_delay(edge_base_retry_t *worker) {
    if (worker == nullptr) return 0;
    if (worker->delay == 0) worker->delay = 1;
    const uint32_t max_delay = shared_load(worker->max_delay);
    const uint64_t doubled = static_cast<uint64_t>(worker->delay) * 2;
    worker->delay = doubled < max_delay ? static_cast<uint32_t>(doubled) : max_delay;
    return worker->delay;
}

EDGE_API void *APR_THREAD_FUNC edge_base_retry_runner(apr_thread_t *thread, void *arg) {
    auto *worker = static_cast<edge_base_retry_t *>(arg);
    if (worker == nullptr || shared_load(worker->operation) == nullptr) return nullptr;
    while (atomic_read32(worker->running) != 0) {
        const uint32_t status = shared_load(worker->operation)(worker->arg);
        if (status == 0 && shared_load(worker->stop_on_success) != 0) {
            atomic_take_down32(worker->running);
            break;
        }
        ++worker->try_count;
        edge_base_retry_calc_delay(worker);
        const int32_t max_retries = shared_load(worker->max_retries);
        if (max_retries >= 0 && worker->try_count > static_cast<uint32_t>(max_retries)) {
            EDGE_LOG_ERROR("retry worker:%s max retry reached.", worker->name);
            atomic_take_down32(worker->running);
            break;
        }
        EDGE_LOG_INFO("retry worker:%s wait for %ds and start %d try", worker->name, static_cast<int>(worker->delay),
                      static_cast<int>(worker->try_count));
        gravel::worker::interruptible_wait(worker->running, worker->delay);
    }
    EDGE_LOG_INFO("retry worker:%s exit.", worker->name);
    apr_thread_exit(thread, 0);
    return nullptr;
}

EDGE_API uint32_t edge_base_retry_start(edge_base_retry_t *worker, void *arg) {
    if (worker == nullptr) return EDGE_ERR_MISSING;
    if (worker->thread != nullptr) return EDGE_OK;
    worker->try_count = 0;
    worker->delay = 0;
    return gravel::worker::start(*worker, arg, edge_base_retry_runner);
}

EDGE_API uint32_t edge_base_retry_stop(edge_base_retry_t *worker) {
    if (worker == nullptr) return EDGE_ERR_MISSING;
    int exit_value = -1;
    if (!gravel::worker::halt(*worker, exit_value)) {
        EDGE_LOG_WARN("retry worker %s is already stop.", worker->name);
        return EDGE_OK;
    }
    if (exit_value != -1) EDGE_LOG_INFO("retry worker %s exited, ret:%d", worker->name, exit_value);
    worker->try_count = 0;
    worker->delay = 0;
    return EDGE_OK;
}

EDGE_API uint32_t edge_base_retry_success_notify(edge_base_retry_t *worker) {
    if (worker == nullptr) return EDGE_ERR_MISSING;
    EDGE_LOG_INFO("retry worker:%s notify success.", worker->name);
    return edge_base_retry_stop(worker);
}

EDGE_API void edge_base_retry_delete(edge_base_retry_t *worker) {
    if (worker == nullptr) return;
    (void)edge_base_retry_stop(worker);
    apr_pool_t *pool = worker->pool;
    edge_base_memory_pool_destroy(&pool);
}

}  // extern "C"
