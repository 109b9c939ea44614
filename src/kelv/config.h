#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "util/settings_schema.h"
#include "util/size.h"

namespace kelv::tool {

// What `kelv cargo` tells the wrapper, from $KELV_HOME/config.json and the
// defaults.
struct Config {
  // The wrapper's settings but `target_dir` (each build's own): the
  // configurable members as the file sets them, the others at their defaults.
  // `artifact_cache` is never absent.
  util::SettingsValues settings;
  // `settings.artifact_cache` as a path, for the cache commands.
  std::filesystem::path artifact_cache;
  // "remote_cache": the shared server, given to the wrapper as
  // KELV_REMOTE_CACHE unless that is set already.
  std::optional<std::string> remote_cache;
  // "max_cache_size": what the artifact cache may hold, in bytes; a size
  // text as `kelv cache trim` takes it, or a number.
  uint64_t max_cache_size = default_max_cache_size;
  static constexpr uint64_t default_max_cache_size = 10ull << 30;

  // The configuration file, or the defaults when there is none; an error text
  // when it exists but cannot be read or understood. A "max_cache_size" that
  // is not a size is a warning, and the default bound applies. The file is one JSON
  // object of configurable members; null (where the default is absent)
  // leaves a member absent.
  static std::expected<Config, std::string> load();
  static std::filesystem::path file();
};

using util::parse_size;

// 1536 -> "1.5 KiB".
std::string format_size(uint64_t bytes);

}  // namespace kelv::tool
