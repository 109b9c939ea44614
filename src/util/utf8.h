#pragma once
#include <string>
#include <string_view>

namespace kelv::util {

bool is_utf8(std::string_view bytes);

// The bytes as UTF-8 text, each invalid sequence (maximal subpart) replaced
// by U+FFFD. Also known as `path_str` when applied to a path.
std::string lossy(std::string_view bytes);

}  // namespace kelv::util
