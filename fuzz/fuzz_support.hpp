// What the fuzz targets share: the check that stops a run when a property does not hold, and
// the kit's runtime on a work dir of the process's own, started once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <gravel/edge_base.h>

#include "gravel_test_support.hpp"

// Stops the process with a message when a property of the fuzzed code does not hold, so that
// libFuzzer keeps the input as a crash (and the replay fails on it).
#define FUZZ_CHECK(cond, ...)                                                                    \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                                   \
            std::fputc('\n', stderr);                                                            \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

namespace gravel::fuzz {

// The input as text, split at the first zero byte (C strings end there) and as a view.
inline std::string_view text_of(const uint8_t *data, size_t size) {
    return {reinterpret_cast<const char *>(data), size};
}

// Takes bytes off the front of the input: the fixed choices of a run, then the rest.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
    // The text up to the next zero byte (or the end), the zero byte consumed.
    std::string part() {
        std::string out;
        while (size_ > 0) {
            const uint8_t c = byte();
            if (c == 0) break;
            out.push_back(static_cast<char>(c));
        }
        return out;
    }
    std::string rest() {
        std::string out(reinterpret_cast<const char *>(data_), size_);
        data_ += size_;
        size_ = 0;
        return out;
    }
    size_t left() const { return size_; }

private:
    const uint8_t *data_;
    size_t size_;
};

// A work dir for the process (conf/rootcert.pem, a log configuration whose rule drops every
// message: campaigns run millions of inputs), the key store under it, and the base runtime
// started on it. Removed when the process exits normally.
inline gravel::test::WorkDir &start_base() {
    static gravel::test::WorkDir work;
    static const bool started = [] {
        gravel::test::write_file(work.file("conf/sdk_log.conf"),
                                 "[formats]\nplain = \"%V %m%n\"\n[rules]\nsdk_rule.DEBUG $dropped; plain\n");
        ::setenv("module_cfg_dir", work.path().c_str(), 1);
        const uint32_t status = edge_base_init(work.path().c_str(), nullptr);
        FUZZ_CHECK(status == EDGE_OK, "edge_base_init gave %u", status);
        return true;
    }();
    (void)started;
    return work;
}

}  // namespace gravel::fuzz
