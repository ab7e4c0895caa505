// Field jobs of the three field kinds, the all-zero check, and the codec's helpers.
#include <apr_strings.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>
#include <vector>

#include <gravel/edge_json.h>

#include "edge_json_utils.hpp"

namespace gravel::json {

namespace {

// One number token of a JSON text: where its characters are, and whether it is written as a
// whole number (an optional minus and digits only).
struct NumberToken {
    const char *start;
    size_t length;
    bool integer;
};

// The number tokens of a text cJSON accepted, in document order. Strings are stepped over
// with their escapes; outside strings only numbers hold digits or a minus.
std::vector<NumberToken> number_tokens(const char *text) {
    std::vector<NumberToken> tokens;
    for (const char *p = text; *p != '\0';) {
        if (*p == '"') {
            for (++p; *p != '\0' && *p != '"'; ++p) {
                if (*p == '\\' && p[1] != '\0') ++p;
            }
            if (*p == '"') ++p;
        } else if (*p == '-' || (*p >= '0' && *p <= '9')) {
            const char *start = p;
            bool integer = true;
            for (; *p == '-' || *p == '+' || *p == '.' || *p == 'e' || *p == 'E' || (*p >= '0' && *p <= '9'); ++p) {
                if (*p == '+' || *p == '.' || *p == 'e' || *p == 'E' || (*p == '-' && p != start)) integer = false;
            }
            tokens.push_back({start, static_cast<size_t>(p - start), integer});
        } else {
            ++p;
        }
    }
    return tokens;
}

// Number nodes of a tree in document order.
void number_nodes(cJSON *node, std::vector<cJSON *> &out) {
    for (; node != nullptr; node = node->next) {
        if (cJSON_IsNumber(node)) out.push_back(node);
        if (node->child != nullptr) number_nodes(node->child, out);
    }
}

// A double holds every whole number exactly only up to 2^53, so cJSON's value of a larger
// one is rounded. Each whole-number node keeps its exact digits in `valuestring` (cJSON frees
// it with the node), for the 64-bit get job to read. When the tokens and nodes do not pair up
// one to one, nothing is attached and numbers read as doubles.
void attach_exact_digits(cJSON *root, const char *text) {
    const std::vector<NumberToken> tokens = number_tokens(text);
    if (tokens.empty()) return;
    std::vector<cJSON *> nodes;
    number_nodes(root, nodes);
    if (nodes.size() != tokens.size()) return;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (!tokens[i].integer || nodes[i]->valuestring != nullptr) continue;
        auto *digits = static_cast<char *>(cJSON_malloc(tokens[i].length + 1));
        if (digits == nullptr) return;
        std::memcpy(digits, tokens[i].start, tokens[i].length);
        digits[tokens[i].length] = '\0';
        nodes[i]->valuestring = digits;
    }
}

}  // namespace

CjsonPtr parse_whole(const char *text) noexcept {
    CjsonPtr root(cJSON_ParseWithOpts(text, nullptr, 1));
    if (root != nullptr) {
        try {
            attach_exact_digits(root.get(), text);
        } catch (...) {
            // Without the digits, numbers read as cJSON parsed them.
        }
    }
    return root;
}

std::optional<int64_t> exact_integer(const cJSON *number) noexcept {
    if (!cJSON_IsNumber(number) || number->valuestring == nullptr) return std::nullopt;
    const std::string_view digits(number->valuestring);
    int64_t value = 0;
    const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    // Digits that no longer match the node's value (it was set anew after parsing) are stale.
    if (res.ec != std::errc() || res.ptr != digits.data() + digits.size() ||
        static_cast<double>(value) != number->valuedouble) {
        return std::nullopt;
    }
    return value;
}

