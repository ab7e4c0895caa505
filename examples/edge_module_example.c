/*
 * The example module: a complete module on the kit, to copy when you start your own.
 *
 * usage: edge_module_example [<module.env>]
 *
 * It reads its settings from the file given (KEY=VALUE lines, as the dev node writes them:
 * devnode/gravel-devnode up) or, without one, from the environment:
 *
 *   GRAVEL_WORK_DIR        the work dir: conf/rootcert.pem, conf/sdk_log.conf, conf/module.dat
 *   GRAVEL_MODULE_ID       the module id (at least 8 characters)
 *   GRAVEL_DEVICE_ID       the node's device id (optional)
 *   GRAVEL_BROKER_HOST, GRAVEL_BROKER_PORT   the node's MQTT broker (TLS)
 *   GRAVEL_HUB_HOST, GRAVEL_HUB_PORT, GRAVEL_VERIFY_CODE   hub mode: the hub and the one-time
 *                          verify code the module binds with
 *   daemon_verify_code, daemon_uri           daemon mode: the local daemon's verify code and
 *                          socket ("unix:<path>"); the kit reads both from the environment
 *   GRAVEL_REPORT_SECONDS  how often a points report goes out (default 5)
 *   GRAVEL_SYNC_REPORTS    1: each points report waits (up to 3 s) until the broker has
 *                          acknowledged it, so a report counted as sent is at the broker
 *
 * What it does, in the order a module does it: initialises every library; fills the
 * configuration store; binds (hub mode: with the verify code, once, keeping the secret in the
 * key store; daemon mode: a daemon token at every start, renewed in the background); builds
 * its topics and connects. Once connected it reports the kit's version and sends an event;
 * it answers every command ("echo" returns its parameters, "add" adds "a" and "b", anything
 * else gets result code 1), publishes a points report every few seconds and reconnects by
 * itself whenever the broker goes away. SIGINT or SIGTERM tears everything down in reverse
 * order and ends the process with 0.
 *
 * Threads: main() initialises, binds, then waits for signals and sends the reports. The
 * message and connection callbacks run on the MQTT library's threads; they answer commands
 * straight away (sends may be called from any thread) and only touch the counters below.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <cjson/cJSON.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>
#include <gravel/edge_http.h>
#include <gravel/edge_http_connections.h>
#include <gravel/edge_json.h>
#include <gravel/edge_mqtt.h>
#include <gravel/edge_mqtt_connections.h>

#define EXAMPLE_VERSION "example-2.0.0"

/* ---------------------------------------------------------------------------------------
 * Settings
 * --------------------------------------------------------------------------------------- */

/* Reads KEY=VALUE lines into the environment (blank lines and # comments skipped), so that
 * the variables the kit reads itself (daemon_uri, daemon_verify_code) reach it too. */
static int load_env_file(const char *path) {
    FILE *file = fopen(path, "r");
    if (file == NULL) {
        fprintf(stderr, "cannot read %s: %s\n", path, strerror(errno));
        return 0;
    }
    char line[1024];
    while (fgets(line, sizeof line, file) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        char *eq = strchr(line, '=');
        if (line[0] == '#' || eq == NULL || eq == line) continue;
        *eq = '\0';
        setenv(line, eq + 1, 1);
    }
    fclose(file);
    return 1;
}

static const char *setting(const char *name) {
    const char *value = getenv(name);
    return value != NULL && value[0] != '\0' ? value : NULL;
}

/* ---------------------------------------------------------------------------------------
 * What the callbacks share with main()
 * --------------------------------------------------------------------------------------- */

static atomic_int g_connected;         /* 1 while the broker connection is up */
static atomic_int g_connections;       /* connected callbacks so far */
static atomic_int g_commands_answered; /* command responses sent */

/* The command topic without its request id, "$qx/modules/<id>/sys/commands"; set before
 * connecting, read-only afterwards. */
static char g_command_topic[256];

/* ---------------------------------------------------------------------------------------
 * Commands
 * --------------------------------------------------------------------------------------- */

