// Cost of the kit's domain encryption, decryption and digest next to the same OpenSSL EVP
// sequence with hex encoding written out here, and of the configuration store's calls.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>
#include <gravel/edge_configs.h>

namespace {

// A work dir with the base runtime, the cipher and the configuration store; logging off.
class KitRuntime {
public:
    KitRuntime() {
        char tmpl[] = "/tmp/gravel-bench-XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::filesystem::create_directories(dir_ + "/conf");
        std::ofstream(dir_ + "/conf/rootcert.pem") << "placeholder\n";
        std::ofstream(dir_ + "/conf/sdk_log.conf") << "[rules]\nsdk_rule.FATAL \"" << dir_ << "/sdk.log\"\n";
        ok_ = edge_base_init(dir_.c_str(), "bench") == EDGE_OK && edge_cipher_init() == EDGE_OK &&
              edge_configs_init() == EDGE_OK;
        pool_ = edge_CIPHER_MGR_mgr_create_pool();
        const unsigned char secret[] = "a 32 byte secret for the digests";
        ok_ = ok_ && pool_ != nullptr && edge_cipher_save_key("secret", secret, 32, 0) == EDGE_OK;
    }
    ~KitRuntime() {
        edge_base_memory_pool_destroy(&pool_);
        edge_configs_destroy();
        edge_cipher_destroy();
        edge_base_destroy();
        std::filesystem::remove_all(dir_);
    }
    bool ok() const { return ok_; }
    apr_pool_t *pool() const { return pool_; }
    // The domain key "configs" the store entered, as a raw AES key for the direct sequences.
    static const unsigned char *configs_key() { return edge_cipher_get_domain("configs")->key; }
    static const edge_cipher_key_t *secret_key() { return edge_cipher_get_domain("secret"); }

private:
    std::string dir_;
    bool ok_ = false;
    apr_pool_t *pool_ = nullptr;
};

void hex(const unsigned char *in, size_t n, char *out) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[in[i] >> 4];
        out[2 * i + 1] = digits[in[i] & 15];
    }
}

