// Property files: parsing lines of key=value text into APR hash tables and writing them back.
#include <array>
#include <cstring>
#include <string_view>

#include <apr_file_io.h>
#include <apr_strings.h>

#include <gravel/edge_base.h>

#include "edge_scoped_pool.hpp"
#include <gravel/edge_property.h>

#include "edge_atomic_file.hpp"

namespace {

// Read buffer: 511 bytes of a line and the terminator.
constexpr size_t kLineBuffer = 512;
constexpr uint32_t kMaxReads = EDGE_PROPERTY_LINES_MAX;

constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\f' || c == '\r' || c == '\n';
}
constexpr bool is_separator(char c) noexcept {
    return c == '=' || c == ':';
}

// The key and value of one line, blanks removed, before they are copied into a pool.
struct ParsedLine {
    std::array<char, EDGE_PROPERTY_KEY_MAX> key{};
    size_t key_len = 0;
    std::array<char, EDGE_PROPERTY_VALUE_MAX> value{};
    size_t value_len = 0;
};

// Splits a line into key and value; false when the line is invalid.
bool split_line(std::string_view line, ParsedLine &out) noexcept {
    bool separated = false;
    for (const char c : line) {
        if (c == '\0') break;
        if (is_blank(c)) continue;
        if (is_separator(c)) {
            if (separated) return false;
            separated = true;
            continue;
        }
        if (separated) {
            if (out.value_len == out.value.size()) return false;
            out.value[out.value_len++] = c;
        } else {
            if (out.key_len == out.key.size()) return false;
            out.key[out.key_len++] = c;
        }
    }
    return out.key_len != 0;
}

// Whether "key=value\n" reads back as this very entry: a key of 1 to 32 characters that does
// not begin with the comment marker, a non-empty value, neither holding a blank, a separator
// or a zero byte, and a line short enough to arrive in one piece.
bool reads_back(std::string_view key, const char *value) noexcept {
    if (key.empty() || key.size() > EDGE_PROPERTY_KEY_MAX || key.front() == '#' || value == nullptr) return false;
    const std::string_view val(value);
    if (val.empty() || val.size() > EDGE_PROPERTY_VALUE_MAX || key.size() + val.size() + 2 > kLineBuffer - 1) {
        return false;
    }
    auto plain = [](std::string_view text) {
        for (const char c : text) {
            if (c == '\0' || is_blank(c) || is_separator(c)) return false;
        }
        return true;
    };
    return plain(key) && plain(val);
}

}  // namespace

