#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelv::util {

// "512", "64K", "100M", "2G", "1T" (powers of 1024; an optional "B" or "iB");
// absent when not a size.
std::optional<uint64_t> parse_size(std::string_view text);

}  // namespace kelv::util
