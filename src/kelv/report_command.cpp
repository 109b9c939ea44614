#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <expected>

#include "kelv/build_reports.h"
#include "kelv/commands.h"
#include "util/clock.h"
#include "util/home.h"

namespace kelv::tool {
namespace {

namespace fs = std::filesystem;

struct Options {
  bool json = false;
  std::optional<fs::path> dir;
};

std::expected<Options, std::string> read_options(std::span<const std::string> args) {
  Options options;
  for (const std::string& a : args) {
    if (a == "--json")
      options.json = true;
    else if (!a.starts_with("-") && !options.dir)
      options.dir = a;
    else
      return std::unexpected(
          fmt::format("unexpected argument `{}`; usage: kelv report [DIR] [--json]", a));
  }
  return options;
}

fs::path events_dir() {
  return util::kelv_home() / "events";
}

std::vector<BuildRecord> all_builds() {
  std::vector<BuildRecord> builds;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(events_dir(), ec))
    if (e.is_directory(ec)) builds.push_back(read_build_record(e.path()));
  return builds;
}

// The build that finished last; builds without a record (still running, or
// left by an older kelv) only when no build has one.
std::optional<BuildRecord> last_build(const std::vector<BuildRecord>& builds) {
  const auto later = [](const BuildRecord& a, const BuildRecord& b) {
    if (a.recorded != b.recorded) return b.recorded;
    if (!a.recorded) return a.dir < b.dir;  // named by start time
    return a.end_ns != b.end_ns ? a.end_ns < b.end_ns : a.dir < b.dir;
  };
  const auto it = std::max_element(builds.begin(), builds.end(), later);
  if (it == builds.end()) return std::nullopt;
  return *it;
}

bool same_dir(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

// Other builds of kelv's event directory that ran while this one did.
std::vector<BuildRecord> concurrent(const BuildRecord& build,
                                    const std::vector<BuildRecord>& builds) {
  std::vector<BuildRecord> others;
  if (!same_dir(build.dir.parent_path(), events_dir())) return others;
  for (const BuildRecord& b : builds)
    if (b.start_ns <= build.end_ns && build.start_ns <= b.end_ns && !same_dir(b.dir, build.dir))
      others.push_back(b);
  return others;
}

struct Build {
  BuildRecord record;
  std::vector<BuildRecord> others;  // ran at the same time
  std::vector<Unit> units;          // compiler runs scheduled by Cargo
  size_t probes = 0;
};

std::expected<Build, std::pair<std::string, int>> find_build(const Options& options) {
  const std::vector<BuildRecord> builds = all_builds();
  const auto record =
      options.dir ? std::optional(read_build_record(*options.dir)) : last_build(builds);
  if (!record)
    return std::unexpected(std::pair("no build to report on; run `kelv cargo build` first", 1));
  if (!fs::is_directory(record->dir))
    return std::unexpected(
        std::pair(fmt::format("{} is not a directory of build reports", record->dir.native()), 1));
  Build build{.record = *record, .others = concurrent(*record, builds)};
  for (Unit& u : read_build(record->dir)) {
    if (u.kind == "compile")
      build.units.push_back(std::move(u));
    else
      ++build.probes;
  }
  return build;
}

std::string cache_text(const Unit& u) {
  std::string text = u.cache_result;
  if (u.cache_result != "hit" && u.cache_result != "stored" && !u.cache_reason.empty())
    text += ": " + u.cache_reason;
  if (u.miss)
    text += "; missed: " + u.miss->category + (u.miss->detail.empty() ? "" : " " + u.miss->detail);
  if (u.from_remote) text += " (from the remote)";
  const bool remote_worth_telling = !u.from_remote && u.remote_lookup != "local" &&
                                    (!u.remote_lookup.empty() || !u.remote_upload.empty());
  if (remote_worth_telling) {
    text += "; remote: " + (u.remote_lookup.empty() ? std::string("-") : u.remote_lookup);
    if (!u.remote_reason.empty()) text += " (" + u.remote_reason + ")";
    if (!u.remote_upload.empty()) text += ", upload " + u.remote_upload;
    if (!u.remote_upload_reason.empty()) text += " (" + u.remote_upload_reason + ")";
  }
  return text;
}

std::string road_of(const Unit& u) {
  if (!u.driver_failure.empty()) return "fallback";
  if (u.link == "relinked") return "relinked";
  if (!u.driver.empty()) return "driver";
  if (u.cache_result == "hit") return "cache";
  return "rustc";
}

util::Json text_or_null(const std::string& text) {
  return text.empty() ? util::Json(nullptr) : util::Json(text);
}

util::Json unit_json(const Unit& u) {
  util::Json j = util::Json::object();
  j["crate"] = u.crate;
  j["unit"] = u.unit_id;
  j["dur_ns"] = u.dur_ns;
  j["exit_code"] = u.exit_code ? util::Json(*u.exit_code) : util::Json(nullptr);
  j["cache"] = u.cache_result;
  j["reason"] = text_or_null(u.cache_reason);
  j["category"] = text_or_null(u.cache_category);
  j["miss"] = u.miss ? util::Json({{"category", u.miss->category}, {"detail", u.miss->detail}})
                     : util::Json(nullptr);
  j["driver"] = text_or_null(u.driver);
  j["driver_failure"] = text_or_null(u.driver_failure);
  j["link"] = text_or_null(u.link);
  j["path_bound"] = text_or_null(u.path_bound);
  if (!u.remote_lookup.empty() || !u.remote_upload.empty())
    j["remote"] = {{"lookup", text_or_null(u.remote_lookup)},
                   {"upload", text_or_null(u.remote_upload)},
                   {"reason", text_or_null(u.remote_reason)},
                   {"upload_reason", text_or_null(u.remote_upload_reason)},
                   {"from_remote", u.from_remote}};
  return j;
}

util::Json groups_json(const std::vector<Group>& groups) {
  util::Json out = util::Json::array();
  for (const Group& g : groups) {
    util::Json details = util::Json::array();
    for (const auto& [detail, n] : g.details) details.push_back({{"detail", detail}, {"count", n}});
    out.push_back({{"category", g.name}, {"count", g.count}, {"details", details}});
  }
  return out;
}

util::Json summary_json(const Summary& s) {
  return {{"units", s.runs},
          {"build_scripts", s.build_scripts},
          {"compiled", s.compiled},
          {"replayed", s.replayed},
          {"relinked", s.relinked},
          {"failed", s.failed},
          {"driver_failures", s.driver_failures},
          {"misses", groups_json(s.misses)},
          {"not_cached", groups_json(s.not_cached)},
          {"saved_ns", s.estimated ? util::Json(s.saved_ns) : util::Json(nullptr)},
          {"remote", s.remote ? util::Json({{"hits", s.remote_hits},
                                            {"uploads", s.remote_uploads},
                                            {"upload_failures", s.upload_failures},
                                            {"still_queued", s.uploads_left},
                                            {"errors", s.remote_errors}})
                              : util::Json(nullptr)}};
}

void print_json(const Build& build, const Summary& summary) {
  util::Json out = util::Json::object();
  out["build"] = build.record.dir.native();
  out["command"] = build.record.recorded ? util::Json(build.record.args) : util::Json(nullptr);
  out["cwd"] = text_or_null(build.record.cwd);
  out["concurrent"] = util::Json::array();
  for (const BuildRecord& b : build.others) out["concurrent"].push_back(b.dir.native());
  out["units"] = util::Json::array();
  for (const Unit& u : build.units) out["units"].push_back(unit_json(u));
  out["probes"] = build.probes;
  out["summary"] = summary_json(summary);
  std::puts(out.dump(2).c_str());
}

void print_header(const Build& build) {
  fmt::print("build {}\n", build.record.dir.native());
  if (build.record.recorded)
    fmt::print("  {}, started {}, took {}\n", describe(build.record),
               util::iso8601(build.record.start_ns),
               format_duration(build.record.end_ns - build.record.start_ns));
  if (build.others.empty()) return;
  fmt::print("  {} other {} at the same time (`kelv report DIR` shows one):\n", build.others.size(),
             build.others.size() == 1 ? "build ran" : "builds ran");
  for (const BuildRecord& b : build.others) {
    const std::string what = describe(b);
    fmt::print("    {}{}\n", b.dir.native(),
               what.empty() ? " (still running, or not run by kelv cargo)" : ": " + what);
  }
}

// Columns count characters, not bytes.
size_t width_of(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string padded(const std::string& text, size_t width) {
  const size_t w = width_of(text);
  return w >= width ? text : text + std::string(width - w, ' ');
}

void print_table(const std::vector<Unit>& units) {
  std::vector<const Unit*> by_time;
  size_t width = width_of("unit");
  for (const Unit& u : units) {
    by_time.push_back(&u);
    width = std::max(width, width_of(u.crate));
  }
  std::stable_sort(by_time.begin(), by_time.end(),
                   [](const Unit* a, const Unit* b) { return a->dur_ns > b->dur_ns; });
  fmt::print("\n{} {:>10}  {:<10} {}\n", padded("unit", width), "time", "road", "cache");
  for (const Unit* u : by_time)
    fmt::print("{} {:>10}  {:<10} {}\n", padded(u->crate, width), format_duration(u->dur_ns),
               road_of(*u), cache_text(*u));
}

// "src/lib.rs (2), build.rs and 3 more"
std::string details_text(const Group& g) {
  std::string text;
  for (size_t i = 0; i < g.details.size() && i < 3; ++i) {
    const auto& [detail, n] = g.details[i];
    text += fmt::format("{}{}{}", i ? ", " : "", detail, n > 1 ? fmt::format(" ({})", n) : "");
  }
  if (g.details.size() > 3) text += fmt::format(" and {} more", g.details.size() - 3);
  return text;
}

void print_misses(const std::vector<Group>& misses) {
  if (misses.empty()) return;
  fmt::print("\ncompiled after a cache miss, by cause:\n");
  for (const Group& g : misses) {
    const std::string details = details_text(g);
    fmt::print("  {:>4}  {}{}\n", g.count, miss_label(g.name),
               details.empty() ? "" : ": " + details);
  }
}

void print_not_cached(const std::vector<Group>& groups) {
  if (groups.empty()) return;
  fmt::print("\nnot cached:\n");
  for (const Group& g : groups) {
    const bool plain = g.details.size() == 1 && g.details.front().first == g.name;
    fmt::print("  {:>4}  {}{}\n", g.count, g.name, plain ? "" : ": " + details_text(g));
  }
}

// One line per unit whose `member` says something, under `title`.
void print_unit_notes(const std::vector<Unit>& units, const char* title,
                      std::string Unit::*member) {
  bool header = false;
  for (const Unit& u : units) {
    if ((u.*member).empty()) continue;
    if (!header) fmt::print("\n{}\n", title);
    header = true;
    fmt::print("  {}: {}\n", u.crate, u.*member);
  }
}

void print_text(const Build& build, const Summary& summary) {
  print_header(build);
  fmt::print("{}\n", summary_line(summary));
  print_table(build.units);
  print_misses(summary.misses);
  print_not_cached(summary.not_cached);
  print_unit_notes(build.units, "driver failures:", &Unit::driver_failure);
  // Units whose outputs name their checkout's directories despite the
  // remaps: their entries serve no other checkout.
  print_unit_notes(build.units, "stored bound to this checkout's paths:", &Unit::path_bound);
}

}  // namespace

int report_command(std::span<const std::string> args) {
  const auto options = read_options(args);
  if (!options) return fail(options.error());
  const auto build = find_build(*options);
  if (!build) return fail(build.error().first, build.error().second);
  Summary summary = summarize(build->units, load_unit_times());
  if (const auto uploads = Uploads::read(build->record.dir)) uploads->add_to(summary);
  if (options->json)
    print_json(*build, summary);
  else
    print_text(*build, summary);
  return 0;
}

}  // namespace kelv::tool
