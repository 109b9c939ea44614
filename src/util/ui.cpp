#include "util/ui.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelv::util::ui {
namespace {

struct Tag {
  const char* name;
  const char* sgr;
};
constexpr Tag tags[] = {{"OK", "1;32"}, {"FAIL", "1;31"}, {"WARN", "1;33"}, {"NOTE", "1;36"}};

bool env_is(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

bool color_for_stderr() {
  if (::isatty(2)) return color();
  return color() && env_is("CARGO_TERM_COLOR", "always");
}

}  // namespace

bool color() {
  if (const char* v = std::getenv("NO_COLOR"); v && *v) return false;
  return !env_is("CARGO_TERM_COLOR", "never");
}

std::string tagged(Level level, std::string_view text, bool colored) {
  const Tag& tag = tags[static_cast<int>(level)];
  std::string padded = tag.name;
  if (!text.empty()) padded.resize(4, ' ');
  std::string line;
  if (colored) {
    line = "\x1b[";
    line += tag.sgr;
    line += 'm';
    line += padded;
    line += "\x1b[0m";
  } else {
    line = padded;
  }
  if (!text.empty()) {
    line += ' ';
    line += text;
  }
  return line;
}

std::mutex& stderr_lock() {
  static std::mutex lock;
  return lock;
}

void write_stderr_locked(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(2, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void write_stderr(std::string_view bytes) {
  std::lock_guard guard(stderr_lock());
  write_stderr_locked(bytes);
}

void say(Level level, std::string_view text) {
  std::lock_guard guard(stderr_lock());
  std::string line = tagged(level, text, color_for_stderr());
  line += '\n';
  write_stderr_locked(line);
}

}  // namespace kelv::util::ui
