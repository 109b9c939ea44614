#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "artifact_cache/trim.h"

// The cache's running size, kept in use.json by the builds that add to it,
// and the bound it is held to.
namespace kelv::artifact_cache {

// What use.json holds. Its numbers come from a file others may write, so
// each is read as the unsigned number it must be, else 0.
struct CacheUse {
  uint64_t bytes = 0;         // at the last walk, plus what builds added since
  uint64_t walked_at_ns = 0;  // when a walk last counted every file
  uint64_t swept_at_ns = 0;   // when the records were last swept
  uint64_t horizon_ns = 0;    // entries last used before this are trimmed
  std::optional<TrimOutcome> last_trim;
  uint64_t last_trim_ns = 0;
  uint64_t last_limit = 0;  // the bound the last trim held the cache to

  static CacheUse load(const fs::path& cache);
  std::expected<void, std::string> save(const fs::path& cache) const;
};

// A trim removes entries down to this share of the bound, so that the
// builds after it do not each walk the cache again.
inline constexpr uint64_t trim_target(uint64_t bound) {
  return bound / 10 * 9;
}

struct Upkeep {
  CacheUse use;
  bool trimmed = false;  // the cache was over its bound and is trimmed now
  bool swept = false;    // the records were swept
};

// After a build that added `added_bytes` of entries: counts them, walks
// the cache once a day or when the count passes `bound` (a trim then
// removes the least recently used entries), and sweeps the records once a
// day and after each trim. One process at a time, under use.lock; a second
// one waits and finds the cache within the bound already. An error text
// when the lock cannot be had.
std::expected<Upkeep, std::string> keep_in_bound(const fs::path& cache, uint64_t bound,
                                                 uint64_t added_bytes, uint64_t now_ns);

// A one-off trim to `limit`, under the same lock.
std::expected<TrimOutcome, std::string> trim_now(const fs::path& cache, uint64_t limit,
                                                 uint64_t now_ns);

}  // namespace kelv::artifact_cache
