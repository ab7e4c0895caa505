// Null-tolerant, byte-wise string helpers.
#include <cstring>
#include <string_view>

#include <gravel/edge_base.h>

extern "C" {

EDGE_API uint32_t edge_base_str_len(const char *text) {
    return text == nullptr ? 0 : static_cast<uint32_t>(std::strlen(text));
}

EDGE_API int edge_base_str_n_cmp(const char *a, const char *b, uint32_t count) {
    if (count == 0) return 0;
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    for (uint32_t i = 0; i < count; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x - y;
        if (x == '\0') break;
    }
    return 0;
}

EDGE_API const char *edge_base_str_find(const char *text, const char *pattern) {
    if (text == nullptr || pattern == nullptr) return nullptr;
    return std::strstr(text, pattern);
}

EDGE_API const char *edge_base_str_rfind(const char *text, const char *pattern) {
    if (text == nullptr || pattern == nullptr || pattern[0] == '\0') return nullptr;
    const std::string_view t(text);
    const size_t at = t.rfind(std::string_view(pattern));
    return at == std::string_view::npos ? nullptr : text + at;
}

EDGE_API int32_t edge_base_str_find_pos(const char *text, const char *pattern) {
    const char *hit = edge_base_str_find(text, pattern);
    return hit == nullptr ? -1 : static_cast<int32_t>(hit - text);
}

EDGE_API int32_t edge_base_str_rfind_pos(const char *text, const char *pattern) {
    const char *hit = edge_base_str_rfind(text, pattern);
    return hit == nullptr ? -1 : static_cast<int32_t>(hit - text);
}

}  // extern "C"