/* Works out the answer to one command: the result code and the response parameters (a cJSON
 * object the caller deletes). */
static int32_t run_command(const char *name, const cJSON *paras, cJSON **answer) {
    if (strcmp(name, "echo") == 0) {
        *answer = paras != NULL ? cJSON_Duplicate(paras, 1) : cJSON_CreateObject();
        return 0;
    }
    if (strcmp(name, "add") == 0) {
        const cJSON *a = cJSON_GetObjectItemCaseSensitive(paras, "a");
        const cJSON *b = cJSON_GetObjectItemCaseSensitive(paras, "b");
        *answer = cJSON_CreateObject();
        if (!cJSON_IsNumber(a) || !cJSON_IsNumber(b)) {
            cJSON_AddStringToObject(*answer, "error", "add needs numbers a and b");
            return 2;
        }
        cJSON_AddNumberToObject(*answer, "sum", a->valuedouble + b->valuedouble);
        return 0;
    }
    *answer = cJSON_CreateObject();
    cJSON_AddStringToObject(*answer, "error", "unknown command");
    return 1;
}

/* A command arrives as {"command_name": ..., "paras": {...}} on the command topic with its
 * request id; the response goes back with the same request id. */
static void answer_command(const char *request_id, const void *payload, int32_t payload_len) {
    apr_pool_t *pool = edge_base_memory_pool_create(NULL);
    if (pool == NULL) return;
    cJSON *command = cJSON_ParseWithLength(payload, (size_t)payload_len);
    const cJSON *name = cJSON_GetObjectItemCaseSensitive(command, "command_name");
    cJSON *answer = NULL;
    int32_t result_code;
    const char *response_name;
    if (cJSON_IsString(name) && name->valuestring[0] != '\0') {
        response_name = name->valuestring;
        result_code = run_command(response_name, cJSON_GetObjectItemCaseSensitive(command, "paras"), &answer);
    } else {
        response_name = "invalid";
        result_code = 3;
        answer = cJSON_CreateObject();
        cJSON_AddStringToObject(answer, "error", "a command is {\"command_name\": ..., \"paras\": {...}}");
    }
    char *paras = answer != NULL ? cJSON_PrintUnformatted(answer) : NULL;
    uint32_t rc = edge_mqtt_conns_send_cmd_rsp(response_name, request_id, result_code, paras,
                                               paras != NULL ? (uint32_t)strlen(paras) : 0, pool);
    if (rc == EDGE_OK) {
        atomic_fetch_add(&g_commands_answered, 1);
        EDGE_LOG_INFO("example: command %s (request %s) answered, result code %d", response_name, request_id,
                      (int)result_code);
    } else {
        EDGE_LOG_ERROR("example: command %s (request %s) not answered: %u (%s)", response_name, request_id, rc,
                       edge_base_status_name(rc));
    }
    cJSON_free(paras);
    cJSON_Delete(answer);
    cJSON_Delete(command);
    edge_base_memory_pool_destroy(&pool);
}

/* ---------------------------------------------------------------------------------------
 * Callbacks (on the MQTT library's threads)
 * --------------------------------------------------------------------------------------- */

static uint32_t on_message(const char *topic, const char *request_id, const void *payload, int32_t payload_len) {
    if (strcmp(topic, g_command_topic) == 0 && request_id != NULL && request_id[0] != '\0') {
        answer_command(request_id, payload, payload_len);
        return EDGE_OK;
    }
    EDGE_LOG_INFO("example: message on %s, %d bytes", topic, (int)payload_len);
    return EDGE_OK;
}

/* Runs after every successful connection: the service has asked the broker for the module's
 * subscriptions. They are in force once the broker has read that request, so everything the
 * module publishes from here on reaches the broker after them; a command the cloud sends
 * before the broker has read it reaches no one. */
