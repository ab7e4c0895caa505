// Process-wide logging state: init/fini, the level filter and message dispatch.
#include "edge_base_log_engine.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace gravel::log {

namespace detail {

namespace {

// A thread keeps its buffers between messages; ones grown beyond this (or beyond buffer min,
// when that is larger) are given back afterwards.
constexpr std::size_t kKeptScratch = 64 * 1024;

struct Scratch {
    std::unique_ptr<char[]> msg;
    std::size_t msg_cap = 0;
    std::string line;

    void reserve_msg(std::size_t cap) {
        msg = std::make_unique_for_overwrite<char[]>(cap);
        msg_cap = cap;
    }
    void trim(std::size_t keep) {
        keep = std::max(keep, kKeptScratch);
        if (msg_cap > keep) {
            msg.reset();
            msg_cap = 0;
        }
        if (line.capacity() > keep) std::string().swap(line);
    }
};

Scratch &scratch() {
    thread_local Scratch s;
    return s;
}

// Formats the caller's message into the thread's buffer, keeping at most `keep` characters.
// (Marked as printf-like so that compilers check the callers' formats, not this one.)
__attribute__((format(printf, 4, 0))) std::string_view format_message(Scratch &s, std::size_t first_cap,
                                                                      std::size_t keep, const char *fmt, va_list ap) {
    if (!fmt) return {};
    if (s.msg_cap == 0) s.reserve_msg(std::min(first_cap, keep + 1));
    va_list cp;
    va_copy(cp, ap);
    int n = std::vsnprintf(s.msg.get(), s.msg_cap, fmt, cp);
    va_end(cp);
    if (n < 0) return {};
    if (std::size_t(n) >= s.msg_cap && s.msg_cap < keep + 1) {
        s.reserve_msg(std::min(std::size_t(n), keep) + 1);
        va_copy(cp, ap);
        n = std::vsnprintf(s.msg.get(), s.msg_cap, fmt, cp);
        va_end(cp);
        if (n < 0) return {};
    }
    return {s.msg.get(), std::min(std::size_t(n), s.msg_cap - 1)};
}

}  // namespace

void Engine::dispatch(const char *file, std::size_t filelen, const char *func, std::size_t funclen, long line,
                      int level, const char *fmt, va_list ap) const {
    if (level < 0 || level >= kLevelCount || !mask_.test(level)) return;
    Scratch &s = scratch();
    const std::size_t limit = settings_.buffer_max;
    Event ev;
    ev.category = category_;
    if (file) ev.file = std::string_view(file, filelen);
    if (func) ev.func = std::string_view(func, funclen);
    ev.line = line;
    ev.level = level;
    ev.level_info = &levels_.describe(level);
    clock_gettime(CLOCK_REALTIME, &ev.now);
    // One character beyond the limit is kept so that a cut line is still recognised as cut.
    const std::size_t keep = limit ? limit + 1 : SIZE_MAX / 2;
    const std::size_t first_cap = std::clamp<std::size_t>(settings_.buffer_min, 256, std::size_t{1} << 20);
    ev.message = format_message(s, first_cap, keep, fmt, ap);

    for (const Rule &r : rules_) {
        if (!r.levels.test(level)) continue;
        TextBuffer out(s.line, limit);
        r.format->render(ev, out);
        out.finish_cut();
        r.output->emit(out.view(), ev);
    }
    s.trim(first_cap);
}

}  // namespace detail

namespace {

std::mutex g_control;                                // serialises init and fini
std::atomic<detail::Engine *> g_engine{nullptr};     // the published configuration
std::atomic<std::uint64_t> g_writers{0};             // write() calls that may be using g_engine
std::array<std::atomic<std::uint64_t>, 4> g_mask{};  // levels enabled() reports

void set_mask(const detail::LevelMask &m) {
    for (std::size_t i = 0; i < g_mask.size(); ++i) g_mask[i].store(m.bits[i], std::memory_order_relaxed);
}

void report(std::string line) {
    line += '\n';
    detail::write_fully(STDERR_FILENO, line, true);
}

}  // namespace

int init(const char *path, const char *category) noexcept {
    try {
        std::lock_guard lk(g_control);
        if (g_engine.load()) return -1;
        if (!path || !category) {
            report("gravel log: init needs a configuration file and a category");
            return -1;
        }
        std::string diagnostic;
        std::unique_ptr<detail::Engine> e = detail::Engine::load(path, category, diagnostic);
        if (!e) {
            report(diagnostic);
            return -1;
        }
        const detail::LevelMask mask = e->mask();
        g_engine.store(e.release());
        set_mask(mask);
        return 0;
    } catch (...) {
        return -1;
    }
}

void fini() noexcept {
    try {
        std::lock_guard lk(g_control);
        set_mask(detail::LevelMask{});
        detail::Engine *e = g_engine.exchange(nullptr);
        if (!e) return;
        // A write() that saw the engine before the exchange finishes with it before it goes.
        while (g_writers.load() != 0) std::this_thread::yield();
        delete e;
    } catch (...) {}
}

bool enabled(int level) noexcept {
    if (unsigned(level) >= unsigned(detail::kLevelCount)) return false;
    return (g_mask[unsigned(level) >> 6].load(std::memory_order_relaxed) >> (unsigned(level) & 63)) & 1;
}

void write(const char *file, size_t filelen, const char *func, size_t funclen, long line, int level, const char *fmt,
           va_list ap) noexcept {
    if (!enabled(level)) return;
    // Sequentially consistent with fini(): either this call sees no engine, or fini() sees this
    // call counted and waits for it.
    g_writers.fetch_add(1);
    if (detail::Engine *e = g_engine.load()) {
        try {
            e->dispatch(file, filelen, func, funclen, line, level, fmt, ap);
        } catch (...) {}
    }
    g_writers.fetch_sub(1);
}

}  // namespace gravel::log
