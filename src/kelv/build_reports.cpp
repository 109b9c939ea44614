#include "kelv/build_reports.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <set>

#include "remote/scrub.h"
#include "util/clock.h"
#include "util/home.h"

namespace kelv::tool {
namespace {

namespace fs = std::filesystem;

// Written by `kelv cargo` beside the reports; not a report itself.
constexpr const char* record_name = "kelv-build.json";

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

std::optional<uint64_t> number(const util::Json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<uint64_t>();
}

const util::Json* member(const util::Json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_object() ? &*it : nullptr;
}

// Reports are named "<start>-<pid>.json"; other files are not.
bool is_report(const fs::path& path) {
  const std::string name = path.filename().string();
  return path.extension() == ".json" && !name.empty() && name[0] >= '0' && name[0] <= '9';
}

// A build script's own probe of the compiler carries no "-C metadata=".
bool scheduled_by_cargo(const util::Json& args) {
  return std::any_of(args.begin(), args.end(), [](const util::Json& a) {
    return a.is_string() && a.get_ref<const std::string&>().find("metadata=") != std::string::npos;
  });
}

void read_args(Unit& u, const util::Json& report) {
  const auto it = report.find("args");
  if (it == report.end() || !it->is_array()) return;
  if (!scheduled_by_cargo(*it)) u.kind = "probe";
  u.crate = arg_value(*it, "--crate-name");
  const std::string extra = extra_filename(*it);
  u.unit_id = extra.empty() ? u.crate + "@" + arg_value(*it, "--out-dir") : u.crate + extra;
  // Build scripts all share one crate name: show whose they are.
  u.build_script = u.crate.starts_with("build_script_");
  if (!u.build_script) return;
  if (const util::Json* env = member(report, "env"))
    if (const std::string pkg = text(*env, "pkg_name"); !pkg.empty()) u.crate += " (" + pkg + ")";
}

void read_cache(Unit& u, const util::Json& cache) {
  u.cache_result = text(cache, "result");
  if (cache.contains("reason")) {
    u.cache_reason = text(cache, "reason");
    u.cache_category = text(cache, "category");
  } else {
    u.cache_reason = text(cache, "not_stored");
    u.cache_category = text(cache, "not_stored_category");
  }
  if (const util::Json* miss = member(cache, "miss"); miss && !text(*miss, "category").empty())
    u.miss = Miss{text(*miss, "category"), text(*miss, "detail")};
  u.stored_compile_ns = number(cache, "stored_compile_ns");
  u.from_remote = text(cache, "source") == "remote";
  u.key = text(cache, "key");
  u.entry = text(cache, "entry");
  u.path_bound = text(cache, "path_bound");
  if (const util::Json* remote = member(cache, "remote")) {
    u.remote_lookup = text(*remote, "lookup");
    u.remote_upload = text(*remote, "upload");
    // What a server said reaches these through the reports: shown only as
    // printable text of a bounded length.
    u.remote_reason = remote::printable(text(*remote, "reason"), {});
    u.remote_upload_reason = remote::printable(text(*remote, "upload_reason"), {});
    if (u.remote_lookup.empty() && u.remote_upload.empty()) u.remote_lookup = "local";
  }
}

void read_run(Unit& u, const util::Json& report) {
  u.dur_ns = number(report, "dur_ns").value_or(0);
  if (auto it = report.find("exit_code"); it != report.end() && it->is_number_integer())
    u.exit_code = it->get<int>();
  if (const util::Json* usage = member(report, "rusage")) {
    const auto user = number(*usage, "user_ns"), sys = number(*usage, "sys_ns");
    if (user && sys) u.cpu_ns = *user + *sys;
  }
  u.driver = text(report, "driver");
  if (report.contains("driver_failure")) {
    u.driver_failure = text(report, "driver_failure");
    if (u.driver_failure.empty()) u.driver_failure = "(not kept)";
  }
  u.link = text(report, "link");
  u.early_exit = report.value("early_exit", false);
}

Unit read_unit(const util::Json& report) {
  Unit u;
  u.kind = text(report, "kind");
  read_args(u, report);
  read_run(u, report);
  if (const util::Json* cache = member(report, "cache")) read_cache(u, *cache);
  return u;
}

// Names counted, in order of first appearance, then the most frequent first.
std::vector<std::pair<std::string, size_t>> ranked(const std::vector<std::string>& names) {
  std::vector<std::pair<std::string, size_t>> out;
  for (const std::string& name : names) {
    auto it = std::find_if(out.begin(), out.end(), [&](const auto& p) { return p.first == name; });
    if (it == out.end())
      out.emplace_back(name, 1);
    else
      ++it->second;
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return out;
}

// Groups (name, detail) pairs by name; empty details are not listed.
std::vector<Group> grouped(const std::vector<std::pair<std::string, std::string>>& items) {
  std::vector<std::string> names;
  for (const auto& item : items) names.push_back(item.first);
  std::vector<Group> groups;
  for (auto& [name, count] : ranked(names)) {
    std::vector<std::string> details;
    for (const auto& [n, detail] : items)
      if (n == name && !detail.empty()) details.push_back(detail);
    groups.push_back(Group{name, count, ranked(details)});
  }
  return groups;
}

enum class Outcome { replayed, failed, relinked, compiled };

Outcome outcome_of(const Unit& u) {
  if (u.cache_result == "hit") return Outcome::replayed;
  if (u.exit_code != 0) return Outcome::failed;
  if (u.link == "relinked") return Outcome::relinked;
  return Outcome::compiled;
}

// What compiling a replayed unit took when its entry was stored.
std::optional<uint64_t> compile_time(const Unit& u, const UnitTimes& times) {
  if (u.stored_compile_ns) return u.stored_compile_ns;
  if (auto it = times.find(u.unit_id); it != times.end()) return it->second;
  return std::nullopt;
}

void count_replay(Summary& s, const Unit& u, const UnitTimes& times) {
  ++s.replayed;
  const auto took = compile_time(u, times);
  if (!took) return;
  ++s.estimated;
  if (*took > u.dur_ns) s.saved_ns += *took - u.dur_ns;
}

void count_outcome(Summary& s, const Unit& u, const UnitTimes& times) {
  switch (outcome_of(u)) {
    case Outcome::replayed:
      return count_replay(s, u, times);
    case Outcome::failed:
      ++s.failed;
      return;
    case Outcome::relinked:
      ++s.relinked;
      return;
    case Outcome::compiled:
      ++s.compiled;
      return;
  }
}

// Whether the unit was compiled and is left out of the cache for a reason
// worth telling (a failed compilation or a driver failure is told already).
bool not_cached(const Unit& u) {
  return u.cache_result != "hit" && u.cache_result != "stored" && !u.cache_reason.empty() &&
         u.driver_failure.empty() && outcome_of(u) != Outcome::failed;
}

std::string plural(size_t n, std::string_view one, std::string_view many) {
  return fmt::format("{} {}", n, n == 1 ? one : many);
}

std::string counted_runs(const Summary& s) {
  std::string text = plural(s.runs, "compiler run", "compiler runs");
  if (s.build_scripts == 1 && s.runs == 1) return text + " (a build script)";
  if (s.build_scripts == 1) return text + ", 1 of them a build script";
  if (s.build_scripts > 1) text += fmt::format(", {} of them build scripts", s.build_scripts);
  return text;
}

std::string outcomes(const Summary& s) {
  std::vector<std::string> parts;
  if (s.compiled) parts.push_back(fmt::format("{} compiled", s.compiled));
  if (s.replayed) parts.push_back(fmt::format("{} replayed from the cache", s.replayed));
  if (s.relinked) parts.push_back(fmt::format("{} relinked", s.relinked));
  if (s.failed) parts.push_back(fmt::format("{} failed", s.failed));
  return fmt::format("{}", fmt::join(parts, ", "));
}

size_t total(const std::vector<Group>& groups) {
  size_t n = 0;
  for (const Group& g : groups) n += g.count;
  return n;
}

// "3 cache misses, 2 of them: an input changed (src/lib.rs)"
std::string misses_clause(const std::vector<Group>& misses) {
  const size_t all = total(misses);
  const Group& top = misses.front();
  std::string text = plural(all, "cache miss", "cache misses");
  if (top.count < all) text += fmt::format(", {} of them", top.count);
  text += ": " + miss_label(top.name);
  if (!top.details.empty() && top.name != "damaged") text += " (" + top.details.front().first + ")";
  return text;
}

std::string not_cached_clause(const std::vector<Group>& groups) {
  std::string text = fmt::format("{} not cached (", total(groups));
  for (size_t i = 0; i < groups.size() && i < 3; ++i) {
    const Group& g = groups[i];
    const std::string& label = g.details.size() == 1 ? g.details.front().first : g.name;
    text += fmt::format("{}{}: {}", i ? ", " : "", label, g.count);
  }
  return text + ")";
}

std::string saved_clause(const Summary& s) {
  // A sum over units that Cargo runs side by side: time the compiler did
  // not spend, not time the user waited.
  const std::string saved =
      fmt::format("about {} of compiler time saved", format_duration(s.saved_ns));
  if (s.estimated == s.replayed) return saved;
  return fmt::format("{} (estimated for {} of the {} replayed)", saved, s.estimated, s.replayed);
}

// Start time from a build directory's name "<start>-<pid>"; 0 when not so named.
uint64_t start_from_name(const fs::path& dir) {
  const std::string name = dir.filename().string();
  uint64_t start = 0;
  std::from_chars(name.data(), name.data() + name.size(), start);
  return start;
}

uint64_t newest_mtime(const fs::path& dir) {
  uint64_t newest = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    struct stat st;
    if (::lstat(e.path().c_str(), &st) == 0) newest = std::max(newest, util::mtime_ns(st));
  }
  return newest;
}

std::string shell_word(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n'\"\\$`") == std::string::npos) return arg;
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::vector<Unit> read_build(const fs::path& event_dir) {
  std::vector<std::pair<uint64_t, Unit>> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(event_dir, ec)) {
    if (!is_report(e.path())) continue;
    auto r = util::read_json(e.path());
    if (!r || !r->is_object()) continue;
    found.emplace_back(number(*r, "start_wall_ns").value_or(0), read_unit(*r));
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Unit> units;
  for (auto& [start, u] : found) units.push_back(std::move(u));
  return units;
}

// What the remote tier did for the unit, added to the build's counts.
void count_remote(Summary& s, const Unit& u) {
  if (u.remote_lookup.empty() && u.remote_upload.empty()) return;
  s.remote = true;
  if (u.from_remote) ++s.remote_hits;
  if (u.remote_upload == "uploaded") ++s.remote_uploads;
  const bool error =
      u.remote_lookup == "failed" || u.remote_lookup == "damaged" || u.remote_upload == "failed";
  if (!error) return;
  ++s.remote_errors;
  const bool lookup_error = u.remote_lookup == "failed" || u.remote_lookup == "damaged";
  if (s.remote_error.empty())
    s.remote_error = lookup_error ? u.remote_reason : u.remote_upload_reason;
}

Summary summarize(const std::vector<Unit>& units, const UnitTimes& times) {
  Summary s;
  std::vector<std::pair<std::string, std::string>> misses, reasons;
  for (const Unit& u : units) {
    if (u.kind != "compile") continue;
    ++s.runs;
    count_remote(s, u);
    if (u.build_script) ++s.build_scripts;
    if (!u.driver_failure.empty()) ++s.driver_failures;
    count_outcome(s, u, times);
    if (u.miss && outcome_of(u) != Outcome::failed)
      misses.emplace_back(u.miss->category, u.miss->detail);
    if (not_cached(u))
      reasons.emplace_back(u.cache_category.empty() ? u.cache_reason : u.cache_category,
                           u.cache_reason);
  }
  s.misses = grouped(misses);
  s.not_cached = grouped(reasons);
  return s;
}

UnitTimes load_unit_times() {
  UnitTimes times;
  auto json = util::read_json(util::kelv_home() / "unit-times.json");
  if (!json || !json->is_object()) return times;
  for (const auto& [k, v] : json->items())
    if (v.is_number_unsigned()) times[k] = v.get<uint64_t>();
  return times;
}

void save_unit_times(const std::vector<Unit>& units, UnitTimes times) {
  bool changed = false;
  for (const Unit& u : units) {
    if (u.kind != "compile" || u.cache_result != "stored" || outcome_of(u) != Outcome::compiled)
      continue;
    // A build that competes for the machine stretches the elapsed time; the
    // compiler's own CPU time stretches much less.
    times[u.unit_id] = u.cpu_ns ? std::min(u.dur_ns, *u.cpu_ns) : u.dur_ns;
    changed = true;
  }
  if (!changed) return;
  // Bounded: past the cap, units this build did not store go first.
  constexpr size_t kept_units = 20000;
  std::set<std::string_view> stored_now;
  for (const Unit& u : units)
    if (u.cache_result == "stored") stored_now.insert(u.unit_id);
  for (auto it = times.begin(); times.size() > kept_units && it != times.end();)
    it = stored_now.contains(it->first) ? std::next(it) : times.erase(it);
  util::Json json = util::Json::object();
  for (const auto& [k, v] : times) json[k] = v;
  (void)util::write_json_fast(util::kelv_home() / "unit-times.json", json);
}

std::string format_duration(uint64_t ns) {
  if (ns < 1000000000ull) return fmt::format("{} ms", ns / 1000000);
  return fmt::format("{:.1f} s", static_cast<double>(ns) / 1e9);
}

std::string miss_label(const std::string& category) {
  static const std::map<std::string, std::string, std::less<>> labels = {
      {"new", "not in the cache yet"},
      {"input", "an input changed"},
      {"dependency", "a dependency changed"},
      {"environment", "an environment variable changed"},
      {"arguments", "the compiler arguments changed"},
      {"compiler", "another compiler"},
      {"damaged", "a damaged entry"}};
  const auto it = labels.find(category);
  return it != labels.end() ? it->second : category;
}

void Uploads::write(const fs::path& event_dir) const {
  util::Json j = util::Json::object();
  j["uploaded"] = uploaded;
  j["present"] = present;
  j["failed"] = failed;
  j["dropped"] = dropped;
  j["left"] = left;
  if (!reason.empty()) j["reason"] = reason;
  (void)util::write_json_fast(event_dir / "uploads.json", j);
}

std::optional<Uploads> Uploads::read(const fs::path& event_dir) {
  const auto j = util::read_json(event_dir / "uploads.json");
  if (!j || !j->is_object()) return std::nullopt;
  const auto count = [&](const char* name) {
    return static_cast<size_t>(number(*j, name).value_or(0));
  };
  return Uploads{.uploaded = count("uploaded"),
                 .present = count("present"),
                 .failed = count("failed"),
                 .dropped = count("dropped"),
                 .left = count("left"),
                 .reason = text(*j, "reason")};
}

void Uploads::add_to(Summary& s) const {
  s.remote = true;
  s.remote_uploads += uploaded;
  s.upload_failures += failed;
  s.uploads_left += left;
  if (s.remote_error.empty()) s.remote_error = reason;
}

std::string remote_clause(const Summary& s) {
  std::string text = fmt::format("remote: {} from the server, {} uploaded",
                                 plural(s.remote_hits, "entry", "entries"), s.remote_uploads);
  if (s.upload_failures) text += fmt::format(", {} failed", s.upload_failures);
  if (s.uploads_left)
    text += fmt::format(", {} still queued (kelv cache push sends them)", s.uploads_left);
  if (s.remote_errors) text += ", " + plural(s.remote_errors, "error", "errors");
  if (!s.remote_error.empty()) text += " (" + s.remote_error + ")";
  return text;
}

std::string summary_line(const Summary& s) {
  if (s.runs == 0) return "no compiler runs";
  std::string line = counted_runs(s) + ": " + outcomes(s);
  if (!s.misses.empty()) line += "; " + misses_clause(s.misses);
  if (!s.not_cached.empty()) line += "; " + not_cached_clause(s.not_cached);
  if (s.estimated) line += "; " + saved_clause(s);
  if (s.driver_failures)
    line += "; " + plural(s.driver_failures, "driver failure", "driver failures") +
            " (see kelv report)";
  if (s.remote) line += "; " + remote_clause(s);
  return line;
}

void record_build(const BuildRecord& build) {
  util::Json json = util::Json::object();
  json["v"] = 1;
  json["args"] = build.args;
  json["cwd"] = build.cwd;
  json["start_wall_ns"] = build.start_ns;
  json["end_wall_ns"] = build.end_ns;
  (void)util::write_json_fast(build.dir / record_name, json);
}

BuildRecord read_build_record(const fs::path& dir) {
  BuildRecord build{.dir = dir};
  const auto json = util::read_json(dir / record_name);
  if (!json || !json->is_object()) {
    build.start_ns = start_from_name(dir);
    build.end_ns = std::max(build.start_ns, newest_mtime(dir));
    return build;
  }
  build.recorded = true;
  if (auto it = json->find("args"); it != json->end() && it->is_array())
    for (const auto& a : *it)
      if (a.is_string()) build.args.push_back(a.get<std::string>());
  build.cwd = text(*json, "cwd");
  build.start_ns = number(*json, "start_wall_ns").value_or(start_from_name(dir));
  build.end_ns = std::max(build.start_ns, number(*json, "end_wall_ns").value_or(0));
  return build;
}

std::string describe(const BuildRecord& build) {
  if (!build.recorded) return "";
  std::string command = "cargo";
  for (const std::string& a : build.args) command += " " + shell_word(a);
  return fmt::format("`{}` in {}", command, build.cwd);
}

}  // namespace kelv::tool
