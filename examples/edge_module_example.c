/*
 * The example module: what a module's start and stop look like with the kit.
 *
 * usage: edge_module_example <work dir>
 * The work dir holds conf/rootcert.pem and conf/sdk_log.conf (scripts/run-example.sh makes a
 * fresh one). The module initialises the runtime, its key store and configuration store,
 * keeps an encrypted verify code and an enduring credential, derives a password the way the
 * MQTT connection does, shows the manager registry and pools, logs masked identifiers and
 * addresses, runs a retry worker until its operation succeeds and a schedule job for a few
 * rounds, then tears everything down in reverse order.
 */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>

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

/* Configuration values, an encrypted verify code, an enduring credential and the password a
 * module derives from it. Returns 1 when every step gave what it should. */
static int secrets_demo(void) {
    apr_pool_t *pool = edge_CONFIGS_MGR_mgr_create_pool();
    int ok = pool != NULL;
    ok = ok && edge_configs_set_str(0, "module_id", "8c5f1e2ad04b4e7c9d", 0) == EDGE_OK;
    ok = ok && edge_configs_set_int(0, "mqtt_server_port", 8883) == EDGE_OK;
    ok = ok && edge_configs_set_str(0, "verify_code", "VC-2026-example", 1) == EDGE_OK;
    const char *stored = edge_configs_get_str(0, "verify_code");
    char plain[64] = {0};
    uint32_t plain_len = sizeof plain - 1;
    ok = ok && stored != NULL && edge_configs_get_str_decrypt(0, "verify_code", plain, &plain_len) == EDGE_OK &&
         strcmp(plain, "VC-2026-example") == 0;
    EDGE_LOG_INFO("example: verify code kept as %u hex characters of cipher text, read back %s",
                  (unsigned)edge_base_str_len(stored), ok ? "intact" : "WRONG");

    /* A bind would hand the module its secret; it is kept as an enduring domain key. */
    static const unsigned char secret[] = "example-secret-0123456789abcdef";
    if (edge_cipher_has_domain("secret")) {
        EDGE_LOG_INFO("example: secret found in the key store");
    } else {
        ok = ok && edge_cipher_save_key("secret", secret, sizeof secret - 1, 1) == EDGE_OK;
        EDGE_LOG_INFO("example: secret saved as an enduring key");
    }
    const char *client_id = "module_8c5f1e2ad04b4e7c9d_1_20261210000000";
    char password[65] = {0};
    uint32_t password_len = sizeof password;
    ok = ok &&
         edge_cipher_digest((const unsigned char *)client_id, (uint32_t)strlen(client_id), password, &password_len,
                            "secret") == EDGE_OK &&
         password_len == 64;
    /* The password itself never goes to a log. */
    EDGE_LOG_INFO("example: module %s on port %d, password of %u hex characters derived",
                  edge_base_log_fuzz_id(edge_configs_get_str(0, "module_id"), pool),
                  (int)edge_configs_get_int(0, "mqtt_server_port"), (unsigned)password_len);
    edge_base_memory_set(plain, sizeof plain, 0, sizeof plain);
    edge_base_memory_set(password, sizeof password, 0, sizeof password);
    edge_base_memory_pool_destroy(&pool);
    return ok;
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

    /* The key store: on a first start the root key material and the primary key store are
     * created under <work dir>/secret; the configuration store keeps its strings encrypted under
     * a key that lives only for this process. */
    rc = edge_cipher_init();
    if (rc == EDGE_OK) rc = edge_configs_init();
    if (rc != EDGE_OK) {
        fprintf(stderr, "key store or configuration store failed: %u (%s)\n", rc, edge_base_status_name(rc));
        edge_configs_destroy();
        edge_cipher_destroy();
        edge_base_destroy();
        return 1;
    }
    int secrets_ok = secrets_demo();

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
    for (size_t i = 0; i < sizeof messages / sizeof messages[0]; ++i)
        edge_base_list_add_tail(outbox, (void *)messages[i]);
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
    edge_configs_destroy();
    edge_cipher_destroy();
    edge_base_destroy();
    printf("example module finished: secrets %s, %u connect attempts, %u token rounds\n", secrets_ok ? "ok" : "FAILED",
           tries, rounds);
    return secrets_ok && tries == 3 && rounds >= 2 ? 0 : 1;
}