static void on_connected(void) {
    atomic_store(&g_connected, 1);
    int count = atomic_fetch_add(&g_connections, 1) + 1;
    EDGE_LOG_INFO("example: connected to the broker (connection %d)", count);

    apr_pool_t *pool = edge_base_memory_pool_create(NULL);
    uint32_t rc = edge_mqtt_conns_report_sdk_version(pool);
    if (rc != EDGE_OK) EDGE_LOG_ERROR("example: version report failed: %u", rc);
    char paras[64];
    snprintf(paras, sizeof paras, "{\"connection\":%d}", count);
    rc = edge_mqtt_conns_send_service_event(NULL, "example", "module_connected", paras, (uint32_t)strlen(paras), pool);
    if (rc != EDGE_OK) EDGE_LOG_ERROR("example: event failed: %u", rc);
    edge_base_memory_pool_destroy(&pool);
}

/* Runs on every connection loss and every failed connect try; the service retries by itself. */
static void on_disconnected(void) {
    if (atomic_exchange(&g_connected, 0) == 1) EDGE_LOG_WARN("example: disconnected from the broker, reconnecting");
}

/* ---------------------------------------------------------------------------------------
 * Start and stop
 * --------------------------------------------------------------------------------------- */

/* A TCP port from its decimal text: 1..65535, else 0. */
static int port_number(const char *text) {
    char *end = NULL;
    long port = text != NULL ? strtol(text, &end, 10) : 0;
    return text != NULL && end != text && *end == '\0' && port >= 1 && port <= 65535 ? (int)port : 0;
}

/* Fills the configuration store from the settings; 1 when every required one is there. */
static int configure(int daemon_mode) {
    const char *module_id = setting("GRAVEL_MODULE_ID");
    const char *broker_host = setting("GRAVEL_BROKER_HOST");
    int broker_port = port_number(setting("GRAVEL_BROKER_PORT"));
    if (module_id == NULL || broker_host == NULL || broker_port == 0) {
        EDGE_LOG_ERROR("example: GRAVEL_MODULE_ID, GRAVEL_BROKER_HOST and GRAVEL_BROKER_PORT (1-65535) are required");
        return 0;
    }
    int ok = edge_configs_set_str(0, "module_id", module_id, 0) == EDGE_OK;
    ok = ok && edge_configs_set_str(0, "mqtt_server_ip", broker_host, 0) == EDGE_OK;
    ok = ok && edge_configs_set_int(0, "mqtt_server_port", broker_port) == EDGE_OK;
    /* "mqtt_send_mode" 1: reports are sent synchronously (the other messages never wait). */
    if (setting("GRAVEL_SYNC_REPORTS") != NULL && strcmp(setting("GRAVEL_SYNC_REPORTS"), "1") == 0)
        ok = ok && edge_configs_set_int(0, "mqtt_send_mode", 1) == EDGE_OK;
    if (setting("GRAVEL_DEVICE_ID") != NULL)
        ok = ok && edge_configs_set_str(0, "device_id", setting("GRAVEL_DEVICE_ID"), 0) == EDGE_OK;
    if (daemon_mode) {
        /* The daemon token (not the secret) becomes the broker password. */
        ok = ok && edge_configs_set_str(0, "daemon_verify_code", setting("daemon_verify_code"), 0) == EDGE_OK;
        ok = ok && edge_configs_set_str(0, "new_daemon_flag", "1", 0) == EDGE_OK;
        return ok;
    }
    const char *hub_host = setting("GRAVEL_HUB_HOST");
    int hub_port = port_number(setting("GRAVEL_HUB_PORT"));
    const char *verify_code = setting("GRAVEL_VERIFY_CODE");
    if (hub_host == NULL || hub_port == 0 || verify_code == NULL) {
        EDGE_LOG_ERROR("example: hub mode needs GRAVEL_HUB_HOST, GRAVEL_HUB_PORT (1-65535) and GRAVEL_VERIFY_CODE");
        return 0;
    }
    ok = ok && edge_configs_set_str(0, "http_server_ip", hub_host, 0) == EDGE_OK;
    ok = ok && edge_configs_set_int(0, "http_server_port", hub_port) == EDGE_OK;
    /* The verify code is kept encrypted in the store. */
    ok = ok && edge_configs_set_str(0, "verify_code", verify_code, 1) == EDGE_OK;
    return ok;
}

