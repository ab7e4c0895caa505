/*
 * The example module: what a module's start and stop look like with the kit.
 *
 * usage: edge_module_example <work dir>
 * The work dir holds conf/rootcert.pem and conf/sdk_log.conf (scripts/run-example.sh makes a
 * fresh one). The module initialises the runtime, shows the manager registry and pools, logs
 * masked identifiers and addresses, runs a retry worker until its operation succeeds and a
 * schedule job for a few rounds, then tears everything down.
 */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <gravel/edge_base.h>

/* Fails twice, then succeeds: the retry worker tries at once, then after 1 s, then again. */
static uint32_t connect_attempt(void *arg) {
    uint32_t *tries = arg;
    ++*tries;
    EDGE_LOG_INFO("example: connect attempt %u", *tries);
    return *tries < 3 ? EDGE_ERR_MQTT_NOT_CONNECTED : EDGE_OK;
}

/* Renews a pretend token and asks to run again in one second. */
static uint32_t renew_token(long *sleep_seconds, void *arg) {
    uint32_t *rounds = arg;
    ++*rounds;
    EDGE_LOG_INFO("example: token renewed, round %u", *rounds);
    *sleep_seconds = 1;
    return EDGE_OK;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <work dir>\n", argv[0]);
        return 2;
    }
    uint32_t rc = edge_base_init(argv[1], "example-1.0.0");
    if (rc != EDGE_OK) {
        fprintf(stderr, "edge_base_init failed: %u (%s)\n", rc, edge_base_status_name(rc));
        return 1;
    }

    /* The registry holds the base manager in slot 0; its pool parents every object below. */
    edge_base_mgr_t *mgr = edge_BASE_MGR_mgr_get();
    apr_pool_t *pool = edge_BASE_MGR_mgr_create_pool();
    EDGE_LOG_INFO("example: manager %s in slot %u, CA file %s", mgr->head.name, mgr->head.slot,
                  edge_base_get_ca_file());

    /* Identifiers and addresses are masked before they reach a log line. */
    EDGE_LOG_INFO("example: module id %s, broker %s", edge_base_log_fuzz_id("8c5f1e2ad04b4e7c9d", pool),
                  edge_base_log_fuzz_ip("192.168.100.17", pool));

    /* A list of pending messages. */
    edge_base_list_t *outbox = edge_base_list_create(pool);
    const char *messages[] = {"event/started", "report/version", "event/ready"};
    for (size_t i = 0; i < sizeof messages / sizeof messages[0]; ++i) edge_base_list_add_tail(outbox, (void *)messages[i]);
    edge_base_list_iter_t it;
    for (const char *m = edge_base_list_loop_start(outbox, &it); m != NULL; m = edge_base_list_loop_next(outbox, &it)) {
        EDGE_LOG_INFO("example: queued %s", m);
    }
    edge_base_list_delete(outbox);

    /* A retry worker: no try limit, delays capped at 1 s, stops on the first success. */
    uint32_t tries = 0;
    edge_base_retry_t *retry = edge_base_retry_create("example_connect", pool);
    edge_base_retry_config(retry, connect_attempt, -1, 1, 1);
    edge_base_retry_start(retry, &tries);

    /* A schedule job: first run after 1 s, then every second as the job asks. */
    uint32_t rounds = 0;
    edge_base_schedule_job_t *job = edge_base_schedule_job_create("example_token", pool);
    edge_base_schedule_job_config(job, renew_token, 1, 2);
    edge_base_schedule_job_start(job, &rounds);

    sleep(4);
    edge_base_retry_delete(retry);
    edge_base_schedule_job_delete(job);
    EDGE_LOG_INFO("example: %u connect attempts, %u token rounds; shutting down", tries, rounds);

    edge_base_memory_pool_destroy(&pool);
    edge_base_destroy();
    printf("example module finished: %u connect attempts, %u token rounds\n", tries, rounds);
    return tries == 3 && rounds >= 2 ? 0 : 1;
}
