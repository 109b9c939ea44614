#include <fmt/format.h>

#include <algorithm>
#include <cstdio>

#include "kelv/build_reports.h"
#include "kelv/commands.h"
#include "util/home.h"

namespace kelv::tool {
namespace {

std::optional<std::filesystem::path> latest_build() {
  std::optional<std::filesystem::path> latest;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(util::kelv_home() / "events", ec))
    if (e.is_directory(ec) && (!latest || e.path() > *latest)) latest = e.path();
  return latest;
}

std::string cache_text(const Unit& u) {
  if (u.cache_result == "hit" || u.cache_result == "stored" || u.cache_reason.empty())
    return u.cache_result;
  return u.cache_result + ": " + u.cache_reason;
}

util::Json unit_json(const Unit& u) {
  util::Json j = util::Json::object();
  j["crate"] = u.crate;
  j["unit"] = u.unit_id;
  j["dur_ns"] = u.dur_ns;
  j["exit_code"] = u.exit_code ? util::Json(*u.exit_code) : util::Json(nullptr);
  j["cache"] = u.cache_result;
  j["reason"] = u.cache_reason.empty() ? util::Json(nullptr) : util::Json(u.cache_reason);
  j["driver"] = u.driver.empty() ? util::Json(nullptr) : util::Json(u.driver);
  j["driver_failure"] = u.driver_failure.empty() ? util::Json(nullptr) : util::Json(u.driver_failure);
  j["link"] = u.link.empty() ? util::Json(nullptr) : util::Json(u.link);
  return j;
}

}  // namespace

int report_command(std::span<const std::string> args) {
  bool json = false;
  std::optional<std::filesystem::path> dir;
  for (const std::string& a : args) {
    if (a == "--json")
      json = true;
    else if (!a.starts_with("-") && !dir)
      dir = a;
    else
      return fail(fmt::format("unexpected argument `{}`; usage: kelv report [DIR] [--json]", a));
  }
  if (!dir) dir = latest_build();
  if (!dir) return fail("no build to report on; run `kelv cargo build` first", 1);
  if (!std::filesystem::is_directory(*dir))
    return fail(fmt::format("{} is not a directory of build reports", dir->native()), 1);

  std::vector<Unit> units;
  size_t probes = 0;
  for (Unit& u : read_build(*dir)) {
    if (u.kind == "compile")
      units.push_back(std::move(u));
    else
      ++probes;
  }
  const Summary summary = summarize(units, load_unit_times());

  if (json) {
    util::Json out = util::Json::object();
    out["build"] = dir->native();
    out["units"] = util::Json::array();
    for (const Unit& u : units) out["units"].push_back(unit_json(u));
    out["probes"] = probes;
    out["summary"] = {{"units", summary.units},         {"compiled", summary.compiled},
                      {"replayed", summary.replayed},   {"relinked", summary.relinked},
                      {"failed", summary.failed},       {"driver_failures", summary.driver_failures}};
    std::puts(out.dump(2).c_str());
    return 0;
  }

  fmt::print("build {}\n{}\n", dir->native(), summary_line(summary));
  std::vector<const Unit*> by_time;
  for (const Unit& u : units) by_time.push_back(&u);
  std::stable_sort(by_time.begin(), by_time.end(),
                   [](const Unit* a, const Unit* b) { return a->dur_ns > b->dur_ns; });
  fmt::print("\n{:<32} {:>10}  {:<10} {}\n", "unit", "time", "road", "cache");
  for (const Unit* u : by_time) {
    const std::string road = !u->driver_failure.empty() ? "fallback"
                             : u->link == "relinked"     ? "relinked"
                             : !u->driver.empty()        ? "driver"
                             : u->cache_result == "hit"  ? "cache"
                                                         : "rustc";
    fmt::print("{:<32} {:>10}  {:<10} {}\n", u->crate, format_duration(u->dur_ns), road,
               cache_text(*u));
  }
  if (!summary.not_cached.empty()) {
    fmt::print("\nnot cached:\n");
    for (const auto& [reason, n] : summary.not_cached) fmt::print("  {:>4}  {}\n", n, reason);
  }
  bool header = false;
  for (const Unit& u : units) {
    if (u.driver_failure.empty()) continue;
    if (!header) fmt::print("\ndriver failures:\n");
    header = true;
    fmt::print("  {}: {}\n", u.crate, u.driver_failure);
  }
  return 0;
}

}  // namespace kelv::tool
