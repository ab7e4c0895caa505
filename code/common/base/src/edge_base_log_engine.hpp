// code/common/base/src/edge_base_log_engine.hpp
#pragma once
#include <cstdarg>
#include <cstddef>
namespace gravel::log {
// Loads the configuration file; 0 on success, -1 when the file is missing, unreadable or invalid
// (then nothing is set up and a one-line diagnostic naming file, line and reason goes to stderr),
// or when already initialised. `category` is the category every write() logs under.
int init(const char *path, const char *category) noexcept;
// Finishes: closes outputs; may be called any number of times, also without init.
void fini() noexcept;
// True when some rule for the init category would output a message of this level.
// Must be very cheap (one relaxed atomic load + bit test): callers skip argument evaluation on false.
bool enabled(int level) noexcept;
// Formats and writes one message under the init category to every matching rule, in file order.
// Dropped silently before init, after a failed init or after fini. Thread-safe; never throws.
void write(const char *file, size_t filelen, const char *func, size_t funclen, long line,
           int level, const char *fmt, va_list ap) noexcept;
}