int unhex_digit(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

void unhex(const char *in, size_t n, unsigned char *out) {
    for (size_t i = 0; i < n / 2; ++i)
        out[i] = static_cast<unsigned char>(unhex_digit(in[2 * i]) * 16 + unhex_digit(in[2 * i + 1]));
}

EVP_CIPHER *aes() {
    static EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return cipher;
}

EVP_MAC *hmac() {
    static EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

// What a module would write against OpenSSL directly: random IV, encrypt, hex.
bool evp_encrypt_hex(const unsigned char *key, const unsigned char *in, int n, char *out) {
    unsigned char record[16 + 1024 + 16];
    int n1 = 0;
    int n2 = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ok =
        ctx != nullptr && RAND_bytes(record, 16) == 1 && EVP_EncryptInit_ex2(ctx, aes(), key, record, nullptr) == 1 &&
        EVP_EncryptUpdate(ctx, record + 16, &n1, in, n) == 1 && EVP_EncryptFinal_ex(ctx, record + 16 + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    hex(record, static_cast<size_t>(16 + n1 + n2), out);
    return ok;
}

bool evp_decrypt_hex(const unsigned char *key, const char *text, size_t len, unsigned char *out, int *out_len) {
    unsigned char record[16 + 1024 + 16];
    unhex(text, len, record);
    int n1 = 0;
    int n2 = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ok = ctx != nullptr && EVP_DecryptInit_ex2(ctx, aes(), key, record, nullptr) == 1 &&
                    EVP_DecryptUpdate(ctx, out, &n1, record + 16, static_cast<int>(len / 2 - 16)) == 1 &&
                    EVP_DecryptFinal_ex(ctx, out + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    *out_len = n1 + n2;
    return ok;
}

bool evp_digest_hex(const unsigned char *key, size_t key_len, const unsigned char *in, size_t n, char *out) {
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    unsigned char mac[32];
    size_t mac_len = 0;
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(hmac());
    const bool ok = ctx != nullptr && EVP_MAC_init(ctx, key, key_len, params) == 1 && EVP_MAC_update(ctx, in, n) == 1 &&
                    EVP_MAC_final(ctx, mac, &mac_len, sizeof mac) == 1;
    EVP_MAC_CTX_free(ctx);
    hex(mac, mac_len, out);
    return ok;
}

void BM_KitEncrypt(benchmark::State &state) {
    KitRuntime kit;
    const std::vector<unsigned char> plain(static_cast<size_t>(state.range(0)), 'p');
    std::vector<char> out(edge_cipher_calc_encrypt_len(static_cast<uint32_t>(plain.size())));
    for (auto _ : state) {
        uint32_t len = static_cast<uint32_t>(out.size());
        if (edge_cipher_encrypt(plain.data(), static_cast<uint32_t>(plain.size()), out.data(), &len, "configs",
                                kit.pool()) != 0) {
            state.SkipWithError("encrypt failed");
            break;
        }
        edge_base_memory_pool_clear(kit.pool());  // a caller's scratch pool goes after each use
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_KitEncrypt)->Arg(64)->Arg(1024);

void BM_EvpEncrypt(benchmark::State &state) {
    KitRuntime kit;
    const std::vector<unsigned char> plain(static_cast<size_t>(state.range(0)), 'p');
    std::vector<char> out(edge_cipher_calc_encrypt_len(static_cast<uint32_t>(plain.size())));
    for (auto _ : state) {
        if (!evp_encrypt_hex(KitRuntime::configs_key(), plain.data(), static_cast<int>(plain.size()), out.data())) {
            state.SkipWithError("encrypt failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EvpEncrypt)->Arg(64)->Arg(1024);

void BM_KitDecrypt(benchmark::State &state) {
    KitRuntime kit;
    const std::vector<unsigned char> plain(static_cast<size_t>(state.range(0)), 'p');
    std::vector<char> text(edge_cipher_calc_encrypt_len(static_cast<uint32_t>(plain.size())));
    uint32_t text_len = static_cast<uint32_t>(text.size());
    edge_cipher_encrypt(plain.data(), static_cast<uint32_t>(plain.size()), text.data(), &text_len, "configs",
                        kit.pool());
    std::vector<unsigned char> out(plain.size());
    for (auto _ : state) {
        uint32_t len = static_cast<uint32_t>(out.size());
        if (edge_cipher_decrypt(text.data(), text_len, out.data(), &len, "configs", kit.pool()) != 0 ||
            len != plain.size()) {
            state.SkipWithError("decrypt failed");
            break;
        }
        edge_base_memory_pool_clear(kit.pool());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_KitDecrypt)->Arg(64)->Arg(1024);

void BM_EvpDecrypt(benchmark::State &state) {
    KitRuntime kit;
    const std::vector<unsigned char> plain(static_cast<size_t>(state.range(0)), 'p');
    std::vector<char> text(edge_cipher_calc_encrypt_len(static_cast<uint32_t>(plain.size())));
    evp_encrypt_hex(KitRuntime::configs_key(), plain.data(), static_cast<int>(plain.size()), text.data());
    std::vector<unsigned char> out(plain.size() + 16);
    for (auto _ : state) {
        int len = 0;
        if (!evp_decrypt_hex(KitRuntime::configs_key(), text.data(), text.size(), out.data(), &len) ||
            len != static_cast<int>(plain.size())) {
            state.SkipWithError("decrypt failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EvpDecrypt)->Arg(64)->Arg(1024);

void BM_KitDigest(benchmark::State &state) {
    KitRuntime kit;
    const std::vector<unsigned char> message(static_cast<size_t>(state.range(0)), 'm');
    char out[64];
    for (auto _ : state) {
        uint32_t len = sizeof out;
        if (edge_cipher_digest(message.data(), static_cast<uint32_t>(message.size()), out, &len, "secret") != 0) {
            state.SkipWithError("digest failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_KitDigest)->Arg(64);

void BM_EvpDigest(benchmark::State &state) {
    KitRuntime kit;
    const std::vector<unsigned char> message(static_cast<size_t>(state.range(0)), 'm');
    const edge_cipher_key_t *key = KitRuntime::secret_key();
    char out[64];
    for (auto _ : state) {
        if (!evp_digest_hex(key->key, key->len, message.data(), message.size(), out)) {
            state.SkipWithError("digest failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_EvpDigest)->Arg(64);

void BM_ConfigsGetInt(benchmark::State &state) {
    KitRuntime kit;
    edge_configs_set_int(0, "mqtt_server_port", 8883);
    for (auto _ : state) benchmark::DoNotOptimize(edge_configs_get_int(0, "mqtt_server_port"));
}
BENCHMARK(BM_ConfigsGetInt);

void BM_ConfigsGetStr(benchmark::State &state) {
    KitRuntime kit;
    edge_configs_set_str(0, "module_id", "module-0123456789", 0);
    for (auto _ : state) benchmark::DoNotOptimize(edge_configs_get_str(0, "module_id"));
}
BENCHMARK(BM_ConfigsGetStr);

void BM_ConfigsSetStrEncrypted(benchmark::State &state) {
    KitRuntime kit;
    const std::string token(static_cast<size_t>(state.range(0)), 't');
    for (auto _ : state) {
        if (edge_configs_set_str(0, "daemon_token", token.c_str(), 1) != 0) {
            state.SkipWithError("set failed");
            break;
        }
    }
}
BENCHMARK(BM_ConfigsSetStrEncrypted)->Arg(64);

}  // namespace
