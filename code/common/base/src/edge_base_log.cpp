// Logging set-up for the kit and masking of identifiers and addresses.
#include <cstdarg>
#include <cstring>

#include <apr_strings.h>

#include <gravel/edge_base.h>

#include "edge_base_log_engine.hpp"
#include "edge_mgr_accessors.hpp"

EDGE_MGR_DECLARE_LIVE(edge_base_mgr_t);

namespace {
constexpr const char kDefaultCategory[] = "sdk_rule";
constexpr const char kConfSuffix[] = "/conf/sdk_log.conf";
constexpr const char kMasked[] = "***";
constexpr const char kNull[] = "(null)";
}  // namespace

extern "C" {

EDGE_API uint32_t edge_base_log_init(const char *work_dir) {
    edge_base_mgr_t *mgr = gravel::mgr::live_manager<edge_base_mgr_t>();
    if (mgr == nullptr || work_dir == nullptr) return EDGE_ERR_MISSING;
    mgr->log_conf = apr_psprintf(mgr->head.pool, "%s%s", work_dir, kConfSuffix);
    if (mgr->log_conf == nullptr) return EDGE_ERR_MISSING;
    return static_cast<uint32_t>(gravel::log::init(mgr->log_conf, kDefaultCategory));
}

EDGE_API void edge_base_log_destroy(void) {
    gravel::log::fini();
}

EDGE_API int edge_base_log_enabled(int level) {
    return gravel::log::enabled(level) ? 1 : 0;
}

EDGE_API void edge_base_log_write(const char *file, size_t file_len, const char *func, size_t func_len, long line,
                                  int level, const char *format, ...) {
    if (format == nullptr) return;
    va_list ap;
    va_start(ap, format);
    gravel::log::write(file, file_len, func, func_len, line, level, format, ap);
    va_end(ap);
}

EDGE_API const char *edge_base_log_fuzz_id(const char *text, apr_pool_t *pool) {
    const size_t n = text == nullptr ? 0 : std::strlen(text);
    if (n == 0) return kNull;
    if (n <= 2 || pool == nullptr) return kMasked;
    const size_t masked = n > 7 ? n - 4 : n / 2;
    const size_t head = (n - masked) / 2;
    char *copy = apr_pstrmemdup(pool, text, n);
    if (copy == nullptr) return kMasked;
    std::memset(copy + head, '*', masked);
    return copy;
}

EDGE_API const char *edge_base_log_fuzz_ip(const char *text, apr_pool_t *pool) {
    const size_t n = text == nullptr ? 0 : std::strlen(text);
    if (n <= 6) return kMasked;
    const int32_t first = edge_base_str_find_pos(text, ".") + 1;
    const int32_t last = edge_base_str_rfind_pos(text, ".");
    if (first <= 0 || last < 0 || first >= last) return text;
    // Masking needs a copy; without a pool the address must not go out unmasked.
    if (pool == nullptr) return kMasked;
    char *copy = apr_pstrmemdup(pool, text, n);
    if (copy == nullptr) return kMasked;
    std::memset(copy + first, '*', static_cast<size_t>(last - first));
    return copy;
}

}  // extern "C"