/* Hub mode binds once: the secret it receives stays in the key store across restarts.
 * Daemon mode asks for a token at every start and lets the sign loop renew it. Either way a
 * cloud token request shows that the node accepts the module's credentials. */
static uint32_t bind_module(int daemon_mode) {
    apr_pool_t *pool = edge_base_memory_pool_create(NULL);
    if (pool == NULL) return EDGE_ERR_NO_MEMORY;
    uint32_t rc;
    if (daemon_mode) {
        rc = edge_daemon_http_conns_bind(pool);
        if (rc == EDGE_OK) rc = edge_daemon_http_start_loop();
        if (rc == EDGE_OK) rc = edge_daemon_http_conns_cloud_token(pool);
        if (rc == EDGE_OK)
            EDGE_LOG_INFO("example: bound through the local daemon, cloud region %s",
                          edge_HTTP_CONNS_MGR_mgr_get()->cloud_token->region);
    } else {
        if (edge_cipher_has_domain("secret")) {
            EDGE_LOG_INFO("example: already bound, the secret is in the key store");
            rc = EDGE_OK;
        } else {
            rc = edge_http_conns_bind(pool);
            if (rc == EDGE_OK) EDGE_LOG_INFO("example: bound with the hub, secret kept in the key store");
        }
        if (rc == EDGE_OK) rc = edge_http_conns_refresh_cloud_token(pool);
        if (rc == EDGE_OK)
            EDGE_LOG_INFO("example: hub accepted the module's credentials, cloud region %s",
                          edge_HTTP_CONNS_MGR_mgr_get()->node_config->region);
    }
    edge_base_memory_pool_destroy(&pool);
    return rc;
}

static uint32_t connect_broker(void) {
    edge_mqtt_conns_mgr_t *mgr = edge_MQTT_CONNS_MGR_mgr_get();
    uint32_t rc = edge_mqtt_conns_build_topics(mgr);
    if (rc != EDGE_OK) return rc;
    /* "$qx/modules/<id>/sys/commands/+" without its last level. */
    snprintf(g_command_topic, sizeof g_command_topic, "%.*s", (int)(strlen(mgr->sys_commands_topic) - 2),
             mgr->sys_commands_topic);
    rc = edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected);
    if (rc == EDGE_OK) rc = edge_mqtt_conns_start_connect();
    return rc;
}

/* The library inits in their documented order; *step counts how many succeeded, so that the
 * teardown undoes exactly those. */
static uint32_t start_libraries(const char *work_dir, int *step) {
    uint32_t rc = edge_base_init(work_dir, EXAMPLE_VERSION);
    if (rc != EDGE_OK) return rc;
    *step = 1;
    if ((rc = edge_cipher_init()) != EDGE_OK) return rc;
    *step = 2;
    if ((rc = edge_configs_init()) != EDGE_OK) return rc;
    *step = 3;
    if ((rc = edge_http_init()) != EDGE_OK) return rc;
    *step = 4;
    if ((rc = edge_mqtt_init()) != EDGE_OK) return rc;
    *step = 5;
    return EDGE_OK;
}

static void stop_libraries(int step) {
    if (step >= 7) edge_mqtt_conns_destroy();
    if (step >= 6) edge_http_conns_destroy();
    if (step >= 5) edge_mqtt_destroy();
    if (step >= 4) edge_http_destroy();
    if (step >= 3) edge_configs_destroy();
    if (step >= 2) edge_cipher_destroy();
    if (step >= 1) edge_base_destroy();
}

/* ---------------------------------------------------------------------------------------
 * Reports
 * --------------------------------------------------------------------------------------- */

