#include "artifact_cache/size_bound.h"

#include <fmt/format.h>

#include <algorithm>

#include "artifact_cache/layout.h"
#include "util/file_lock.h"
#include "util/files.h"

namespace kelv::artifact_cache {
namespace {

// How long a kelv waits for another one's trim.
constexpr uint64_t lock_wait_ns = 120ull * 1000000000;

uint64_t number(const util::Json& json, const char* name) {
  const auto it = json.find(name);
  return it != json.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
}

void add_trim(CacheUse& use, const TrimOutcome& trim, uint64_t limit, uint64_t now_ns) {
  use.bytes = trim.after;
  use.horizon_ns = std::max(use.horizon_ns, trim.horizon_ns);
  use.last_trim = trim;
  use.last_trim_ns = now_ns;
  use.last_limit = limit;
}

void sweep(const fs::path& cache, CacheUse& use, uint64_t now_ns) {
  const SweepOutcome swept = sweep_records(cache, now_ns, use.horizon_ns);
  use.bytes = use.bytes > swept.removed_bytes ? use.bytes - swept.removed_bytes : 0;
  use.swept_at_ns = now_ns;
}

}  // namespace

CacheUse CacheUse::load(const fs::path& cache) {
  CacheUse use;
  const auto json = util::read_json(layout::use_state(cache));
  if (!json || !json->is_object()) return use;
  use.bytes = number(*json, "bytes");
  use.walked_at_ns = number(*json, "walked_at_ns");
  use.swept_at_ns = number(*json, "swept_at_ns");
  use.horizon_ns = number(*json, "horizon_ns");
  if (const auto it = json->find("last_trim"); it != json->end() && it->is_object()) {
    use.last_trim = TrimOutcome{.entries = number(*it, "entries"),
                                .removed = number(*it, "removed"),
                                .removed_bytes = number(*it, "removed_bytes"),
                                .before = number(*it, "before"),
                                .after = number(*it, "after"),
                                .horizon_ns = number(*it, "horizon_ns")};
    use.last_trim_ns = number(*it, "at_ns");
    use.last_limit = number(*it, "limit");
  }
  return use;
}

std::expected<void, std::string> CacheUse::save(const fs::path& cache) const {
  util::Json json = util::Json::object();
  json["bytes"] = bytes;
  json["walked_at_ns"] = walked_at_ns;
  json["swept_at_ns"] = swept_at_ns;
  json["horizon_ns"] = horizon_ns;
  if (last_trim) {
    json["last_trim"] = {{"at_ns", last_trim_ns},
                         {"limit", last_limit},
                         {"entries", last_trim->entries},
                         {"removed", last_trim->removed},
                         {"removed_bytes", last_trim->removed_bytes},
                         {"before", last_trim->before},
                         {"after", last_trim->after},
                         {"horizon_ns", last_trim->horizon_ns}};
  }
  const fs::path path = layout::use_state(cache);
  if (auto w = util::write_json_fast(path, json); !w)
    return std::unexpected(
        fmt::format("cannot write {}: {}", path.native(), util::os_error(w.error())));
  return {};
}

std::expected<Upkeep, std::string> keep_in_bound(const fs::path& cache, uint64_t bound,
                                                 uint64_t added_bytes, uint64_t now_ns) {
  auto lock = util::FileLock::acquire(layout::use_lock(cache), lock_wait_ns);
  if (!lock) return std::unexpected(lock.error());
  Upkeep upkeep{.use = CacheUse::load(cache)};
  CacheUse& use = upkeep.use;
  use.bytes += added_bytes;
  // The running count misses what builds that were killed stored, and the
  // records' growth: a daily walk puts it right.
  if (use.bytes > bound || now_ns > use.walked_at_ns + day_ns) {
    CacheWalk walk = walk_cache(cache);
    use.bytes = walk.total_bytes;
    use.walked_at_ns = now_ns;
    if (use.bytes > bound) {
      add_trim(use, trim_entries(cache, std::move(walk), trim_target(bound)), bound, now_ns);
      upkeep.trimmed = true;
    }
  }
  upkeep.swept = upkeep.trimmed || now_ns > use.swept_at_ns + day_ns;
  if (upkeep.swept) sweep(cache, use, now_ns);
  if (auto saved = use.save(cache); !saved) return std::unexpected(saved.error());
  return upkeep;
}

std::expected<TrimOutcome, std::string> trim_now(const fs::path& cache, uint64_t limit,
                                                 uint64_t now_ns) {
  auto lock = util::FileLock::acquire(layout::use_lock(cache), lock_wait_ns);
  if (!lock) return std::unexpected(lock.error());
  CacheUse use = CacheUse::load(cache);
  TrimOutcome trim = trim_entries(cache, walk_cache(cache), limit);
  add_trim(use, trim, limit, now_ns);
  use.walked_at_ns = now_ns;
  sweep(cache, use, now_ns);
  trim.after = use.bytes;
  if (auto saved = use.save(cache); !saved) return std::unexpected(saved.error());
  return trim;
}

}  // namespace kelv::artifact_cache