extern "C" {

EDGE_API uint32_t edge_property_parse_valid(const char *line, uint32_t length, apr_hash_t *table, apr_pool_t *pool) {
    return line != nullptr && line[0] != '\0' && length != 0 && table != nullptr && pool != nullptr ? 0 : 1;
}

EDGE_API uint32_t edge_property_parse_line(const char *line, uint32_t length, apr_hash_t *table, apr_pool_t *pool) {
    if (edge_property_parse_valid(line, length, table, pool) != 0) return EDGE_ERR_MISSING;
    ParsedLine parsed;
    if (!split_line(std::string_view(line, length), parsed)) return EDGE_ERR_PROPERTY_SYNTAX;
    const auto klen = static_cast<apr_ssize_t>(parsed.key_len);
    if (parsed.value_len == 0) {
        // A key without a value removes an earlier entry; APR deletes on a null value.
        apr_hash_set(table, parsed.key.data(), klen, nullptr);
        return EDGE_OK;
    }
    char *key = apr_pstrmemdup(pool, parsed.key.data(), parsed.key_len);
    char *value = apr_pstrmemdup(pool, parsed.value.data(), parsed.value_len);
    if (key == nullptr || value == nullptr) return EDGE_ERR_MISSING;
    apr_hash_set(table, key, klen, value);
    return EDGE_OK;
}

EDGE_API apr_hash_t *edge_property_parse(const char *path, apr_pool_t *pool) {
    if (path == nullptr || path[0] == '\0' || pool == nullptr) return nullptr;
    apr_file_t *file = nullptr;
    const apr_status_t rv =
        apr_file_open(&file, path, APR_FOPEN_READ | APR_FOPEN_BINARY | APR_FOPEN_BUFFERED, APR_OS_DEFAULT, pool);
    if (rv != APR_SUCCESS) {
        EDGE_LOG_ERROR("open file failed, ret:%d", rv);
        return nullptr;
    }
    gravel::FileGuard guard(file);
    apr_hash_t *table = apr_hash_make(pool);
    if (table == nullptr) return nullptr;

    std::array<char, kLineBuffer> buffer{};
    (void)apr_file_gets(buffer.data(), static_cast<int>(buffer.size()), file);
    uint32_t reads = 1;
    // End of file leaves the buffer empty, and so does a line that begins with a zero byte.
    while (buffer[0] != '\0' && reads <= kMaxReads) {
        if (buffer[0] != '#' && buffer[0] != '\r' && buffer[0] != '\n') {
            // An invalid line is skipped; the rest of the file is still read.
            (void)edge_property_parse_line(buffer.data(), static_cast<uint32_t>(std::strlen(buffer.data())), table,
                                           pool);
        }
        buffer.fill('\0');
        (void)apr_file_gets(buffer.data(), static_cast<int>(buffer.size()), file);
        ++reads;
    }
    return table;
}

EDGE_API uint32_t edge_property_dump(const char *path, apr_hash_t *table, apr_pool_t *pool) {
    if (path == nullptr || path[0] == '\0' || table == nullptr || pool == nullptr) return EDGE_ERR_MISSING;
    if (apr_hash_count(table) == 0) {
        EDGE_LOG_ERROR("no element in hash table.");
        return EDGE_ERR_BAD_ARGUMENT;
    }

    // Format every line first, then hand the whole text over in one piece.
    size_t total = 0;
    const unsigned count = apr_hash_count(table);
    auto *lines = static_cast<const char **>(apr_palloc(pool, sizeof(char *) * count));
    auto *lengths = static_cast<size_t *>(apr_palloc(pool, sizeof(size_t) * count));
    if (lines == nullptr || lengths == nullptr) return EDGE_ERR_MISSING;
    unsigned n = 0;
    for (apr_hash_index_t *it = apr_hash_first(pool, table); it != nullptr && n < count; it = apr_hash_next(it)) {
        const void *key = nullptr;
        void *value = nullptr;
        apr_ssize_t key_len = 0;
        apr_hash_this(it, &key, &key_len, &value);
        const std::string_view key_text(static_cast<const char *>(key), static_cast<size_t>(key_len));
        if (!reads_back(key_text, static_cast<const char *>(value))) {
            EDGE_LOG_ERROR("property entry cannot be written, key:%.*s", static_cast<int>(key_text.size()),
                           key_text.data());
            return EDGE_ERR_BAD_ARGUMENT;
        }
        lines[n] = apr_psprintf(pool, "%s=%s\n", static_cast<const char *>(key),
                                value == nullptr ? "" : static_cast<const char *>(value));
        if (lines[n] == nullptr) return EDGE_ERR_MISSING;
        lengths[n] = std::strlen(lines[n]);
        total += lengths[n];
        ++n;
    }
    auto *text = static_cast<char *>(apr_palloc(pool, total + 1));
    if (text == nullptr) return EDGE_ERR_MISSING;
    size_t at = 0;
    for (unsigned i = 0; i < n; ++i) {
        std::memcpy(text + at, lines[i], lengths[i]);
        at += lengths[i];
    }

    const gravel::file::ReplaceResult result = gravel::file::replace_atomically(path, text, total);
    if (!result.created) {
        EDGE_LOG_ERROR("open file failed, ret:%d", result.error);
        return EDGE_ERR_FILE_WRITE;
    }
    if (result.error != 0) {
        EDGE_LOG_ERROR("write file failed, ret:%d", result.error);
        return EDGE_ERR_FILE_WRITE;
    }
    return EDGE_OK;
}

}  // extern "C"
