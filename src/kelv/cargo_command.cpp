#include <fmt/format.h>
#include <unistd.h>

#include "kelv/build_reports.h"
#include "kelv/commands.h"
#include "kelv/config.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/home.h"
#include "util/paths.h"
#include "wrapper/proc.h"
#include "wrapper/ui.h"

namespace kelv::tool {
namespace {

constexpr size_t kept_builds = 20;

// Removes all but the newest event directories.
void prune_events(const std::filesystem::path& events) {
  std::vector<std::filesystem::path> dirs;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(events, ec))
    if (e.is_directory(ec)) dirs.push_back(e.path());
  if (dirs.size() <= kept_builds) return;
  std::sort(dirs.begin(), dirs.end());  // named by start time
  for (size_t i = 0; i + kept_builds < dirs.size(); ++i) std::filesystem::remove_all(dirs[i], ec);
}

}  // namespace

int cargo_command(std::span<const std::string> args) {
  auto config = Config::load();
  if (!config) return fail(config.error());
  const std::filesystem::path wrapper = own_dir() / "kelv-rustc-wrapper";
  if (::access(wrapper.c_str(), X_OK) != 0)
    return fail(fmt::format("{} is missing; reinstall kelv", wrapper.native()));
  const auto cargo = util::which("cargo");
  if (!cargo) return fail("cargo is not on PATH; install a Rust toolchain", 127);

  const uint64_t start = util::now_wall_ns();
  const std::string session = fmt::format("{:020}-{}", start, ::getpid());
  const std::filesystem::path events = util::kelv_home() / "events";
  const std::filesystem::path event_dir = events / session;
  util::Json settings = util::Json::object();
  settings["artifact_cache"] = util::path_str(config->artifact_cache);
  settings["frontend_threads"] =
      config->frontend_threads ? util::Json(*config->frontend_threads) : util::Json(nullptr);
  settings["min_link_store_ns"] = config->min_link_store_ns;
  settings["linker_dir"] = config->linker_dir ? util::Json(*config->linker_dir) : util::Json(nullptr);
  settings["early_cutoff"] = config->early_cutoff;
  const char* target_dir = std::getenv("CARGO_TARGET_DIR");
  settings["target_dir"] = target_dir && *target_dir ? util::Json(target_dir) : util::Json(nullptr);
  if (auto w = util::write_json_fast(event_dir / "wrapper.settings", settings); !w)
    return fail(fmt::format("cannot prepare {}: {}", event_dir.native(), util::os_error(w.error())));

  proc::Command cmd{.program = cargo->native(), .args = {args.begin(), args.end()}};
  cmd.set_env("RUSTC_WRAPPER", wrapper.native());
  cmd.set_env("KELV_EVENT_DIR", event_dir.native());
  cmd.set_env("KELV_SESSION_ID", session);
  auto run = proc::run_child(cmd, true);
  if (!run)
    return fail(fmt::format("could not execute {}: {}", util::quoted(cargo->native()),
                            util::os_error(run.error())),
                101);

  const std::vector<Unit> units = read_build(event_dir);
  auto times = load_unit_times();
  const Summary summary = summarize(units, times);
  save_unit_times(units, std::move(times));
  if (summary.units > 0) {
    const bool quiet = summary.failed == 0 && summary.driver_failures == 0;
    ui::say(quiet ? ui::Level::ok : ui::Level::note, "kelv: " + summary_line(summary));
  }
  prune_events(events);
  proc::propagate(run->status);
}

}  // namespace kelv::tool
