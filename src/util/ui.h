#pragma once
#include <mutex>
#include <string>
#include <string_view>

// One-line console messages in the product's style: a four-column tag,
// optionally coloured, then the text.
namespace kelv::util::ui {

enum class Level { ok = 0, fail = 1, warn = 2, note = 3 };

// Whether colour may be used at all (NO_COLOR, CARGO_TERM_COLOR=never).
bool color();

// The message line without its newline.
std::string tagged(Level level, std::string_view text, bool colored);

// Writes one message line to standard error; never fails.
void say(Level level, std::string_view text);

// The process's standard error lock: every write to standard error holds it,
// so messages never interleave with relayed compiler output.
std::mutex& stderr_lock();

// Writes the bytes to standard error in one piece while holding the lock;
// errors are ignored.
void write_stderr(std::string_view bytes);

// Writes to standard error; the caller holds `stderr_lock`.
void write_stderr_locked(std::string_view bytes);

}  // namespace kelv::util::ui
