// Bytes as text and back on caller buffers: the exported hex tables, lowercase hex, base64 (the
// URL-safe alphabet accepted when decoding), and UCS-2 code units to UTF-8 through iconv.
#include <iconv.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <gravel/edge_base.h>
#include <gravel/edge_cipher.h>

#include "edge_cipher_internal.hpp"

extern "C" {

// Visibility comes from the declaration in the header.
const char hex_dic[17] = "0123456789abcdef";

const int32_t hex_rdic[112] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 0..15
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 16..31
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 32..47
    0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   255, 255, 255, 255, 255, 255,  // 48..63 "0".."9"
    255, 10,  11,  12,  13,  14,  15,  255, 255, 255, 255, 255, 255, 255, 255, 255,  // 64..79 "A".."F"
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  // 80..95
    255, 10,  11,  12,  13,  14,  15,  255, 255, 255, 255, 255, 255, 255, 255, 255,  // 96..111 "a".."f"
};

}  // extern "C"

namespace {

// Closes an iconv descriptor on every path out of a scope.
class Iconv {
public:
    Iconv(const char *to, const char *from) noexcept : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;
    bool ok() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const noexcept { return cd_; }

private:
    iconv_t cd_;
};

// The values of hex_rdic for every byte value (255 beyond code 111 too), as a constant of this
// module so the decoding loop reads no exported data.
constexpr std::array<uint8_t, 256> kHexValue = [] {
    std::array<uint8_t, 256> table{};
    table.fill(255);
    for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = static_cast<uint8_t>(c - '0');
    for (char c = 'a'; c <= 'f'; ++c) table[static_cast<unsigned char>(c)] = static_cast<uint8_t>(c - 'a' + 10);
    for (char c = 'A'; c <= 'F'; ++c) table[static_cast<unsigned char>(c)] = static_cast<uint8_t>(c - 'A' + 10);
    return table;
}();

constexpr bool is_base64_char(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_cipher_base64_encode(const unsigned char *data, uint32_t len, char *output,
                                            uint32_t *output_len) {
    if (data == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0) {
        return EDGE_ERR_MISSING;
    }
    const uint64_t need = 4 * ((static_cast<uint64_t>(len) + 2) / 3);
    if (*output_len < need) return EDGE_ERR_OUT_OF_RANGE;
    // Whole groups of 48 bytes give 64 characters; OpenSSL adds a terminator that must not
    // reach the caller's buffer, so every chunk passes through a small one of our own.
    constexpr size_t kChunk = 48;
    unsigned char text[kChunk / 3 * 4 + 1];
    size_t at = 0;
    for (size_t off = 0; off < len; off += kChunk) {
        const size_t n = len - off < kChunk ? len - off : kChunk;
        const int k = EVP_EncodeBlock(text, data + off, static_cast<int>(n));
        if (k != static_cast<int>(4 * ((n + 2) / 3))) return EDGE_ERR_MISSING;
        std::memcpy(output + at, text, static_cast<size_t>(k));
        at += static_cast<size_t>(k);
    }
    *output_len = static_cast<uint32_t>(need);
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_base64_decode(char *text, uint32_t len, unsigned char *output, uint32_t *output_len) {
    if (text == nullptr || len == 0 || len % 4 != 0 || len > INT_MAX || output == nullptr || output_len == nullptr) {
        return EDGE_ERR_MISSING;
    }
    const uint32_t capacity_needed = len / 4 * 3;
    if (*output_len < capacity_needed) return EDGE_ERR_OUT_OF_RANGE;
    for (uint32_t i = 0; i < len; ++i) {
        if (text[i] == '-') text[i] = '+';
        if (text[i] == '_') text[i] = '/';
    }
    // Only the alphabet, with at most two "=" at the very end.
    uint32_t pads = 0;
    while (pads < 2 && text[len - 1 - pads] == '=') ++pads;
    for (uint32_t i = 0; i < len - pads; ++i) {
        if (!is_base64_char(text[i])) return EDGE_ERR_UNDECRYPTABLE;
    }
    const int n = EVP_DecodeBlock(output, reinterpret_cast<const unsigned char *>(text), static_cast<int>(len));
    if (n != static_cast<int>(capacity_needed)) {
        OPENSSL_cleanse(output, capacity_needed);
        return EDGE_ERR_UNDECRYPTABLE;
    }
    // The decoder writes zero bytes for the padding; they are not part of the result.
    for (uint32_t i = 0; i < pads; ++i) output[capacity_needed - 1 - i] = 0;
    *output_len = capacity_needed - pads;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_to_hex(const unsigned char *data, uint32_t len, char *output, uint32_t *output_len) {
    if (data == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0) {
        return EDGE_ERR_MISSING;
    }
    if (*output_len < 2 * static_cast<uint64_t>(len)) return EDGE_ERR_OUT_OF_RANGE;
    std::memset(output, 0, *output_len);
    gravel::cipher::hex_encode(data, len, output);
    *output_len = 2 * len;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_from_hex(const char *text, uint32_t len, unsigned char *output, uint32_t *output_len) {
    // The length first: text of length 0 has no first character to look at.
    if (text == nullptr || len == 0 || text[0] == '\0' || output == nullptr || output_len == nullptr) {
        return EDGE_ERR_MISSING;
    }
    if (len % 2 != 0) return EDGE_ERR_BAD_ARGUMENT;
    if (*output_len < len / 2) return EDGE_ERR_OUT_OF_RANGE;
    for (uint32_t i = 0; i < len / 2; ++i) {
        const unsigned hi = kHexValue[static_cast<unsigned char>(text[2 * i])];
        const unsigned lo = kHexValue[static_cast<unsigned char>(text[2 * i + 1])];
        if (((hi | lo) & 0xf0u) != 0) return EDGE_ERR_BAD_ARGUMENT;
        output[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    *output_len = len / 2;
    return EDGE_OK;
}

EDGE_API uint32_t edge_cipher_unicode_to_utf8_native(const unsigned char *units, uint32_t len, char *output,
                                                     uint32_t *output_len, apr_pool_t *pool) {
    if (units == nullptr || len == 0 || output == nullptr || output_len == nullptr || *output_len == 0 ||
        pool == nullptr) {
        return EDGE_ERR_MISSING;
    }
    // glibc's "UCS-2" reads code units in the machine's own byte order.
    Iconv conv("UTF-8", "UCS-2");
    if (!conv.ok()) {
        EDGE_LOG_ERROR("create utf8 converter error.");
        return EDGE_ERR_MISSING;
    }
    char *in = const_cast<char *>(reinterpret_cast<const char *>(units));  // iconv's signature, not written
    size_t in_left = len;
    char *out = output;
    size_t out_left = *output_len;
    if (iconv(conv.get(), &in, &in_left, &out, &out_left) == static_cast<size_t>(-1) || in_left != 0) {
        const int err = errno;
        OPENSSL_cleanse(output, *output_len - out_left);
        EDGE_LOG_ERROR("utf8 convert failed, errno:%d", err);
        return EDGE_ERR_MISSING;
    }
    *output_len = static_cast<uint32_t>(*output_len - out_left);
    return EDGE_OK;
}

}  // extern "C"
