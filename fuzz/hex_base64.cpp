// Fuzzes the kit's hex and base64 coding, both ways.
//
// Properties, with the input taken as bytes: hex and base64 encodings have their exact length
// and alphabet and decode to the bytes. With the input taken as text: the hex decoder accepts
// exactly the texts of an even number of hex digits (either case), and such a text re-encodes
// to itself in lowercase; the base64 decoder accepts exactly the texts of the standard or the
// URL-safe alphabet in groups of four with at most two '=' at the end, gives the bytes a plain
// reading of them gives (this file's own), and such a text re-encodes to itself with the
// URL-safe characters in standard form, except that bits of the last character beyond the
// decoded bytes (which the decoder does not look at) read as zero.
#include <cstring>
#include <string>
#include <vector>

#include <gravel/edge_cipher.h>

#include "fuzz_support.hpp"

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string hex_encode(const std::string &bytes) {
    std::vector<char> out(2 * bytes.size() + 1, 'x');
    uint32_t len = static_cast<uint32_t>(out.size());
    const uint32_t status = edge_cipher_to_hex(reinterpret_cast<const unsigned char *>(bytes.data()),
                                               static_cast<uint32_t>(bytes.size()), out.data(), &len);
    FUZZ_CHECK(status == EDGE_OK && len == 2 * bytes.size(), "to_hex gave %u, length %u", status, len);
    FUZZ_CHECK(out[len] == '\0', "to_hex left no terminator in a larger buffer");
    return std::string(out.data(), len);
}

std::string base64_encode(const std::string &bytes) {
    const size_t need = 4 * ((bytes.size() + 2) / 3);
    std::vector<char> out(need);  // exactly the text: a write past it is caught
    uint32_t len = static_cast<uint32_t>(need);
    const uint32_t status = edge_cipher_base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()),
                                                      static_cast<uint32_t>(bytes.size()), out.data(), &len);
    FUZZ_CHECK(status == EDGE_OK && len == need, "base64_encode gave %u, length %u of %zu", status, len, need);
    return std::string(out.data(), len);
}

// Base64 by the book: groups of four, '=' only as the last one or two characters, '-' and '_'
// for '+' and '/'. False when the text is not such.
bool reference_base64(std::string text, std::string &bytes) {
    if (text.empty() || text.size() % 4 != 0) return false;
    size_t pads = 0;
    while (pads < 2 && text[text.size() - 1 - pads] == '=') ++pads;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < text.size() - pads; ++i) {
        char c = text[i] == '-' ? '+' : text[i] == '_' ? '/' : text[i];
        const size_t v = kAlphabet.find(c);
        if (c == '\0' || v == std::string::npos) return false;
        acc = (acc << 6 | static_cast<uint32_t>(v)) & 0xffffff;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>(acc >> bits & 0xff));
        }
    }
    return true;
}

void bytes_both_ways(const std::string &bytes) {
    if (bytes.empty()) return;
    const std::string hex = hex_encode(bytes);
    for (const char c : hex) FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'), "hex digit %02x", c & 0xff);
    std::vector<unsigned char> back(bytes.size());
    uint32_t len = static_cast<uint32_t>(back.size());
    FUZZ_CHECK(edge_cipher_from_hex(hex.data(), static_cast<uint32_t>(hex.size()), back.data(), &len) == EDGE_OK,
               "own hex refused");
    FUZZ_CHECK(len == bytes.size() && std::memcmp(back.data(), bytes.data(), len) == 0, "hex round trip differs");

    std::string b64 = base64_encode(bytes);
    for (const char c : b64)
        FUZZ_CHECK(c == '=' || kAlphabet.find(c) != std::string::npos, "base64 char %02x", c & 0xff);
    std::vector<unsigned char> out(b64.size() / 4 * 3);
    len = static_cast<uint32_t>(out.size());
    const uint32_t status = edge_cipher_base64_decode(b64.data(), static_cast<uint32_t>(b64.size()), out.data(), &len);
    FUZZ_CHECK(status == EDGE_OK, "own base64 refused (%u)", status);
    FUZZ_CHECK(len == bytes.size() && std::memcmp(out.data(), bytes.data(), len) == 0, "base64 round trip differs");
}

void hex_text(const std::string &text) {
    if (text.empty()) return;
    std::vector<unsigned char> out(text.size() / 2 == 0 ? 1 : text.size() / 2);
    uint32_t len = static_cast<uint32_t>(text.size() / 2);
    const uint32_t status = edge_cipher_from_hex(text.data(), static_cast<uint32_t>(text.size()), out.data(), &len);
    bool valid = text.size() % 2 == 0;
    for (const char c : text) valid = valid && hex_value(c) >= 0;
    if (!valid) {
        FUZZ_CHECK(status != EDGE_OK, "from_hex accepted [%s]", text.c_str());
        return;
    }
    FUZZ_CHECK(status == EDGE_OK && len == text.size() / 2, "from_hex refused hex (%u)", status);
    std::string lower = text;
    for (char &c : lower) c = "0123456789abcdef"[hex_value(c)];
    const std::string again = hex_encode(std::string(reinterpret_cast<const char *>(out.data()), len));
    FUZZ_CHECK(again == lower, "hex %s re-encodes to %s", text.c_str(), again.c_str());
}

void base64_text(const std::string &text) {
    if (text.empty()) return;
    std::string expected;
    const bool valid = reference_base64(text, expected);
    std::string copy = text;
    std::vector<unsigned char> out(text.size() / 4 * 3 + 1);
    uint32_t len = static_cast<uint32_t>(text.size() / 4 * 3);
    const uint32_t status =
        edge_cipher_base64_decode(copy.data(), static_cast<uint32_t>(copy.size()), out.data(), &len);
    if (!valid) {
        FUZZ_CHECK(status != EDGE_OK, "base64_decode accepted [%s]", text.c_str());
        return;
    }
    FUZZ_CHECK(status == EDGE_OK, "base64_decode refused [%s] (%u)", text.c_str(), status);
    const std::string bytes(reinterpret_cast<const char *>(out.data()), len);
    FUZZ_CHECK(bytes == expected, "base64 [%s] decoded to other bytes", text.c_str());
    if (bytes.empty()) return;
    const std::string again = base64_encode(bytes);
    std::string canonical = text;
    for (char &c : canonical) c = c == '-' ? '+' : c == '_' ? '/' : c;
    // The last character before the padding carries 2 ("xxx=") or 4 ("xx==") bits past the
    // bytes; those read as zero in the re-encoding.
    const size_t pads = canonical.size() - canonical.find_last_not_of('=') - 1;
    if (pads > 0) {
        const size_t at = canonical.size() - pads - 1;
        const size_t v = kAlphabet.find(canonical[at]);
        canonical[at] = kAlphabet[v & (pads == 1 ? ~size_t{3} : ~size_t{15})];
    }
    FUZZ_CHECK(again == canonical, "base64 [%s] re-encodes to [%s]", text.c_str(), again.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    bytes_both_ways(input);
    hex_text(input);
    base64_text(input);
    return 0;
}
