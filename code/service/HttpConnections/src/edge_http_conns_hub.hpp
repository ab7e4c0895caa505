// The hub's address, shared by the hub exchanges and the app HTTP API.
#pragma once

#include <apr_pools.h>

namespace gravel::httpconns {

// "https://<http_server_ip>:<http_server_port>" followed by `path`, in the pool; null when the
// store has no "http_server_ip".
const char *hub_url(apr_pool_t *pool, const char *path) noexcept;

}  // namespace gravel::httpconns
