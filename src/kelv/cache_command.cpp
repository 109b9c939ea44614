#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "artifact_cache/layout.h"
#include "artifact_cache/lookup.h"
#include "artifact_cache/remote_tier.h"
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

// Bytes of the regular files below `dir`, each file (inode) counted once.
uint64_t tree_size(const fs::path& dir, std::set<std::pair<dev_t, ino_t>>& seen) {
  uint64_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (seen.emplace(st.st_dev, st.st_ino).second) total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

size_t count_entries(const fs::path& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) ++n;
  return n;
}

struct Entry {
  fs::path dir;
  uint64_t last_used_ns = 0;  // the lookup touches entry.json on every hit
  uint64_t bytes = 0;
};

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

int stats(const Config& config) {
  const fs::path& cache = config.artifact_cache;
  std::set<std::pair<dev_t, ino_t>> seen;
  fmt::print("cache          {}\n", cache.native());
  fmt::print("size           {}\n", format_size(tree_size(cache, seen)));
  fmt::print("entries        {}\n", count_entries(layout::entries(cache)));
  fmt::print("key records    {}\n", count_entries(layout::key_records(cache)));
  fmt::print("content memos  {}\n", count_entries(layout::content_memos(cache)));
  fmt::print("link records   {}\n", count_entries(layout::link_records(cache)));
  fmt::print("quick records  {}\n", count_entries(layout::quick_records(cache)));
  remote_stats(config);
  return 0;
}

int trim(const Config& config, uint64_t max_size) {
  const fs::path& cache = config.artifact_cache;
  std::error_code ec;
  // What earlier discards could not finish.
  for (auto it = fs::directory_iterator(layout::temporary(cache), ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->path().filename().native().starts_with(layout::discard_prefix)) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
  std::set<std::pair<dev_t, ino_t>> seen;
  uint64_t total = tree_size(cache, seen);
  const uint64_t before = total;

  std::vector<Entry> entries;
  for (auto it = fs::directory_iterator(layout::entries(cache), ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    Entry e{it->path()};
    struct stat st;
    if (::stat((e.dir / layout::entry_record_file).c_str(), &st) == 0 ||
        ::stat(e.dir.c_str(), &st) == 0)
      e.last_used_ns = util::mtime_ns(st);
    std::set<std::pair<dev_t, ino_t>> own;
    e.bytes = tree_size(e.dir, own);
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.last_used_ns < b.last_used_ns; });
  size_t removed = 0;
  for (const Entry& e : entries) {
    if (total <= max_size) break;
    // Moved out of e/ in one rename first, so that no build sees it half gone;
    // entries still being assembled live in tmp/ and are never touched.
    if (!artifact_cache::discard(cache, e.dir)) continue;
    total = total > e.bytes ? total - e.bytes : 0;
    ++removed;
  }
  seen.clear();
  total = tree_size(cache, seen);
  util::ui::say(
      total <= max_size ? util::ui::Level::ok : util::ui::Level::note,
      fmt::format("removed {} of {} entries: cache {} -> {} (limit {})", removed, entries.size(),
                  format_size(before), format_size(total), format_size(max_size)));
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
