// The clock: epoch milliseconds and UTC formatting.
#include <apr_time.h>

#include <gravel/edge_base.h>

extern "C" {

EDGE_API int64_t edge_base_time_now(void) {
    return apr_time_now() / 1000;
}

EDGE_API uint32_t edge_base_time_strftime(const char *format, char *buffer, uint32_t *length) {
    if (format == nullptr || format[0] == '\0' || buffer == nullptr || length == nullptr || *length == 0) {
        return EDGE_ERR_MISSING;
    }
    apr_time_exp_t t;
    apr_status_t rv = apr_time_exp_tz(&t, apr_time_now(), 0);
    if (rv != APR_SUCCESS) return rv;
    apr_size_t written = 0;
    rv = apr_strftime(buffer, &written, *length, format, &t);
    if (rv == APR_SUCCESS) *length = static_cast<uint32_t>(written);
    return rv;
}

}  // extern "C"
