#include "kelv/build_reports.h"

#include <fmt/format.h>

#include <algorithm>

#include "util/home.h"

namespace kelv::tool {
namespace {

std::string arg_value(const util::Json& args, std::string_view name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (!args[i].is_string()) continue;
    const std::string& a = args[i].get_ref<const std::string&>();
    if (a == name && i + 1 < args.size() && args[i + 1].is_string())
      return args[i + 1].get<std::string>();
    if (a.size() > name.size() && a.starts_with(name) && a[name.size()] == '=')
      return a.substr(name.size() + 1);
  }
  return "";
}

std::string extra_filename(const util::Json& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (!args[i].is_string()) continue;
    std::string v = args[i].get<std::string>();
    if (v == "-C" && i + 1 < args.size() && args[i + 1].is_string())
      v = args[i + 1].get<std::string>();
    else if (v.starts_with("-C"))
      v = v.substr(2);
    if (v.starts_with("extra-filename=")) return v.substr(15);
  }
  return "";
}

std::string text(const util::Json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

}  // namespace

std::vector<Unit> read_build(const std::filesystem::path& event_dir) {
  std::vector<std::pair<uint64_t, Unit>> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(event_dir, ec)) {
    if (e.path().extension() != ".json") continue;
    auto r = util::read_json(e.path());
    if (!r || !r->is_object()) continue;
    Unit u;
    u.kind = text(*r, "kind");
    if (auto it = r->find("args"); it != r->end() && it->is_array()) {
      // A build script's own probe of the compiler is no unit of the build.
      const bool scheduled = std::any_of(it->begin(), it->end(), [](const util::Json& a) {
        return a.is_string() && a.get_ref<const std::string&>().find("metadata=") != std::string::npos;
      });
      if (!scheduled) u.kind = "probe";
      u.crate = arg_value(*it, "--crate-name");
      u.unit_id = u.crate + extra_filename(*it) + "@" + arg_value(*it, "--out-dir");
    }
    // Build scripts all share one crate name: show whose they are.
    if (u.crate.starts_with("build_script_")) {
      if (auto env = r->find("env"); env != r->end() && env->is_object())
        if (const std::string pkg = text(*env, "pkg_name"); !pkg.empty()) u.crate += " (" + pkg + ")";
    }
    u.dur_ns = r->value("dur_ns", 0ull);
    if (auto it = r->find("exit_code"); it != r->end() && it->is_number_integer())
      u.exit_code = it->get<int>();
    if (auto it = r->find("cache"); it != r->end() && it->is_object()) {
      u.cache_result = text(*it, "result");
      u.cache_reason = it->contains("reason") ? text(*it, "reason") : text(*it, "not_stored");
    }
    u.driver = text(*r, "driver");
    u.driver_failure = r->contains("driver_failure") ? text(*r, "driver_failure") : "";
    if (r->contains("driver_failure") && u.driver_failure.empty()) u.driver_failure = "(not kept)";
    u.link = text(*r, "link");
    u.early_exit = r->value("early_exit", false);
    found.emplace_back(r->value("start_wall_ns", 0ull), std::move(u));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Unit> units;
  for (auto& [start, u] : found) units.push_back(std::move(u));
  return units;
}

Summary summarize(const std::vector<Unit>& units, const std::map<std::string, uint64_t>& times) {
  Summary s;
  std::map<std::string, size_t> reasons;
  for (const Unit& u : units) {
    if (u.kind != "compile") continue;
    ++s.units;
    if (!u.driver_failure.empty()) ++s.driver_failures;
    if (u.cache_result == "hit") {
      ++s.replayed;
      if (auto it = times.find(u.unit_id); it != times.end()) s.saved_ns += it->second;
      continue;
    }
    if (u.link == "relinked")
      ++s.relinked;
    else
      ++s.compiled;
    if (u.exit_code != 0) ++s.failed;
    if (u.cache_result != "stored" && !u.cache_reason.empty()) ++reasons[u.cache_reason];
  }
  s.not_cached.assign(reasons.begin(), reasons.end());
  std::stable_sort(s.not_cached.begin(), s.not_cached.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return s;
}

std::map<std::string, uint64_t> load_unit_times() {
  std::map<std::string, uint64_t> times;
  auto json = util::read_json(util::kelv_home() / "unit-times.json");
  if (!json || !json->is_object()) return times;
  for (const auto& [k, v] : json->items())
    if (v.is_number_unsigned()) times[k] = v.get<uint64_t>();
  return times;
}

void save_unit_times(const std::vector<Unit>& units, std::map<std::string, uint64_t> times) {
  bool changed = false;
  for (const Unit& u : units) {
    if (u.kind == "compile" && u.cache_result == "stored" && u.link != "relinked") {
      times[u.unit_id] = u.dur_ns;
      changed = true;
    }
  }
  if (!changed) return;
  util::Json json = util::Json::object();
  for (const auto& [k, v] : times) json[k] = v;
  (void)util::write_json_fast(util::kelv_home() / "unit-times.json", json);
}

std::string format_duration(uint64_t ns) {
  if (ns < 1000000000ull) return fmt::format("{} ms", ns / 1000000);
  return fmt::format("{:.1f} s", static_cast<double>(ns) / 1e9);
}

std::string summary_line(const Summary& s) {
  std::string line = fmt::format("{} units: {} compiled, {} replayed from the cache", s.units,
                                 s.compiled, s.replayed);
  if (s.relinked) line += fmt::format(", {} relinked", s.relinked);
  if (s.failed) line += fmt::format(", {} failed", s.failed);
  if (!s.not_cached.empty()) {
    size_t total = 0;
    for (const auto& [reason, n] : s.not_cached) total += n;
    line += fmt::format("; {} not cached (", total);
    for (size_t i = 0; i < s.not_cached.size() && i < 3; ++i)
      line += fmt::format("{}{}: {}", i ? ", " : "", s.not_cached[i].first, s.not_cached[i].second);
    line += ")";
  }
  if (s.replayed) line += fmt::format("; about {} saved", format_duration(s.saved_ns));
  if (s.driver_failures) line += fmt::format("; {} driver failures (see kelv report)", s.driver_failures);
  return line;
}

}  // namespace kelv::tool
