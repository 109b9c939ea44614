#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace kelv::tool {

// What `kelv cargo` tells the wrapper, from $KELV_HOME/config.json and the
// defaults.
struct Config {
  std::filesystem::path artifact_cache;
  bool early_cutoff = true;
  uint64_t min_link_store_ns = 0;
  std::optional<uint32_t> frontend_threads;
  std::optional<std::string> linker_dir;

  // The configuration file, or the defaults when there is none; an error text
  // when it exists but cannot be read or understood.
  static std::expected<Config, std::string> load();
  static std::filesystem::path file();
};

// "512", "64K", "100M", "2G", "1T" (powers of 1024; an optional "B" or "iB");
// absent when not a size.
std::optional<uint64_t> parse_size(std::string_view text);

// 1536 -> "1.5 KiB".
std::string format_size(uint64_t bytes);

}  // namespace kelv::tool