/* 1 when the report went out (with GRAVEL_SYNC_REPORTS=1: the broker acknowledged it). */
static int send_points_report(unsigned sequence) {
    apr_pool_t *pool = edge_base_memory_pool_create(NULL);
    char body[160];
    snprintf(body, sizeof body, "{\"points\":[{\"name\":\"temperature\",\"value\":%.1f},{\"name\":\"sequence\",\"value\":%u}]}",
             20.0 + (sequence % 10) * 0.5, sequence);
    uint32_t rc = edge_mqtt_conns_send_points_report(body, (uint32_t)strlen(body), pool);
    if (rc == EDGE_OK)
        EDGE_LOG_INFO("example: points report %u sent", sequence);
    else
        EDGE_LOG_WARN("example: points report %u not sent: %u (%s)", sequence, rc, edge_base_status_name(rc));
    edge_base_memory_pool_destroy(&pool);
    return rc == EDGE_OK;
}

int main(int argc, char **argv) {
    if (argc > 2 || (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0))) {
        fprintf(stderr, "usage: %s [<module.env>]\n", argv[0]);
        return 2;
    }
    if (argc == 2 && !load_env_file(argv[1])) return 2;
    const char *work_dir = setting("GRAVEL_WORK_DIR");
    if (work_dir == NULL) {
        fprintf(stderr, "GRAVEL_WORK_DIR is not set (give a module.env file or set the environment)\n");
        return 2;
    }
    int daemon_mode = setting("daemon_uri") != NULL && setting("daemon_verify_code") != NULL;
    int report_seconds = setting("GRAVEL_REPORT_SECONDS") != NULL ? atoi(setting("GRAVEL_REPORT_SECONDS")) : 5;
    if (report_seconds < 1) report_seconds = 5;

    /* SIGINT and SIGTERM are blocked in every thread (the kit's threads inherit this mask) and
     * taken by main() with sigtimedwait, so no handler runs in the middle of the kit. */
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);

    int step = 0;
    uint32_t rc = start_libraries(work_dir, &step);
    if (rc != EDGE_OK) {
        fprintf(stderr, "starting the kit failed at step %d: %u (%s)\n", step + 1, rc, edge_base_status_name(rc));
        stop_libraries(step);
        return 1;
    }
    EDGE_LOG_INFO("example: %s starting in %s mode", EXAMPLE_VERSION, daemon_mode ? "daemon" : "hub");
    if (!configure(daemon_mode)) {
        stop_libraries(step);
        return 1;
    }
    if ((rc = edge_http_conns_init()) == EDGE_OK) step = 6;
    if (rc == EDGE_OK && (rc = edge_mqtt_conns_init()) == EDGE_OK) step = 7;
    if (rc == EDGE_OK && (rc = bind_module(daemon_mode)) != EDGE_OK)
        EDGE_LOG_ERROR("example: binding failed: %u (%s)", rc, edge_base_status_name(rc));
    if (rc == EDGE_OK && (rc = connect_broker()) != EDGE_OK)
        EDGE_LOG_ERROR("example: connecting failed: %u (%s)", rc, edge_base_status_name(rc));
    if (rc != EDGE_OK) {
        stop_libraries(step);
        return 1;
    }

    /* Until a stop signal: a points report every report_seconds while connected. */
    unsigned sequence = 0, reports_sent = 0;
    int signal_number = 0;
    time_t next_report = time(NULL) + report_seconds;
    for (;;) {
        struct timespec tick = {1, 0};
        signal_number = sigtimedwait(&stop_signals, NULL, &tick);
        if (signal_number > 0) break;
        if (time(NULL) >= next_report) {
            next_report = time(NULL) + report_seconds;
            if (atomic_load(&g_connected)) reports_sent += (unsigned)send_points_report(++sequence);
        }
    }

    EDGE_LOG_INFO("example: %s received, stopping", signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    stop_libraries(step);
    /* Read only now: callbacks may answer commands until the teardown has stopped them, and
     * none runs once it has returned. */
    int connections = atomic_load(&g_connections);
    int answered = atomic_load(&g_commands_answered);
    printf("example module stopped cleanly (connections: %d, commands answered: %d, points reports sent: %u)\n",
           connections, answered, reports_sent);
    return 0;
}
