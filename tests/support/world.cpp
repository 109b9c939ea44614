#include "support/world.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace kelv::testing {

void write_script(const fs::path& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms(0755));
}

std::string library_source(int functions) {
  std::string s = "pub fn f(x: u32) -> u32 { x * 3 + 1 }\n";
  for (int i = 0; i < functions; ++i)
    s += "pub fn f" + std::to_string(i) + "(x: u64) -> u64 { x.wrapping_mul(" +
         std::to_string(i + 3) + ").rotate_left(" + std::to_string(i % 60) + ") ^ " +
         std::to_string(i * 7919) + " }\n";
  return s;
}

World::World(const fs::path& project_below)
    : project(dir / project_below), ctx{.project = project, .kelv_home = kelv_home, .logs = logs} {}

void World::write_sources(const std::map<std::string, std::string>& sources) const {
  for (const auto& [crate, source] : sources) write_file(project / "src" / (crate + ".rs"), source);
  settle_mtime(project);
}

void World::edit(const fs::path& file) const {
  const fs::path path = project / file;
  write_file(path, read_file(path) + "\n// edited\n");
}

void World::settings(const std::string& text) const {
  write_file(events / "wrapper.settings", text);
}

Outcome World::cargo(std::vector<std::string> args, Env env, bool wrapper,
                     const fs::path& at) const {
  env.emplace("KELV_HOME", kelv_home.string());
  return testing::cargo(at.empty() ? project : at, std::move(args), std::move(env), wrapper);
}

Outcome World::kelv(std::vector<std::string> args, Env env, const fs::path& cwd) const {
  args.insert(args.begin(), (wrapper_exe().parent_path() / "kelv").string());
  env.emplace("KELV_HOME", kelv_home.string());
  env.emplace("CARGO_TARGET_DIR", (project / "target").string());
  env.emplace("CARGO_TERM_COLOR", "never");
  env.emplace("RUSTC_WRAPPER", std::nullopt);
  env.emplace("KELV_EVENT_DIR", std::nullopt);
  return run({.argv = args, .env = env, .cwd = cwd.empty() ? project : cwd});
}

Outcome World::build(std::vector<std::string> args, Env env, const fs::path& at) const {
  fs::create_directories(events);
  for (const auto& e : fs::directory_iterator(events))
    if (e.path().extension() == ".json") fs::remove(e.path());
  fs::remove(dir / "driver.log");
  env.emplace("KELV_EVENT_DIR", events.string());
  return cargo(std::move(args), std::move(env), true, at);
}

std::vector<util::Json> World::reports() const {
  return read_reports(events);
}

std::optional<util::Json> World::find_report(const std::string& crate) const {
  return report_of(reports(), crate);
}

util::Json World::report(const std::string& crate) const {
  auto r = find_report(crate);
  if (!r) ADD_FAILURE() << "no report for " << crate;
  return r.value_or(util::Json::object());
}

Outcome World::run_binary(const std::string& name) const {
  return run({.argv = {(project / "target/debug" / name).string()}});
}

Env World::driver_env(int linger_ms) const {
  return {{"KELV_STANDIN_RUSTC", real_rustc()},
          {"KELV_STANDIN_LOG", (dir / "driver.log").string()},
          {"KELV_STANDIN_LINGER_MS", std::to_string(linger_ms)},
          {"CARGO_INCREMENTAL", "1"}};
}

std::string World::driver_log() const {
  return fs::exists(dir / "driver.log") ? read_file(dir / "driver.log") : "";
}

UnitResult World::unit(const CrateUnit& u, const fs::path& cache_dir, const fs::path& out,
                       const UnitRun& how) {
  fs::create_directories(out);
  const fs::path event_dir = events / ("unit-" + std::to_string(units_run_++));
  auto result = run_unit(ctx, event_dir, how.settings ? how.settings : cache_settings(cache_dir),
                         u.args(out), how.limit, how.address_space);
  std::error_code ec;
  fs::remove_all(event_dir, ec);
  return result;
}

const Reference& World::reference(const CrateUnit& u, const std::string& name) {
  const std::string key = name.empty() ? u.stem() : name;
  if (auto it = references_.find(key); it != references_.end()) return it->second;
  const fs::path out = dir / "reference" / key;
  fs::create_directories(out);
  for (const auto& [crate, file] : u.externs)
    for (const auto& [other, ref] : references_)
      if (ref.outputs.contains(file)) write_file(out / file, ref.outputs.at(file));
  Reference ref = compile_reference(ctx, u, out);
  EXPECT_EQ(ref.exit_code, 0) << u.crate << ": " << ref.stderr_text;
  return references_.emplace(key, std::move(ref)).first->second;
}

void World::expect_compiler_result(const CrateUnit& u, const fs::path& out,
                                   const UnitResult& result, const std::string& where) {
  EXPECT_FALSE(result.timed_out) << where << ": the wrapper hung and was killed at its time limit";
  EXPECT_EQ(result.outcome.signal, 0) << where << ": " << result.describe();
  EXPECT_EQ(result.outcome.exit_code, 0) << where << ": " << result.describe();
  if (result.timed_out || result.outcome.exit_code != 0) return;
  for (const std::string& d : differences(reference(u), out, result.outcome.err))
    ADD_FAILURE() << where << " (cache " << result.cache_result() << "): " << d;
}

UnitResult World::checked_unit(const CrateUnit& u, const fs::path& cache_dir, const fs::path& out,
                               const std::string& where, const UnitRun& how) {
  auto result = unit(u, cache_dir, out, how);
  expect_compiler_result(u, out, result, where);
  return result;
}

}  // namespace kelv::testing
