#include "kelv/upkeep.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "artifact_cache/size_bound.h"
#include "util/clock.h"
#include "util/home.h"
#include "util/ui.h"

namespace kelv::tool {
namespace {

namespace fs = std::filesystem;
using artifact_cache::record_max_age_ns;

bool is_entry_name(const std::string& name) {
  return name.size() == 32 && std::ranges::all_of(name, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Entries the build published: the ones it stored, and the ones the
// remote tier brought.
uint64_t added_bytes(const fs::path& cache, const std::vector<Unit>& units) {
  std::set<std::string> names;
  for (const Unit& u : units)
    if ((u.cache_result == "stored" || u.from_remote) && is_entry_name(u.entry))
      names.insert(u.entry);
  uint64_t total = 0;
  for (const std::string& name : names) total += artifact_cache::entry_bytes(cache, name);
  return total;
}

// The toolchains' answers and the units the compiler driver failed on are
// asked or tried again when they are a month old.
void sweep_home(uint64_t now_ns) {
  artifact_cache::SweepOutcome swept;
  artifact_cache::remove_older(util::memo_dir("rustc"), now_ns, record_max_age_ns, swept);
  std::error_code ec;
  const fs::path drivers = util::kelv_home() / "cache" / "drivers";
  for (auto it = fs::directory_iterator(drivers, ec); !ec && it != fs::end(it); it.increment(ec))
    artifact_cache::remove_older(it->path() / "failed", now_ns, record_max_age_ns, swept);
}

}  // namespace

std::string trim_clause(size_t removed, uint64_t removed_bytes, uint64_t after, uint64_t limit) {
  return fmt::format("cache trimmed to {} of {}: {} least recently used {} removed ({})",
                     format_size(after), format_size(limit), removed,
                     removed == 1 ? "entry" : "entries", format_size(removed_bytes));
}

std::optional<std::string> look_after_cache(const Config& config, const std::vector<Unit>& units) {
  const fs::path& cache = config.artifact_cache;
  const uint64_t now = util::now_wall_ns();
  auto upkeep =
      artifact_cache::keep_in_bound(cache, config.max_cache_size, added_bytes(cache, units), now);
  if (!upkeep) {
    util::ui::say(
        util::ui::Level::warn,
        fmt::format("kelv: the artifact cache was not kept in bounds: {}", upkeep.error()));
    return std::nullopt;
  }
  if (upkeep->swept) sweep_home(now);
  if (!upkeep->trimmed || !upkeep->use.last_trim) return std::nullopt;
  const artifact_cache::TrimOutcome& trim = *upkeep->use.last_trim;
  return trim_clause(trim.removed, trim.removed_bytes, trim.after, config.max_cache_size);
}

}  // namespace kelv::tool
