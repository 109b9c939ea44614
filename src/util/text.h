#pragma once
#include <string_view>
#include <type_traits>

namespace kelv::util {

// Without surrounding whitespace.
inline std::string_view trim(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t\n\r\f\v");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\n\r\f\v") - first + 1);
}

// Calls f with each line of the text, without its "\n" or "\r\n"; a final
// newline ends the last line rather than starting an empty one. When f
// returns a bool, true stops the walk.
template <class F>
void for_each_line(std::string_view text, F f) {
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (nl == std::string_view::npos) {
      text = {};
    } else {
      text.remove_prefix(nl + 1);
      if (line.ends_with('\r')) line.remove_suffix(1);
    }
    if constexpr (std::is_same_v<std::invoke_result_t<F, std::string_view>, bool>) {
      if (f(line)) return;
    } else {
      f(line);
    }
  }
}

}  // namespace kelv::util
