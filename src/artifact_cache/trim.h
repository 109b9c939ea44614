#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Keeping the cache directory in bounds: its entries, least recently used
// first, and the records that grow with use.
namespace kelv::artifact_cache {

namespace fs = std::filesystem;

inline constexpr uint64_t day_ns = 24ull * 3600 * 1000000000;

// How long a record nobody used is kept. Records are only ever shortcuts
// (hashes, answers, link facts): one removed while still wanted is made
// again at the cost of one hash or one question.
inline constexpr uint64_t record_max_age_ns = 30 * day_ns;

struct EntryUse {
  std::string name;
  uint64_t last_used_ns = 0;  // a hit touches the entry record
  uint64_t bytes = 0;
};

// What the cache directory holds, from one walk of it.
struct CacheWalk {
  std::vector<EntryUse> entries;
  uint64_t total_bytes = 0;  // every regular file below the cache, each inode once
};

CacheWalk walk_cache(const fs::path& cache);

// Bytes of the files of one published entry; 0 when it is gone.
uint64_t entry_bytes(const fs::path& cache, const std::string& name);

struct TrimOutcome {
  size_t entries = 0;  // entries the walk found
  size_t removed = 0;
  uint64_t removed_bytes = 0;
  uint64_t before = 0;
  uint64_t after = 0;
  // The last use of the most recently used entry removed; 0 when none was.
  uint64_t horizon_ns = 0;
};

// Removes the least recently used entries of `walk` until the total is at
// most `target`. Each leaves e/ in one rename first (discard), so a build
// that replays it at that moment misses and compiles instead; one that
// another process removed first is skipped.
TrimOutcome trim_entries(const fs::path& cache, CacheWalk walk, uint64_t target);

struct SweepOutcome {
  size_t removed = 0;
  uint64_t removed_bytes = 0;
};

// Removes the records that nothing can use any more:
//  - content memos and link records whose file is gone or has changed
//    (records from before they named their file: when 30 days old);
//  - key records not used for 30 days, or not since before `horizon_ns`,
//    when every entry they could lead to was older and is trimmed;
//  - quick records, unit records and linker directory memos not written
//    for 30 days; remote failure markers older than a day;
//  - what interrupted stores, transfers and removals left in tmp/ (the
//    assemblies and transfers once a day old, since they may be live).
SweepOutcome sweep_records(const fs::path& cache, uint64_t now_ns, uint64_t horizon_ns);

// Removes the regular files directly in `dir` not modified for `max_age_ns`;
// what they held in bytes is added to `outcome`.
void remove_older(const fs::path& dir, uint64_t now_ns, uint64_t max_age_ns, SweepOutcome& outcome);

}  // namespace kelv::artifact_cache
