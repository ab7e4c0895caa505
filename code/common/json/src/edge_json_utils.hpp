// Helpers of the codec's sources: ownership of cJSON trees and texts, whole-text parsing,
// member addition and UTF-8 checking.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

// Parses a whole text: trailing characters other than white space make it fail. Number
// nodes written as whole numbers keep their exact digits (see exact_integer).
CjsonPtr parse_whole(const char *text) noexcept;

// The exact value of a parsed whole-number node within the 64-bit range; none for other
// nodes, for numbers beyond the range, and for nodes whose value changed after parsing.
std::optional<int64_t> exact_integer(const cJSON *number) noexcept;

// The tree as unformatted text (cJSON_free it). A whole number that kept its exact digits from
// parsing prints as those digits: cJSON prints every number from its double, which rounds
// whole numbers beyond 2^53 and some of 16 or more digits below it.
char *print_exact(const cJSON *object) noexcept;

// Adds a freshly created node (null when its creation failed) to an object; the node is
// freed when it cannot be added.
uint32_t add_member(cJSON *object, const char *key, cJSON *node) noexcept;

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool valid_utf8(std::string_view text) noexcept;

}  // namespace gravel::json
