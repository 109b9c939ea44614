#include "util/home.h"

#include <cstdlib>

namespace kelv::util {

std::filesystem::path kelv_home() {
  if (const char* home = std::getenv("KELV_HOME"); home && *home) return home;
  const char* base = std::getenv("HOME");
  if (!base) base = std::getenv("USERPROFILE");
  if (base && *base) return std::filesystem::path(base) / ".kelv";
  std::error_code ec;
  std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
  if (ec) tmp = "/tmp";
  return tmp / "kelv";
}

std::filesystem::path memo_dir(std::string_view name) {
  return kelv_home() / "cache" / "memo" / name;
}

std::filesystem::path cargo_home() {
  const char* cargo = std::getenv("CARGO_HOME");
  const char* home = std::getenv("HOME");
  if (cargo && *cargo) return cargo;
  if (home && *home) return std::filesystem::path(home) / ".cargo";
  return {};
}

}  // namespace kelv::util
