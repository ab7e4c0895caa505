// Fuzzes the reader of the zlog-format log configuration with whole configuration texts.
//
// Properties: any text is refused with a diagnostic or accepted, without a crash or a leak; a
// configuration that is accepted gives an engine that logs a line at every level the kit uses
// (and at a level the input picks) without a crash.
//
// A configuration can start commands (pipe outputs), write to any path and read the
// environment into paths; inputs that could do so here (a '|', a '/', %E, syslog) are not
// run, and relative log files land in a scratch directory, the working directory while an input
// runs, emptied after each input. (A crash report written meanwhile lands there too: campaigns
// give libFuzzer an absolute -artifact_prefix.)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <filesystem>
#include <string>
#include <system_error>

#include "edge_base_log_engine.hpp"
#include "fuzz_support.hpp"

namespace {

namespace fs = std::filesystem;
using gravel::log::detail::Engine;

// True when the configuration could reach beyond the scratch directory or flood the output.
bool unsafe(std::string_view text) {
    if (text.find_first_of("|/") != std::string_view::npos) return true;
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.find("syslog") != std::string::npos || lower.find("stderr") != std::string::npos) return true;
    // %E(name): an environment variable's value (which may hold a '/') in a pattern.
    for (size_t at = lower.find('%'); at != std::string::npos; at = lower.find('%', at + 1)) {
        size_t i = at + 1;
        while (i < lower.size() &&
               (lower[i] == '-' || lower[i] == '.' || std::isdigit(static_cast<unsigned char>(lower[i])))) {
            ++i;
        }
        if (i < lower.size() && lower[i] == 'e') return true;
    }
    return false;
}

__attribute__((format(printf, 3, 4))) void log_line(const Engine &engine, int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    engine.dispatch("fuzz/log_conf.cpp", 17, "log_line", 8, __LINE__, level, fmt, ap);
    va_end(ap);
}

const gravel::test::TempDir *scratch = nullptr;
int home = -1;  // the working directory outside an input

void empty_scratch() {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(scratch->path(), ec)) fs::remove_all(entry.path(), ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static gravel::test::TempDir dir;
    scratch = &dir;
    home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(home >= 0, "no working directory");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks an extra level to log at; the rest is the configuration.
    const int extra_level = data[0];
    const std::string_view text = gravel::fuzz::text_of(data + 1, size - 1);
    if (unsafe(text)) return -1;  // not added to the corpus
    FUZZ_CHECK(::chdir(scratch->path().c_str()) == 0, "cannot enter %s", scratch->path().c_str());
    {
        std::string diagnostic;
        const auto engine = Engine::load_text(text, "fuzz.conf", "sdk_rule", diagnostic);
        if (engine == nullptr) {
            FUZZ_CHECK(!diagnostic.empty(), "a refused configuration without a diagnostic");
        } else {
            for (const int level : {20, 40, 80, 100, extra_level}) {
                log_line(*engine, level, "fuzz line %d: %s %ld", level, "text", 12345L);
            }
        }
    }
    empty_scratch();
    FUZZ_CHECK(::fchdir(home) == 0, "cannot go back to the working directory");
    return 0;
}
