#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "artifact_cache/layout.h"
#include "artifact_cache/lookup.h"
#include "artifact_cache/remote_tier.h"
#include "artifact_cache/size_bound.h"
#include "artifact_cache/upload_queue.h"
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
    Summary s = summarize(read_build(e.path()), {});
    if (const auto uploads = Uploads::read(e.path())) uploads->add_to(s);
    if (!s.remote) continue;
    ++builds;
    all.remote = true;
    all.remote_hits += s.remote_hits;
    all.remote_uploads += s.remote_uploads;
    all.upload_failures += s.upload_failures;
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

// Sends what builds queued and did not send (an interrupted build's
// uploads, or those left after a failure of the server).
int push(const Config& config) {
  if (config.remote_cache && !std::getenv("KELV_REMOTE_CACHE"))
    ::setenv("KELV_REMOTE_CACHE", config.remote_cache->c_str(), 1);
  auto remote = artifact_cache::Remote::from_env();
  if (!remote) return fail(fmt::format("the remote cache is not usable: {}", remote.error()));
  if (!*remote) return fail("no remote cache to push to: set KELV_REMOTE_CACHE or remote_cache");
  if ((*remote)->read_only) return fail("the remote cache is read-only (KELV_REMOTE_CACHE_MODE)");
  const std::atomic<bool> building{false};
  const auto t = artifact_cache::send_queue(config.artifact_cache, **remote, building);
  std::string text = fmt::format("{}: {} uploaded, {} there already, {} failed",
                                 (*remote)->server.display, t.uploaded, t.present, t.failed);
  if (t.left) text += fmt::format(", {} still queued", t.left);
  if (!t.first_failure.empty()) text += fmt::format(" ({})", t.first_failure);
  const bool whole = t.failed == 0 && t.left == 0;
  util::ui::say(whole ? util::ui::Level::ok : util::ui::Level::note, text);
  return whole ? 0 : 1;
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
  constexpr std::string_view usage =
      "usage: kelv cache stats | kelv cache trim --max-size SIZE | kelv cache push";
  auto config = Config::load();
  if (!config) return fail(config.error());
  if (args.size() == 1 && args[0] == "stats") return stats(*config);
  if (args.size() == 1 && args[0] == "push") return push(*config);
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
