// Helpers of the codec's sources: ownership of cJSON trees and texts, whole-text parsing,
// member addition and UTF-8 checking.
#pragma once

#include <memory>
#include <string_view>

#include <gravel/edge_json.h>

namespace gravel::json {

struct CjsonDelete {
    void operator()(cJSON *node) const noexcept { cJSON_Delete(node); }
};
struct CjsonFree {
    void operator()(char *text) const noexcept { cJSON_free(text); }
};
using CjsonPtr = std::unique_ptr<cJSON, CjsonDelete>;
using CjsonText = std::unique_ptr<char, CjsonFree>;

// Parses a whole text: trailing characters other than white space make it fail.
CjsonPtr parse_whole(const char *text) noexcept;

// Adds a freshly created node (null when its creation failed) to an object; the node is
// freed when it cannot be added.
uint32_t add_member(cJSON *object, const char *key, cJSON *node) noexcept;

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool valid_utf8(std::string_view text) noexcept;

}  // namespace gravel::json
