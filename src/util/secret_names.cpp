#include "util/secret_names.h"

#include <algorithm>
#include <array>
#include <string>

namespace kelv::util {
namespace {

constexpr std::array<std::string_view, 12> secret_words = {
    "TOKEN",   "SECRET",  "PASSWORD", "PASSWD",     "CREDENTIAL",  "AUTH",
    "PRIVATE", "API_KEY", "APIKEY",   "ACCESS_KEY", "SESSION_KEY", "SIGNING"};

}  // namespace

bool is_secret_name(std::string_view name) {
  std::string upper(name);
  std::ranges::transform(upper, upper.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  const std::string_view up = upper;
  if (std::ranges::any_of(secret_words, [&](std::string_view w) { return up.find(w) != up.npos; }))
    return true;
  return up.ends_with("_KEY") || up.starts_with("AWS_") || up.starts_with("SCCACHE_");
}

}  // namespace kelv::util
