// The schedule job: a job function run periodically on its own thread; the job chooses its
// next sleep.
#include <gravel/edge_base.h>

#include "edge_base_worker.hpp"

using gravel::atomic_read32;
using gravel::atomic_set32;
using gravel::shared_load;
using gravel::shared_store;

extern "C" {

EDGE_API edge_base_schedule_job_t *edge_base_schedule_job_create(const char *name, apr_pool_t *pool) {
    edge_base_schedule_job_t *job = gravel::worker::create_record<edge_base_schedule_job_t>(name, pool);
    if (job != nullptr) EDGE_LOG_INFO("schedule job create, name:%s", job->name);
    return job;
}

EDGE_API uint32_t edge_base_schedule_job_config(edge_base_schedule_job_t *job, edge_base_schedule_job_fn fn,
                                                long interval, long exception_sleep) {
    if (job == nullptr || fn == nullptr || interval == 0 || exception_sleep == 0) return EDGE_ERR_MISSING;
    // A running runner reads these as it goes; it ends at its next look at the flag.
    shared_store(job->job, fn);
    shared_store(job->interval, interval);
    shared_store(job->exception_sleep, exception_sleep);
    atomic_set32(job->running, 0);
    return EDGE_OK;
}

EDGE_API void *APR_THREAD_FUNC edge_base_schedule_job_runner(apr_thread_t *thread, void *arg) {
    auto *job = static_cast<edge_base_schedule_job_t *>(arg);
    if (job == nullptr || shared_load(job->job) == nullptr) return nullptr;
    long sleep = shared_load(job->interval);
    while (atomic_read32(job->running) != 0) {
        EDGE_LOG_INFO("jobName:%s sleep %lds.", job->name, sleep);
        gravel::worker::interruptible_wait(job->running, sleep);
        // Runs also when the wait ended on a stop: a stop during a wait gets one last run.
        const uint32_t status = shared_load(job->job)(&sleep, job->arg);
        if (status != 0 || sleep <= 0) {
            EDGE_LOG_INFO("invalid sleep time: %ld, will use exception_sleep.", sleep);
            sleep = shared_load(job->exception_sleep);
        }
    }
    EDGE_LOG_INFO("job worker:%s exit.", job->name);
    apr_thread_exit(thread, 0);
    return nullptr;
}

EDGE_API uint32_t edge_base_schedule_job_start(edge_base_schedule_job_t *job, void *arg) {
    if (job == nullptr) return EDGE_ERR_MISSING;
    return gravel::worker::start(*job, arg, edge_base_schedule_job_runner);
}

EDGE_API uint32_t edge_base_schedule_job_stop(edge_base_schedule_job_t *job) {
    if (job == nullptr) return EDGE_ERR_MISSING;
    int exit_value = -1;
    if (!gravel::worker::halt(*job, exit_value)) {
        EDGE_LOG_WARN("schedule job %s is already stop.", job->name);
        return EDGE_OK;
    }
    if (exit_value != -1) EDGE_LOG_INFO("schedule job %s exited, ret:%d", job->name, exit_value);
    shared_store(job->interval, 0L);
    shared_store(job->exception_sleep, 0L);
    return EDGE_OK;
}

EDGE_API void edge_base_schedule_job_delete(edge_base_schedule_job_t *job) {
    if (job == nullptr) return;
    (void)edge_base_schedule_job_stop(job);
    apr_pool_t *pool = job->pool;
    edge_base_memory_pool_destroy(&pool);
}

}  // extern "C"
