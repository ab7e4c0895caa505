// Base initialisation and teardown, the base manager's information and status names.
#include <apr_general.h>
#include <apr_strings.h>

#include <gravel/edge_base.h>

#include "edge_mgr_accessors.hpp"

EDGE_MGR_DECLARE_LIVE(edge_base_mgr_t);

#ifndef GRAVEL_KIT_VERSION
#error "GRAVEL_KIT_VERSION must be set by the build"
#endif

extern "C" void edge_base_global_forget(void);

namespace {
constexpr const char kCaFileSuffix[] = "/conf/rootcert.pem";
// Month abbreviation, day padded with a blank, year, then hh:mm:ss; the build honours
// SOURCE_DATE_EPOCH for both.
constexpr const char kCompileDate[] = __DATE__;
constexpr const char kCompileTime[] = __TIME__;
}  // namespace

extern "C" {

EDGE_API uint32_t edge_base_info_set(edge_base_mgr_t *mgr, apr_pool_t *pool, const char *work_dir,
                                     const char *version) {
    if (mgr == nullptr || pool == nullptr || work_dir == nullptr || work_dir[0] == '\0') {
        return EDGE_ERR_MISSING;
    }
    if (!edge_base_directory_exist(work_dir, pool)) return EDGE_ERR_NOT_DIRECTORY;
    apr_pool_t *own = mgr->head.pool;
    if (own == nullptr) return EDGE_ERR_MISSING;
    mgr->work_dir = apr_pstrndup(own, work_dir, EDGE_BASE_WORKDIR_MAX);
    mgr->ca_file = apr_psprintf(own, "%s%s", mgr->work_dir, kCaFileSuffix);
    mgr->compile_time = apr_psprintf(own, "%s %s", kCompileDate, kCompileTime);
    if (version != nullptr && version[0] != '\0') {
        mgr->version = apr_pstrndup(own, version, EDGE_BASE_VERSION_MAX);
    }
    if (mgr->work_dir == nullptr || mgr->ca_file == nullptr || mgr->compile_time == nullptr) {
        return EDGE_ERR_MISSING;
    }
    if (!edge_base_file_exist(mgr->ca_file, pool)) return EDGE_ERR_FILE_MISSING;
    return EDGE_OK;
}

EDGE_API uint32_t edge_base_init(const char *work_dir, const char *version) {
    const uint32_t len = edge_base_str_len(work_dir);
    if (len == 0 || len > EDGE_BASE_WORKDIR_MAX) return EDGE_ERR_BAD_ARGUMENT;

    apr_status_t rv = apr_initialize();
    if (rv != APR_SUCCESS) return rv;
    uint32_t status = edge_base_memory_init();
    if (status != 0) return status;
    if (edge_base_global_init() != EDGE_OK) return EDGE_ERR_MISSING;

    edge_base_mgr_t *mgr = edge_BASE_MGR_mgr_create();
    if (mgr == nullptr) return EDGE_ERR_MISSING;
    apr_pool_t *scratch = edge_BASE_MGR_mgr_create_pool();
    if (scratch == nullptr) return EDGE_ERR_MISSING;
    status = edge_base_info_set(mgr, scratch, work_dir, version);
    edge_base_memory_pool_destroy(&scratch);
    if (status != EDGE_OK) return status;

    status = edge_base_log_init(mgr->work_dir);
    if (status != EDGE_OK) return status;

    EDGE_LOG_INFO("sdk compile time: %s", mgr->compile_time);
    EDGE_LOG_INFO("sdk version: %s", GRAVEL_KIT_VERSION);
    EDGE_LOG_INFO("sdk work dir: %s", mgr->work_dir);
    EDGE_LOG_INFO("version: %s ", mgr->version != nullptr ? mgr->version : "(null)");
    EDGE_LOG_INFO("base init success.");
    return EDGE_OK;
}

EDGE_API void edge_base_destroy(void) {
    edge_BASE_MGR_mgr_delete();
    edge_base_log_destroy();
    edge_base_memory_destroy();
    edge_base_global_forget();
    apr_terminate();
}

EDGE_API const char *edge_base_get_workdir(void) {
    const edge_base_mgr_t *mgr = gravel::mgr::live_manager<edge_base_mgr_t>();
    return mgr == nullptr ? nullptr : mgr->work_dir;
}

EDGE_API const char *edge_base_get_ca_file(void) {
    const edge_base_mgr_t *mgr = gravel::mgr::live_manager<edge_base_mgr_t>();
    return mgr == nullptr ? nullptr : mgr->ca_file;
}

EDGE_API const char *edge_base_status_name(uint32_t status) {
    switch (status) {
#define EDGE_NAME_CASE(code) \
    case code:               \
        return #code;
        EDGE_NAME_CASE(EDGE_OK)
        EDGE_NAME_CASE(EDGE_ERR_MISSING)
        EDGE_NAME_CASE(EDGE_ERR_NO_MEMORY)
        EDGE_NAME_CASE(EDGE_ERR_BAD_ARGUMENT)
        EDGE_NAME_CASE(EDGE_ERR_OUT_OF_RANGE)
        EDGE_NAME_CASE(EDGE_ERR_MUTEX)
        EDGE_NAME_CASE(EDGE_ERR_JSON_BODY)
        EDGE_NAME_CASE(EDGE_ERR_NOT_DIRECTORY)
        EDGE_NAME_CASE(EDGE_ERR_FILE_MISSING)
        EDGE_NAME_CASE(EDGE_ERR_FILE_WRITE)
        EDGE_NAME_CASE(EDGE_ERR_UNDECRYPTABLE)
        EDGE_NAME_CASE(EDGE_ERR_HEX_DECODE)
        EDGE_NAME_CASE(EDGE_ERR_HEX_ENCODE)
        EDGE_NAME_CASE(EDGE_ERR_KEYSTORE_READ)
        EDGE_NAME_CASE(EDGE_ERR_AES_DECRYPT)
        EDGE_NAME_CASE(EDGE_ERR_AES_ENCRYPT)
        EDGE_NAME_CASE(EDGE_ERR_UNKNOWN_DOMAIN)
        EDGE_NAME_CASE(EDGE_ERR_HMAC)
        EDGE_NAME_CASE(EDGE_ERR_NO_MODULE_ID)
        EDGE_NAME_CASE(EDGE_ERR_HUB_BIND)
        EDGE_NAME_CASE(EDGE_ERR_HUB_CLOUD_TOKEN)
        EDGE_NAME_CASE(EDGE_ERR_MQTT_NOT_CONNECTED)
        EDGE_NAME_CASE(EDGE_ERR_MQTT_CONNECTED)
        EDGE_NAME_CASE(EDGE_ERR_MQTT_CREATE)
        EDGE_NAME_CASE(EDGE_ERR_PROPERTY_SYNTAX)
        EDGE_NAME_CASE(EDGE_ERR_DAEMON_REQUEST)
        EDGE_NAME_CASE(EDGE_ERR_DAEMON_SIGN)
        EDGE_NAME_CASE(EDGE_ERR_DAEMON_VERIFY)
        EDGE_NAME_CASE(EDGE_ERR_DAEMON_CLOUD_TOKEN)
        EDGE_NAME_CASE(EDGE_ERR_DAEMON_DEVICE_SIGN)
        EDGE_NAME_CASE(EDGE_ERR_DAEMON_CERTS)
        EDGE_NAME_CASE(EDGE_ERR_DAEMON_TRUST_CERTS)
        EDGE_NAME_CASE(EDGE_ERR_DEVICE_COMMAND)
        EDGE_NAME_CASE(EDGE_ERR_DEVICE_STATUS)
        EDGE_NAME_CASE(EDGE_ERR_BROKER_OVERLOADED)
#undef EDGE_NAME_CASE
        default:
            return "EDGE_ERR_UNKNOWN";
    }
}

}  // extern "C"
