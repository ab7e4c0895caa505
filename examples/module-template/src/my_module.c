/*
 * my-module: a module on the gravel kit, to copy and make your own. Look for "your code here".
 *
 * usage: my-module        (settings come from the environment only)
 *
 *   GRAVEL_WORK_DIR        the work dir: conf/rootcert.pem, conf/sdk_log.conf, conf/module.dat
 *   GRAVEL_MODULE_ID       the module id
 *   GRAVEL_DEVICE_ID       the node's device id (optional)
 *   GRAVEL_BROKER_HOST, GRAVEL_BROKER_PORT   the node's MQTT broker (TLS)
 *   hub mode:    GRAVEL_HUB_HOST, GRAVEL_HUB_PORT, GRAVEL_VERIFY_CODE (the one-time verify code)
 *   daemon mode: daemon_verify_code, daemon_uri ("unix:<path>"), read by the kit itself
 *
 * A systemd unit sets them with Environment= and EnvironmentFile=; on the dev node, load its
 * module.env into the shell: (set -a; . <node folder>/module.env; exec ./my-module).
 *
 * The road: initialise the libraries in order, fill the configuration store, bind (hub mode:
 * once, the secret stays in the key store; daemon mode: a token at every start, renewed in
 * the background), build the topics, set the callbacks, connect. The kit reconnects by itself.
 * Each command gets one response with a result code. SIGTERM or SIGINT: everything is torn down
 * in reverse order and the process ends with 0; a failed start ends it with 1.
 *
 * Threads: main() starts the kit and waits for the stop signal. The callbacks run on the MQTT
 * library's threads, one at a time; they may send, but must not block for long or call any
 * destroy.
 */
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
#include <gravel/edge_mqtt.h>
#include <gravel/edge_mqtt_connections.h>

#ifndef MY_MODULE_VERSION
#define MY_MODULE_VERSION "my_module-1.0.0"
#endif

static const char *setting(const char *name) {
    const char *value = getenv(name);
    return value != NULL && value[0] != '\0' ? value : NULL;
}

/* A TCP port from its decimal text: 1..65535, else 0. */
static int port_number(const char *text) {
    char *end = NULL;
    long port = text != NULL ? strtol(text, &end, 10) : 0;
    return text != NULL && end != text && *end == '\0' && port >= 1 && port <= 65535 ? (int)port : 0;
}

static atomic_int g_connected;
/* "$qx/modules/<id>/sys/commands": the command topic without its request id. */
static char g_command_topic[256];

/* ---------------------------------------------------------------------------------------
 * Commands
 * --------------------------------------------------------------------------------------- */

/* The answer to one command: its result code (0 for success) and the response parameters, a
 * cJSON object that the caller deletes. */
static int32_t run_command(const char *name, const cJSON *paras, cJSON **answer) {
    /* ---- your code here: your module's commands ---- */
    if (strcmp(name, "echo") == 0) {
        *answer = cJSON_IsObject(paras) ? cJSON_Duplicate(paras, 1) : cJSON_CreateObject();
        return 0;
    }
    /* ---- end of your commands ---- */
    *answer = cJSON_CreateObject();
    cJSON_AddStringToObject(*answer, "error", "unknown command");
    return 1;
}

/* A command is {"command_name": ..., "paras": {...}}; its response carries the same request id. */
static void answer_command(const char *request_id, const void *payload, int32_t payload_len) {
    apr_pool_t *pool = edge_base_memory_pool_create(NULL);
    if (pool == NULL) return;
    cJSON *command = cJSON_ParseWithLength(payload, (size_t)payload_len);
    const cJSON *name = cJSON_GetObjectItemCaseSensitive(command, "command_name");
    const char *response_name = "invalid";
    cJSON *answer = NULL;
    int32_t result_code = 2;
    if (cJSON_IsString(name) && name->valuestring[0] != '\0') {
        response_name = name->valuestring;
        result_code = run_command(response_name, cJSON_GetObjectItemCaseSensitive(command, "paras"), &answer);
    } else if ((answer = cJSON_CreateObject()) != NULL) {
        cJSON_AddStringToObject(answer, "error", "a command is {\"command_name\": ..., \"paras\": {...}}");
    }
    char *paras = answer != NULL ? cJSON_PrintUnformatted(answer) : NULL;
    uint32_t rc = edge_mqtt_conns_send_cmd_rsp(response_name, request_id, result_code, paras,
                                               paras != NULL ? (uint32_t)strlen(paras) : 0, pool);
    if (rc == EDGE_OK)
        EDGE_LOG_INFO("my-module: command %s answered, result code %d", response_name, (int)result_code);
    else
        EDGE_LOG_ERROR("my-module: command %s not answered: %u (%s)", response_name, rc, edge_base_status_name(rc));
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
    /* ---- your code here: the module's other topics (see the topic table in
     * <gravel/edge_mqtt_connections.h>) ---- */
    EDGE_LOG_INFO("my-module: message on %s, %d bytes", topic, (int)payload_len);
    return EDGE_OK;
}