namespace {

// The exact digits of a number node, when it kept them from parsing, is written as a JSON
// whole number (a minus, then 0 or digits not starting with 0) and still holds the value they
// were parsed as; else null.
const char *exact_digits(const cJSON *node) noexcept {
    if (!cJSON_IsNumber(node) || node->valuestring == nullptr) return nullptr;
    const char *p = node->valuestring;
    const char *digits = *p == '-' ? p + 1 : p;
    if (*digits < '0' || *digits > '9' || (*digits == '0' && digits[1] != '\0')) return nullptr;
    for (const char *d = digits; *d != '\0'; ++d) {
        if (*d < '0' || *d > '9') return nullptr;
    }
    return std::strtod(p, nullptr) == node->valuedouble ? p : nullptr;
}

bool has_exact_digits(const cJSON *node) noexcept {
    if (exact_digits(node) != nullptr) return true;
    for (const cJSON *child = node->child; child != nullptr; child = child->next) {
        if (has_exact_digits(child)) return true;
    }
    return false;
}

// Turns the number nodes with exact digits into raw nodes of those digits, which cJSON prints
// as they are.
void digits_as_raw(cJSON *node) noexcept {
    if (exact_digits(node) != nullptr) node->type = cJSON_Raw;
    for (cJSON *child = node->child; child != nullptr; child = child->next) digits_as_raw(child);
}

}  // namespace

char *print_exact(const cJSON *object) noexcept {
    if (object == nullptr) return nullptr;
    if (!has_exact_digits(object)) return cJSON_PrintUnformatted(object);
    // A copy: the caller's tree keeps its number nodes.
    const CjsonPtr copy(cJSON_Duplicate(object, 1));
    if (copy == nullptr) return nullptr;
    digits_as_raw(copy.get());
    return cJSON_PrintUnformatted(copy.get());
}

uint32_t add_member(cJSON *object, const char *key, cJSON *node) noexcept {
    CjsonPtr owned(node);
    if (object == nullptr || key == nullptr) return EDGE_ERR_MISSING;
    if (!cJSON_IsObject(object)) return EDGE_ERR_BAD_ARGUMENT;
    if (owned == nullptr) return EDGE_ERR_NO_MEMORY;
    if (!cJSON_AddItemToObject(object, key, owned.get())) return EDGE_ERR_NO_MEMORY;
    owned.release();
    return EDGE_OK;
}

bool valid_utf8(std::string_view text) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t extra = 0;
        uint32_t cp = 0;
        uint32_t min = 0;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) <= extra) return false;
        for (size_t i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += extra + 1;
    }
    return true;
}

}  // namespace gravel::json

