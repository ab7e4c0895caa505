#include "fault_util.hpp"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include <apr_hash.h>

#include <gravel/edge_cipher.h>

#include "gravel_test_support.hpp"

namespace fault_test {

Reports read_reports(const std::vector<std::string> &lines) {
    Reports r;
    for (const std::string &line : lines) {
        std::istringstream in(line);
        std::string kind, what, value;
        in >> kind >> what >> value;
        if (kind == "S") {
            r.in_flight = std::make_pair(what, value);
        } else if (kind == "A") {
            r.acknowledged.emplace_back(what, value);
            r.in_flight.reset();
        } else if (kind == "F") {
            r.failure = line;
        }
    }
    return r;
}

std::vector<std::string> temporaries_of(const std::string &dir, const std::string &target) {
    const std::string prefix = target + ".tmp.";
    std::vector<std::string> found;
    for (const std::string &name : gravel::test::list_dir(dir)) {
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) found.push_back(name);
    }
    return found;
}

Keys domain_keys() {
    Keys keys;
    const edge_cipher_mgr_t *mgr = edge_CIPHER_MGR_mgr_get();
    if (mgr == nullptr || mgr->domain_keys == nullptr) return keys;
    for (apr_hash_index_t *it = apr_hash_first(nullptr, mgr->domain_keys); it != nullptr; it = apr_hash_next(it)) {
        const void *name = nullptr;
        apr_ssize_t name_len = 0;
        void *value = nullptr;
        apr_hash_this(it, &name, &name_len, &value);
        const auto *record = static_cast<const edge_cipher_key_t *>(value);
        keys[std::string(static_cast<const char *>(name), static_cast<size_t>(name_len))] =
            std::string(reinterpret_cast<const char *>(record->key), record->len);
    }
    return keys;
}

std::vector<std::string> sorted_lines(const std::string &text, bool &whole) {
    whole = text.empty() || text.back() == '\n';
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

void Figures::print(const char *loop, unsigned seed) const {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "[fault] %s kills=%d acknowledged=%ld temporaries=%d in_flight=%d unacknowledged_on_disk=%d "
        "seed=%u seconds=%.1f\n",
        loop, kills, acknowledged, temporaries, in_flight, unacknowledged_on_disk, seed, seconds);
    std::fflush(stdout);
}

}  // namespace fault_test