/* After every successful connection; the kit has asked the broker for the module's
 * subscriptions, which are in force before anything the module publishes from here on. */
static void on_connected(void) {
    atomic_store(&g_connected, 1);
    EDGE_LOG_INFO("my-module: connected to the broker");
    /* ---- your code here: what to send once connected ---- */
}

/* On every connection loss and failed connect try; the kit tries again by itself. */
static void on_disconnected(void) {
    if (atomic_exchange(&g_connected, 0) == 1) EDGE_LOG_WARN("my-module: disconnected from the broker");
}

/* ---------------------------------------------------------------------------------------
 * Start and stop
 * --------------------------------------------------------------------------------------- */

/* The configuration store's keys the kit reads; 1 when every required setting is there. */
static int configure(int daemon_mode) {
    const char *module_id = setting("GRAVEL_MODULE_ID");
    const char *broker_host = setting("GRAVEL_BROKER_HOST");
    int broker_port = port_number(setting("GRAVEL_BROKER_PORT"));
    if (module_id == NULL || broker_host == NULL || broker_port == 0) {
        EDGE_LOG_ERROR("my-module: GRAVEL_MODULE_ID, GRAVEL_BROKER_HOST and GRAVEL_BROKER_PORT (1-65535) are required");
        return 0;
    }
    int ok = edge_configs_set_str(0, "module_id", module_id, 0) == EDGE_OK;
    ok = ok && edge_configs_set_str(0, "mqtt_server_ip", broker_host, 0) == EDGE_OK;
    ok = ok && edge_configs_set_int(0, "mqtt_server_port", broker_port) == EDGE_OK;
    if (setting("GRAVEL_DEVICE_ID") != NULL)
        ok = ok && edge_configs_set_str(0, "device_id", setting("GRAVEL_DEVICE_ID"), 0) == EDGE_OK;
    if (daemon_mode) {
        /* The daemon token, not the secret, is the broker password. */
        ok = ok && edge_configs_set_str(0, "daemon_verify_code", setting("daemon_verify_code"), 0) == EDGE_OK;
        return ok && edge_configs_set_str(0, "new_daemon_flag", "1", 0) == EDGE_OK;
    }
    const char *hub_host = setting("GRAVEL_HUB_HOST");
    int hub_port = port_number(setting("GRAVEL_HUB_PORT"));
    const char *verify_code = setting("GRAVEL_VERIFY_CODE");
    if (hub_host == NULL || hub_port == 0 || verify_code == NULL) {
        EDGE_LOG_ERROR("my-module: hub mode needs GRAVEL_HUB_HOST, GRAVEL_HUB_PORT (1-65535) and GRAVEL_VERIFY_CODE");
        return 0;
    }
    ok = ok && edge_configs_set_str(0, "http_server_ip", hub_host, 0) == EDGE_OK;
    ok = ok && edge_configs_set_int(0, "http_server_port", hub_port) == EDGE_OK;
    return ok && edge_configs_set_str(0, "verify_code", verify_code, 1) == EDGE_OK; /* kept encrypted */
}

static uint32_t bind_module(int daemon_mode) {
    apr_pool_t *pool = edge_base_memory_pool_create(NULL);
    if (pool == NULL) return EDGE_ERR_NO_MEMORY;
    uint32_t rc;
    if (daemon_mode) {
        rc = edge_daemon_http_conns_bind(pool);
        if (rc == EDGE_OK) rc = edge_daemon_http_start_loop(); /* renews the token at half its lifetime */
    } else {
        rc = edge_cipher_has_domain("secret") ? EDGE_OK : edge_http_conns_bind(pool);
    }
    edge_base_memory_pool_destroy(&pool);
    return rc;
}