namespace {

// The largest magnitude up to which a JSON number (a double) holds every whole value exactly,
// so that no other text can have parsed to the same value: 2^53 - 1.
constexpr double kExactIntegerLimit = 9007199254740991.0;

// A whole number from a number node within [lo, hi]; the status tells why not.
template <typename Int>
uint32_t whole_number(const cJSON *member, double lo, double hi, Int *out) noexcept {
    if (member == nullptr) return EDGE_ERR_MISSING;
    if (!cJSON_IsNumber(member)) return EDGE_ERR_BAD_ARGUMENT;
    const double v = member->valuedouble;
    if (!std::isfinite(v) || v != std::trunc(v) || v < lo || v > hi) return EDGE_ERR_OUT_OF_RANGE;
    *out = static_cast<Int>(v);
    return EDGE_OK;
}

// The print jobs of the number kinds share their checks; `render` makes the text.
template <typename T, typename Render>
uint32_t print_value(const void *field, char **result, apr_pool_t *pool, int flag, Render render) noexcept {
    if (flag == 0) return EDGE_OK;
    if (field == nullptr || result == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    T value;
    std::memcpy(&value, field, sizeof value);
    char *text = render(pool, value);
    if (text == nullptr) return EDGE_ERR_NO_MEMORY;
    *result = text;
    return EDGE_OK;
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_json_set_str_job(cJSON *object, const char *key, const void *field) {
    if (field == nullptr) return EDGE_ERR_MISSING;
    const char *value = *static_cast<const char *const *>(field);
    return edge_json_add_string(object, key, value);
}

EDGE_API uint32_t edge_json_set_int_job(cJSON *object, const char *key, const void *field) {
    if (field == nullptr) return EDGE_ERR_MISSING;
    int32_t value;
    std::memcpy(&value, field, sizeof value);
    return edge_json_add_number(object, key, value);
}

EDGE_API uint32_t edge_json_set_ll_job(cJSON *object, const char *key, const void *field) {
    if (field == nullptr) return EDGE_ERR_MISSING;
    int64_t value;
    std::memcpy(&value, field, sizeof value);
    // The exact digits: a double would round values beyond 2^53 and print some in exponent form.
    char digits[24] = {};
    const auto res = std::to_chars(digits, digits + sizeof digits - 1, value);
    if (res.ec != std::errc()) return EDGE_ERR_OUT_OF_RANGE;
    return gravel::json::add_member(object, key, cJSON_CreateRaw(digits));
}

EDGE_API uint32_t edge_json_get_str_job(const cJSON *member, apr_pool_t *pool, const char *key, void *field) {
    (void)key;
    if (member == nullptr || pool == nullptr || field == nullptr) return EDGE_ERR_MISSING;
    auto *out = static_cast<const char **>(field);
    if (cJSON_IsNull(member)) {
        *out = nullptr;
        return EDGE_OK;
    }
    if (!cJSON_IsString(member) || member->valuestring == nullptr) return EDGE_ERR_BAD_ARGUMENT;
    const std::string_view text(member->valuestring);
    if (!gravel::json::valid_utf8(text)) return EDGE_ERR_BAD_ARGUMENT;
    char *copy = apr_pstrmemdup(pool, text.data(), text.size());
    if (copy == nullptr) return EDGE_ERR_NO_MEMORY;
    *out = copy;
    return EDGE_OK;
}

EDGE_API uint32_t edge_json_get_int_job(const cJSON *member, apr_pool_t *pool, const char *key, void *field) {
    (void)key;
    if (pool == nullptr || field == nullptr) return EDGE_ERR_MISSING;
    int32_t value = 0;
    const uint32_t status =
        whole_number(member, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), &value);
    if (status == EDGE_OK) std::memcpy(field, &value, sizeof value);
    return status;
}

EDGE_API uint32_t edge_json_get_ll_job(const cJSON *member, apr_pool_t *pool, const char *key, void *field) {
    (void)key;
    if (pool == nullptr || field == nullptr) return EDGE_ERR_MISSING;
    int64_t value = 0;
    uint32_t status = EDGE_OK;
    if (cJSON_IsRaw(member) && member->valuestring != nullptr) {
        // A node a set job made in the same tree: its exact digits.
        const std::string_view digits(member->valuestring);
        const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        status = res.ec == std::errc() && res.ptr == digits.data() + digits.size() ? EDGE_OK : EDGE_ERR_BAD_ARGUMENT;
    } else if (const std::optional<int64_t> exact = gravel::json::exact_integer(member)) {
        value = *exact;
    } else {
        status = whole_number(member, -kExactIntegerLimit, kExactIntegerLimit, &value);
    }
    if (status == EDGE_OK) std::memcpy(field, &value, sizeof value);
    return status;
}

EDGE_API uint32_t edge_json_print_str_job(const void *field, char **result, apr_pool_t *pool, int flag) {
    if (flag == 0) return EDGE_OK;
    if (field == nullptr || result == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    const char *value = *static_cast<const char *const *>(field);
    if (value == nullptr) return EDGE_ERR_MISSING;
    char *text = apr_pstrdup(pool, value);
    if (text == nullptr) return EDGE_ERR_NO_MEMORY;
    *result = text;
    return EDGE_OK;
}

EDGE_API uint32_t edge_json_print_int_job(const void *field, char **result, apr_pool_t *pool, int flag) {
    return print_value<int32_t>(field, result, pool, flag,
                                [](apr_pool_t *p, int32_t v) { return apr_psprintf(p, "%d", v); });
}

EDGE_API uint32_t edge_json_print_ll_job(const void *field, char **result, apr_pool_t *pool, int flag) {
    return print_value<int64_t>(field, result, pool, flag,
                                [](apr_pool_t *p, int64_t v) { return apr_psprintf(p, "%" APR_INT64_T_FMT, v); });
}

EDGE_API int edge_json_check_all_zero(const void *address, size_t length) {
    if (address == nullptr) return 0;
    const auto *bytes = static_cast<const unsigned char *>(address);
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] != 0) return 0;
    }
    return 1;
}

}  // extern "C"
