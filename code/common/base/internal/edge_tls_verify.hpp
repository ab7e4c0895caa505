// How far the kit's TLS clients verify their peers, read from the environment.
//
// The environment variable "module_tls_verify" relaxes the default: unset, empty or "full"
// verifies the server's certificate chain against the work dir's conf/rootcert.pem and the
// host name or IP address in the certificate; "chain" verifies the chain only; "none"
// verifies nothing. The relaxed modes are logged at WARN when a client library initialises;
// an unknown value is logged at WARN and verifies fully.
#pragma once

#include <cstdlib>
#include <cstring>

#include <gravel/edge_base.h>

namespace gravel {

enum class TlsVerify {
    full,
    chain,
    none
};

inline constexpr const char kTlsVerifyEnv[] = "module_tls_verify";

// Reads the variable and logs what a relaxed or unknown value means.
inline TlsVerify tls_verify_from_env() noexcept {
    const char *value = std::getenv(kTlsVerifyEnv);
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "full") == 0) return TlsVerify::full;
    if (std::strcmp(value, "chain") == 0) {
        EDGE_LOG_WARN("env:%s is chain, the server's host name is not verified.", kTlsVerifyEnv);
        return TlsVerify::chain;
    }
    if (std::strcmp(value, "none") == 0) {
        EDGE_LOG_WARN("env:%s is none, the server's certificate is not verified.", kTlsVerifyEnv);
        return TlsVerify::none;
    }
    EDGE_LOG_WARN("env:%s has an unknown value, so is full.", kTlsVerifyEnv);
    return TlsVerify::full;
}

}  // namespace gravel
