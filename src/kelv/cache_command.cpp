#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "artifact_cache/layout.h"
#include "artifact_cache/lookup.h"
#include "artifact_cache/remote_tier.h"
#include "artifact_cache/size_bound.h"
#include "kelv/build_reports.h"
#include "kelv/commands.h"
#include "kelv/config.h"
#include "util/clock.h"
#include "util/home.h"
#include "util/ui.h"

namespace kelv::tool {
namespace {

namespace fs = std::filesystem;
namespace layout = artifact_cache::layout;

size_t count_entries(const fs::path& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) ++n;
  return n;
}

// The remote tier: the server, whether units skip it after a failure, and
// what it did in the builds kelv keeps reports of.
void remote_stats(const Config& config) {
  if (config.remote_cache && !std::getenv("KELV_REMOTE_CACHE"))
    ::setenv("KELV_REMOTE_CACHE", config.remote_cache->c_str(), 1);
  auto remote = artifact_cache::Remote::from_env();
  if (!remote) {
    fmt::print("remote         not used: {}\n", remote.error());
  } else if (!*remote) {
    fmt::print("remote         none (set KELV_REMOTE_CACHE or remote_cache)\n");
  } else {
    fmt::print("remote         {}{}\n", (*remote)->server.display,
               (*remote)->read_only ? " (read-only)" : "");
    using artifact_cache::Direction;
    for (const auto& [direction, what] :
         {std::pair{Direction::read, "lookups"}, std::pair{Direction::write, "uploads"}})
      if (auto down =
              artifact_cache::recent_remote_failure(config.artifact_cache, **remote, direction))
        fmt::print("remote state   {} skipped: {}\n", what, *down);
  }
  Summary all;
  size_t builds = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(util::kelv_home() / "events", ec)) {
    if (!e.is_directory(ec)) continue;
    const Summary s = summarize(read_build(e.path()), {});
    if (!s.remote) continue;
    ++builds;
    all.remote = true;
    all.remote_hits += s.remote_hits;
    all.remote_uploads += s.remote_uploads;
    all.remote_errors += s.remote_errors;
    if (all.remote_error.empty()) all.remote_error = s.remote_error;
  }
  if (builds > 0)
    fmt::print("remote use     {} in the last {} builds with a remote\n", remote_clause(all),
               builds);
}

// The bound and what the last trim did, from use.json.
void bound_stats(const Config& config, uint64_t size) {
  const artifact_cache::CacheUse use = artifact_cache::CacheUse::load(config.artifact_cache);
  fmt::print("limit          {} ({:.0f}% used; max_cache_size in {})\n",
             format_size(config.max_cache_size),
             100.0 * static_cast<double>(size) /
                 static_cast<double>(std::max<uint64_t>(config.max_cache_size, 1)),
             Config::file().native());
  if (!use.last_trim) {
    fmt::print("last trim      none yet\n");
    return;
  }
  const artifact_cache::TrimOutcome& t = *use.last_trim;
  fmt::print("last trim      {}: {} of {} entries removed ({}), {} -> {} (limit {})\n",
             util::iso8601(use.last_trim_ns), t.removed, t.entries, format_size(t.removed_bytes),
             format_size(t.before), format_size(t.after), format_size(use.last_limit));
}

int stats(const Config& config) {
  const fs::path& cache = config.artifact_cache;
  const uint64_t size = artifact_cache::walk_cache(cache).total_bytes;
  fmt::print("cache          {}\n", cache.native());
  fmt::print("size           {}\n", format_size(size));
  bound_stats(config, size);
  fmt::print("entries        {}\n", count_entries(layout::entries(cache)));
  fmt::print("key records    {}\n", count_entries(layout::key_records(cache)));
  fmt::print("content memos  {}\n", count_entries(layout::content_memos(cache)));
  fmt::print("link records   {}\n", count_entries(layout::link_records(cache)));
  fmt::print("quick records  {}\n", count_entries(layout::quick_records(cache)));
  remote_stats(config);
  return 0;
}

int trim(const Config& config, uint64_t max_size) {
  auto trim = artifact_cache::trim_now(config.artifact_cache, max_size, util::now_wall_ns());
  if (!trim) return fail(trim.error());
  util::ui::say(trim->after <= max_size ? util::ui::Level::ok : util::ui::Level::note,
                fmt::format("removed {} of {} entries: cache {} -> {} (limit {})", trim->removed,
                            trim->entries, format_size(trim->before), format_size(trim->after),
                            format_size(max_size)));
  return 0;
}

}  // namespace

int cache_command(std::span<const std::string> args) {
  constexpr std::string_view usage = "usage: kelv cache stats | kelv cache trim --max-size SIZE";
  auto config = Config::load();
  if (!config) return fail(config.error());
  if (args.size() == 1 && args[0] == "stats") return stats(*config);
  if (!args.empty() && args[0] == "trim") {
    std::optional<std::string> size_text;
    if (args.size() == 3 && args[1] == "--max-size") size_text = args[2];
    if (args.size() == 2 && args[1].starts_with("--max-size=")) size_text = args[1].substr(11);
    if (!size_text) return fail(fmt::format("{}", usage));
    const auto size = parse_size(*size_text);
    if (!size) return fail(fmt::format("`{}` is not a size (examples: 500M, 2G)", *size_text));
    return trim(*config, *size);
  }
  return fail(fmt::format("{}", usage));
}

}  // namespace kelv::tool
