/* A minimal module built against the installed kit: initialise, log, use a pool, keep an
 * encrypted configuration string, tear down. */
#include <stdio.h>
#include <string.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    uint32_t rc = edge_base_init(argv[1], "consumer-1.0");
    if (rc != EDGE_OK) {
        fprintf(stderr, "edge_base_init: %u (%s)\n", rc, edge_base_status_name(rc));
        return 1;
    }
    apr_pool_t *pool = edge_BASE_MGR_mgr_create_pool();
    const char *masked = edge_base_log_fuzz_id("module-0123456789", pool);
    EDGE_LOG_INFO("consumer running as %s", masked);
    int ok = pool != NULL && strcmp(masked, "mo*************89") == 0 && strcmp(edge_base_get_workdir(), argv[1]) == 0;
    edge_base_memory_pool_destroy(&pool);

    char token[32] = {0};
    uint32_t token_len = sizeof token - 1;
    ok = ok && edge_cipher_init() == EDGE_OK && edge_configs_init() == EDGE_OK &&
         edge_configs_set_str(0, "daemon_token", "consumer-token", 1) == EDGE_OK &&
         edge_configs_get_str_decrypt(0, "daemon_token", token, &token_len) == EDGE_OK &&
         strcmp(token, "consumer-token") == 0;
    edge_configs_destroy();
    edge_cipher_destroy();
    edge_base_destroy();
    puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
