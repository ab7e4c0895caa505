// Fuzzes the property file reader with whole files, and its dump with what the reader gave.
//
// Properties: the table read from any file is the one the file format describes (a small
// reading of the format here, line by line, independent of the library's); every entry holds
// a key of 1 to 32 and a value of 1 to 512 characters without blanks, separators or zero
// bytes; a dump of that table either writes a file that reads back as the same table, or is
// refused because an entry breaks the written form (a key beginning with '#', a line longer
// than 511 bytes), and then the file is not touched.
#include <cstring>
#include <map>
#include <string>

#include <apr_general.h>
#include <apr_hash.h>
#include <apr_pools.h>

#include <gravel/edge_property.h>

#include "fuzz_support.hpp"

namespace {

using Table = std::map<std::string, std::string>;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\f' || c == '\r' || c == '\n';
}
bool separator(char c) {
    return c == '=' || c == ':';
}

// The format as written down: pieces of at most 511 bytes ending at a line feed, at most 512
// of them; a piece that begins with a zero byte ends the file, and one beginning with '#', CR
// or LF is skipped; blanks are removed; one separator; a key of 1 to 32 and a value of at most
// 512 characters; no value removes the key.
Table model(std::string_view file) {
    Table table;
    size_t at = 0;
    for (int reads = 0; reads < EDGE_PROPERTY_LINES_MAX && at < file.size(); ++reads) {
        size_t end = at;
        while (end < file.size() && end - at < 511) {
            if (file[end++] == '\n') break;
        }
        std::string_view piece = file.substr(at, end - at);
        at = end;
        if (piece.front() == '\0') break;
        piece = piece.substr(0, piece.find('\0'));
        if (piece.front() == '#' || piece.front() == '\r' || piece.front() == '\n') continue;
        std::string key, value;
        int separators = 0;
        for (const char c : piece) {
            if (blank(c)) continue;
            if (separator(c)) {
                ++separators;
                continue;
            }
            (separators == 0 ? key : value).push_back(c);
        }
        if (separators > 1 || key.empty() || key.size() > EDGE_PROPERTY_KEY_MAX ||
            value.size() > EDGE_PROPERTY_VALUE_MAX) {
            continue;
        }
        if (value.empty()) {
            table.erase(key);
        } else {
            table[key] = value;
        }
    }
    return table;
}

Table to_map(apr_hash_t *hash, apr_pool_t *pool) {
    Table out;
    for (apr_hash_index_t *it = apr_hash_first(pool, hash); it != nullptr; it = apr_hash_next(it)) {
        const void *key = nullptr;
        apr_ssize_t key_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &key, &key_len, &value);
        FUZZ_CHECK(value != nullptr, "an entry without value");
        const std::string k(static_cast<const char *>(key), static_cast<size_t>(key_len));
        FUZZ_CHECK(static_cast<const char *>(key)[key_len] == '\0', "key %s not terminated", k.c_str());
        out[k] = static_cast<const char *>(value);
    }
    return out;
}

bool plain(const std::string &text) {
    for (const char c : text) {
        if (c == '\0' || blank(c) || separator(c)) return false;
    }
    return true;
}

std::string describe(const Table &t) {
    std::string out;
    for (const auto &[k, v] : t) out += "[" + k + "]=[" + v + "] ";
    return out;
}

const gravel::test::TempDir *files = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    gravel::fuzz::start_base();
    static gravel::test::TempDir dir;
    files = &dir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text = gravel::fuzz::text_of(data, size);
    const std::string in_path = files->file("in.properties");
    const std::string out_path = files->file("out.properties");
    gravel::test::write_file(in_path, std::string(text));

    apr_pool_t *pool = nullptr;
    FUZZ_CHECK(apr_pool_create(&pool, nullptr) == APR_SUCCESS, "no pool");
    apr_hash_t *hash = edge_property_parse(in_path.c_str(), pool);
    FUZZ_CHECK(hash != nullptr, "a readable file gave no table");
    const Table read = to_map(hash, pool);
    const Table expected = model(text);
    FUZZ_CHECK(read == expected, "read %s, the format gives %s", describe(read).c_str(), describe(expected).c_str());

    bool writable = !read.empty();
    for (const auto &[key, value] : read) {
        FUZZ_CHECK(!key.empty() && key.size() <= EDGE_PROPERTY_KEY_MAX && plain(key), "bad key [%s]", key.c_str());
        FUZZ_CHECK(!value.empty() && value.size() <= EDGE_PROPERTY_VALUE_MAX && plain(value), "bad value of [%s]",
                   key.c_str());
        if (key.front() == '#' || key.size() + value.size() + 2 > 511) writable = false;
    }

    const std::string sentinel = "untouched\n";
    gravel::test::write_file(out_path, sentinel);
    const uint32_t status = edge_property_dump(out_path.c_str(), hash, pool);
    if (writable) {
        FUZZ_CHECK(status == EDGE_OK, "dump of a writable table gave %u", status);
        apr_hash_t *again = edge_property_parse(out_path.c_str(), pool);
        FUZZ_CHECK(again != nullptr, "the dumped file does not read");
        const Table back = to_map(again, pool);
        FUZZ_CHECK(back == read, "dumped %s, read back %s", describe(read).c_str(), describe(back).c_str());
    } else {
        FUZZ_CHECK(status == EDGE_ERR_BAD_ARGUMENT, "dump of an unwritable table gave %u", status);
        FUZZ_CHECK(gravel::test::read_file(out_path) == sentinel, "a refused dump changed the file");
    }
    apr_pool_destroy(pool);
    return 0;
}
