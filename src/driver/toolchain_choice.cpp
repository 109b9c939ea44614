#include "driver/toolchain_choice.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "util/clock.h"

extern char** environ;

namespace kelv::toolchain_choice {
namespace {

// Variables by which rustup (RUSTUP_TOOLCHAIN, RUSTUP_HOME, ...) and the
// common version managers choose a toolchain.
constexpr std::array<std::string_view, 4> variable_prefixes = {"RUSTUP_", "ASDF_", "MISE_", "RTX_"};

// Files that choose a toolchain for the directory holding them and the ones
// below: rustup's, then asdf's and mise's.
constexpr std::array<std::string_view, 6> directory_files = {
    "rust-toolchain", "rust-toolchain.toml", ".tool-versions",
    "mise.toml",      ".mise.toml",          ".config/mise.toml"};

void add_variables(std::vector<std::string>& texts) {
  std::vector<std::string> found;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    if (std::ranges::any_of(variable_prefixes,
                            [&](std::string_view prefix) { return text.starts_with(prefix); }))
      found.emplace_back(fmt::format("env {}", text));
  }
  std::ranges::sort(found);
  texts.insert(texts.end(), found.begin(), found.end());
}

// The file's identity, when it exists.
void add_file(std::vector<std::string>& texts, const std::string& file) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return;
  texts.emplace_back(
      fmt::format("file {} {} {} {}", st.st_size, util::mtime_ns(st), st.st_ino, file));
}

// The directory and each of its ancestors, as plain text: this runs on every
// probe of a proxy, so it stays clear of path objects.
void add_directory_files(std::vector<std::string>& texts, std::string dir) {
  std::string file;
  while (true) {
    for (std::string_view name : directory_files) {
      file.assign(dir).append(dir.ends_with('/') ? "" : "/").append(name);
      add_file(texts, file);
    }
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos || dir.size() == 1) return;
    dir.resize(slash == 0 ? 1 : slash);
  }
}

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void add_home_files(std::vector<std::string>& texts) {
  const std::string home = env_or_empty("HOME");
  std::string rustup_home = env_or_empty("RUSTUP_HOME");
  if (rustup_home.empty() && !home.empty()) rustup_home = home + "/.rustup";
  if (!rustup_home.empty()) {
    // The default toolchain and the directory overrides, and the set of
    // installed or linked toolchains.
    add_file(texts, rustup_home + "/settings.toml");
    add_file(texts, rustup_home + "/toolchains");
  }
  if (!home.empty()) {
    add_file(texts, home + "/.tool-versions");
    add_file(texts, home + "/.config/mise/config.toml");
  }
}

}  // namespace

std::vector<std::string> selectors() {
  std::vector<std::string> texts;
  std::string cwd(PATH_MAX, '\0');
  const bool known = ::getcwd(cwd.data(), cwd.size()) != nullptr;
  cwd.resize(known ? std::strlen(cwd.c_str()) : 0);
  texts.emplace_back("cwd " + cwd);
  add_variables(texts);
  if (known) add_directory_files(texts, cwd);
  add_home_files(texts);
  return texts;
}

}  // namespace kelv::toolchain_choice
