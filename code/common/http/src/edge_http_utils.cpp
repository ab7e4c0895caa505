// Transfers: GET and POST on a handle, and the write callback that assembles the body.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include <gravel/edge_http.h>

#include "edge_http_internal.hpp"
#include "edge_scoped_pool.hpp"

namespace {

// The largest body a response record can describe: its length is 32-bit and a NUL follows.
constexpr size_t kMaxBody = UINT32_MAX - 1;
constexpr size_t kFirstBlock = 1024;

// Appends bytes to the record's body. The body grows in blocks of doubling size in the
// response pool, so a body delivered in many pieces costs about twice its size, not the
// square of its piece count. False when the body would pass kMaxBody or no block can be had.
bool append_body(gravel::http::Handle &handle, const char *data, size_t bytes) noexcept {
    edge_http_response_t &response = *handle.pub.response;
    const size_t held = response.body == nullptr ? 0 : response.length;
    if (bytes > kMaxBody - held) {
        EDGE_LOG_ERROR("response body too large.");
        return false;
    }
    const size_t total = held + bytes;
    if (response.body != handle.buffer || total + 1 > handle.capacity) {
        // A new block: the first of this transfer, or a bigger one.
        const size_t wanted = std::max({total + 1, handle.capacity * 2, kFirstBlock});
        const size_t capacity = std::min(wanted, kMaxBody + 1);
        auto *block = static_cast<char *>(apr_palloc(handle.pub.response_pool, capacity));
        if (block == nullptr) return false;
        if (held != 0) std::memcpy(block, response.body, held);
        handle.buffer = block;
        handle.capacity = capacity;
        response.body = block;
    }
    std::memcpy(response.body + held, data, bytes);
    response.body[total] = '\0';
    response.length = static_cast<uint32_t>(total);
    return true;
}

bool usable(const edge_http_handle_t *handle, const char *url, const edge_http_response_t *response,
            const apr_pool_t *response_pool) noexcept {
    return handle != nullptr && handle->curl != nullptr && url != nullptr && url[0] != '\0' && response != nullptr &&
           response_pool != nullptr;
}

bool aborted(const gravel::http::Handle &handle) noexcept {
    return handle.abort_flag != nullptr && gravel::atomic_read32(*handle.abort_flag) != 0;
}

int64_t steady_ms() noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The stall watch: from the moment the request goes out, every stall limit's worth of seconds
// must move at least as many bytes (sent or received), or the transfer has stalled. Counting
// from the last bytes that moved, not over a sliding average, a POST ends as soon as a GET.
bool stalled(gravel::http::Handle &handle, curl_off_t moved) noexcept {
    if (handle.stall_limit <= 0) return false;
    if (handle.stall_mark_ms < 0) {
        // Connecting has its own time-out: the watch starts once the request is under way.
        curl_off_t pretransfer = 0;
        if (curl_easy_getinfo(handle.pub.curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) != CURLE_OK ||
            pretransfer <= 0) {
            return false;
        }
        handle.stall_mark_ms = steady_ms();
        handle.stall_mark_bytes = moved;
        return false;
    }
    const int64_t now = steady_ms();
    if (moved - handle.stall_mark_bytes >= handle.stall_limit) {
        handle.stall_mark_ms = now;
        handle.stall_mark_bytes = moved;
        return false;
    }
    return now - handle.stall_mark_ms >= static_cast<int64_t>(handle.stall_limit) * 1000;
}

// libcurl calls this often while data flows and about once a second while the peer is silent;
// a non-zero answer ends the transfer with CURLE_ABORTED_BY_CALLBACK (a stall: perform makes
// that CURLE_OPERATION_TIMEDOUT).
int progress_check(void *data, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    gravel::http::Handle &handle = *gravel::http::from_public(data);
    if (aborted(handle)) return 1;
    if (stalled(handle, dlnow + ulnow)) {
        handle.stalled = true;
        return 1;
    }
    return 0;
}

// Sets the request's URL, body sink, headers and the progress callback that watches for an
// abort and a stall, runs the transfer and detaches the caller's record from the handle again.
// A handle whose abort flag is up sends nothing.
CURLcode perform(edge_http_handle_t *handle, const char *url, edge_http_response_t *response,
                 apr_pool_t *response_pool) noexcept {
    CURL *curl = handle->curl;
    gravel::http::Handle &own = *gravel::http::from_public(handle);
    if (aborted(own)) return CURLE_ABORTED_BY_CALLBACK;
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_URL, url);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress_check);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_XFERINFODATA, static_cast<void *>(handle));
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, edge_http_write_data_callback);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void *>(handle));
    if (rc == CURLE_OK && handle->headers != nullptr) rc = curl_easy_setopt(curl, CURLOPT_HTTPHEADER, handle->headers);
    if (rc != CURLE_OK) return rc;
    own.buffer = nullptr;
    own.capacity = 0;
    own.stall_mark_ms = -1;
    own.stall_mark_bytes = 0;
    own.stalled = false;
    handle->response = response;
    handle->response_pool = response_pool;
    rc = curl_easy_perform(curl);
    if (rc == CURLE_ABORTED_BY_CALLBACK && own.stalled) rc = CURLE_OPERATION_TIMEDOUT;
    handle->response = nullptr;
    handle->response_pool = nullptr;
    own.buffer = nullptr;
    own.capacity = 0;
    return rc;
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_http_get(edge_http_handle_t *handle, const char *url, edge_http_response_t *response,
                                apr_pool_t *response_pool, uint32_t timeout_ms) {
    if (!usable(handle, url, response, response_pool)) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    EDGE_LOG_INFO("get url: %s", edge_base_log_fuzz_ip(url, response_pool));
    CURLcode rc = curl_easy_setopt(handle->curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
    if (rc == CURLE_OK) rc = perform(handle, url, response, response_pool);
    if (rc != CURLE_OK) EDGE_LOG_ERROR("http get failed, ret_code: %d", static_cast<int>(rc));
    return rc;
}

EDGE_API uint32_t edge_http_post(edge_http_handle_t *handle, const char *url, const char *body, int32_t length,
                                 edge_http_response_t *response, apr_pool_t *response_pool) {
    // The length only has to be non-zero: libcurl sends the text up to its NUL.
    if (!usable(handle, url, response, response_pool) || body == nullptr || length == 0) {
        EDGE_LOG_ERROR("input error.");
        return EDGE_ERR_BAD_ARGUMENT;
    }
    const char *masked = edge_base_log_fuzz_ip(url, response_pool);
    EDGE_LOG_INFO("post url: %s", masked);
    CURLcode rc = curl_easy_setopt(handle->curl, CURLOPT_POST, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle->curl, CURLOPT_POSTFIELDS, body);
    if (rc == CURLE_OK) rc = perform(handle, url, response, response_pool);
    if (rc != CURLE_OK) {
        EDGE_LOG_ERROR("http post failed, ret_code: %d", static_cast<int>(rc));
    } else {
        EDGE_LOG_INFO("succeed to post http request: %s", masked);
    }
    return rc;
}

EDGE_API size_t edge_http_write_data_callback(char *data, size_t size, size_t count, void *handle) {
    auto *own = gravel::http::from_public(handle);
    if (own == nullptr || own->pub.response == nullptr || own->pub.response_pool == nullptr) {
        EDGE_LOG_ERROR("invalid response param.");
        return count;
    }
    size_t bytes = 0;
    if (__builtin_mul_overflow(size, count, &bytes) || (bytes != 0 && data == nullptr)) return 0;
    if (bytes == 0) return count;
    if (!append_body(*own, data, bytes)) return 0;
    long status = 0;
    if (curl_easy_getinfo(own->pub.curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
        own->pub.response->status = static_cast<int32_t>(status);
    }
    return count;
}

}  // extern "C"