static uint32_t connect_broker(void) {
    edge_mqtt_conns_mgr_t *mgr = edge_MQTT_CONNS_MGR_mgr_get();
    uint32_t rc = edge_mqtt_conns_build_topics(mgr);
    if (rc != EDGE_OK) return rc;
    size_t len = strlen(mgr->sys_commands_topic); /* ".../sys/commands/+" */
    if (len < 2 || len - 2 >= sizeof g_command_topic) return EDGE_ERR_BAD_ARGUMENT;
    memcpy(g_command_topic, mgr->sys_commands_topic, len - 2);
    g_command_topic[len - 2] = '\0';
    rc = edge_mqtt_conns_set_callback(on_message, on_connected, on_disconnected);
    return rc == EDGE_OK ? edge_mqtt_conns_start_connect() : rc;
}

/* How far the start came, so that the teardown undoes exactly that, in reverse. */
enum {
    UP_BASE = 1,
    UP_CIPHER,
    UP_CONFIGS,
    UP_HTTP,
    UP_MQTT,
    UP_HTTP_CONNS,
    UP_MQTT_CONNS
};

static void stop_kit(int up) {
    /* ---- your code here: stop your own threads first; no callback runs after
     * edge_mqtt_conns_destroy has returned ---- */
    if (up >= UP_MQTT_CONNS) edge_mqtt_conns_destroy();
    if (up >= UP_HTTP_CONNS) edge_http_conns_destroy();
    if (up >= UP_MQTT) edge_mqtt_destroy();
    if (up >= UP_HTTP) edge_http_destroy();
    if (up >= UP_CONFIGS) edge_configs_destroy();
    if (up >= UP_CIPHER) edge_cipher_destroy();
    if (up >= UP_BASE) edge_base_destroy();
}

static uint32_t start_kit(const char *work_dir, int daemon_mode, int *up) {
    uint32_t rc;
    if ((rc = edge_base_init(work_dir, MY_MODULE_VERSION)) != EDGE_OK) return rc;
    *up = UP_BASE;
    if ((rc = edge_cipher_init()) != EDGE_OK) return rc;
    *up = UP_CIPHER;
    if ((rc = edge_configs_init()) != EDGE_OK) return rc;
    *up = UP_CONFIGS;
    if ((rc = edge_http_init()) != EDGE_OK) return rc;
    *up = UP_HTTP;
    if ((rc = edge_mqtt_init()) != EDGE_OK) return rc;
    *up = UP_MQTT;
    if (!configure(daemon_mode)) return EDGE_ERR_BAD_ARGUMENT;
    if ((rc = edge_http_conns_init()) != EDGE_OK) return rc;
    *up = UP_HTTP_CONNS;
    if ((rc = edge_mqtt_conns_init()) != EDGE_OK) return rc;
    *up = UP_MQTT_CONNS;
    if ((rc = bind_module(daemon_mode)) != EDGE_OK) {
        EDGE_LOG_ERROR("my-module: binding failed: %u (%s)", rc, edge_base_status_name(rc));
        return rc;
    }
    /* ---- your code here: set up what the callbacks need before the first message ---- */
    if ((rc = connect_broker()) != EDGE_OK)
        EDGE_LOG_ERROR("my-module: connecting failed: %u (%s)", rc, edge_base_status_name(rc));
    return rc;
}

int main(void) {
    const char *work_dir = setting("GRAVEL_WORK_DIR");
    if (work_dir == NULL) {
        fprintf(stderr, "my-module: GRAVEL_WORK_DIR is not set\n");
        return 2;
    }
    int daemon_mode = setting("daemon_uri") != NULL && setting("daemon_verify_code") != NULL;

    /* The stop signals are blocked in every thread (the kit's threads inherit the mask) and
     * taken here with sigtimedwait, so no signal handler interrupts the kit. */
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);

    int up = 0;
    uint32_t rc = start_kit(work_dir, daemon_mode, &up);
    if (rc != EDGE_OK) {
        fprintf(stderr, "my-module: start failed: %u (%s)\n", rc, edge_base_status_name(rc));
        stop_kit(up);
        return 1;
    }
    EDGE_LOG_INFO("my-module: %s running in %s mode", MY_MODULE_VERSION, daemon_mode ? "daemon" : "hub");

    int signal_number;
    for (;;) {
        struct timespec tick = {1, 0};
        signal_number = sigtimedwait(&stop_signals, NULL, &tick);
        if (signal_number > 0) break;
        /* ---- your code here: periodic work, about once a second (send only while g_connected) ---- */
    }

    EDGE_LOG_INFO("my-module: %s, stopping", signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    stop_kit(up);
    printf("my-module: stopped\n");
    return 0;
}
