#include "wrapper/entry.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "artifact_cache/job.h"
#include "artifact_cache/relink.h"
#include "artifact_cache/remote_tier.h"
#include "report/report.h"
#include "util/error.h"
#include "util/paths.h"
#include "util/ui.h"
#include "wrapper/decide.h"

namespace kelv::wrapper {
namespace {

std::optional<std::string> non_empty_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

bool is_set(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

// Without an event directory or a chained wrapper there is nothing to do but
// run the compiler: the wrapper becomes it, so its exit status, signals and
// streams are the compiler's and no second process waits for it.
[[noreturn]] void become_compiler(char** argv) {
  ::execvp(argv[1], argv + 1);
  const int error = errno;
  util::ui::say(util::ui::Level::fail, fmt::format("could not execute {}: {}",
                                                   util::quoted(argv[1]), util::os_error(error)));
  std::exit(101);
}

// Replays a stored result: the link inputs are recorded as after a
// compilation, the stored diagnostics printed in one piece, the report
// written, and the unit ends with success.
[[noreturn]] void replay_hit(const Front& front, const Replay& replay) {
  const Settings* settings = front.settings ? &*front.settings : nullptr;
  if (settings && settings->artifact_cache)
    (void)artifact_cache::record_link_inputs(
        *settings->artifact_cache, *front.inv.strict_args,
        std::span<const artifact_cache::NativeInput>(replay.natives));
  {
    std::lock_guard lock(util::ui::stderr_lock());
    util::ui::write_stderr_locked(replay.hit.stderr_text);
  }
  if (front.event_dir) {
    report::report_hit({.compiler = front.inv.compiler,
                        .args = front.inv.args,
                        .start_wall_ns = replay.start_wall_ns,
                        .start_mono_ns = replay.start_mono_ns,
                        .target_dir = settings ? settings->target_dir : std::nullopt,
                        .key = replay.key,
                        .entry = replay.hit.entry,
                        .foreign_out_dir = replay.hit.foreign_out_dir,
                        .stored_compile_ns = replay.hit.stored_compile_ns,
                        .from_remote = replay.from_remote,
                        .remote = &replay.remote,
                        .event_dir = *front.event_dir});
  }
  exec::propagate(exec::ExitStatus::exited(0));
}

[[noreturn]] void report_and_exit(Front& front, UnitRun& unit) {
  if (front.event_dir) {
    report::report_run({.cache = std::move(unit.cache),
                        .compiler = front.inv.compiler,
                        .args = front.inv.args,
                        .inner_wrapper = front.inner,
                        .inner_fallback_used = unit.inner_fallback_used,
                        .start_wall_ns = unit.start_wall_ns,
                        .elapsed_ns = unit.elapsed_ns,
                        .status = unit.run.status,
                        .usage = unit.run.usage,
                        .target_dir = front.settings ? front.settings->target_dir : std::nullopt,
                        .driver = unit.driver,
                        .driver_failure = unit.driver_failure,
                        .has_relink_args = unit.has_relink_args,
                        .run_kind = unit.run_kind,
                        .kept_objects_error = unit.kept_objects_error,
                        .early_exit = unit.early_exit,
                        .event_dir = *front.event_dir});
  }
  exec::propagate(unit.run.status);
}

}  // namespace

void main(int argc, char** argv) {
  if (argc < 2) {
    util::ui::say(
        util::ui::Level::fail,
        "kelv-rustc-wrapper expects `<rustc> [args...]`; Cargo runs it through RUSTC_WRAPPER");
    std::exit(2);
  }
  // The server's password is for the transfer programs alone, on every road.
  artifact_cache::withdraw_remote_address();
  if (!is_set("KELV_EVENT_DIR") && !is_set("KELV_INNER_WRAPPER")) become_compiler(argv);
  std::optional<std::string> event_dir = non_empty_env("KELV_EVENT_DIR");
  const bool with_text = event_dir.has_value();
  Front front{
      .inv = rustc::Invocation(argv[1], std::vector<std::string>(argv + 2, argv + argc), with_text),
      .inner = non_empty_env("KELV_INNER_WRAPPER"),
      .event_dir = std::move(event_dir),
      .fail_open = false,
      .settings = std::nullopt};
  const char* fail = std::getenv("KELV_WRAPPER_FAIL");
  front.fail_open = fail && std::strcmp(fail, "open") == 0;

  if (front.event_dir) {
    auto settings = Settings::read(*front.event_dir);
    if (!settings) {
      util::ui::say(util::ui::Level::fail, settings.error());
      std::exit(2);
    }
    front.settings = std::move(*settings);
  }

  Decision decision = decide(front);
  if (auto* failed = std::get_if<StartFailure>(&decision)) start_failure(*failed);
  if (auto* replay = std::get_if<Replay>(&decision)) replay_hit(front, *replay);
  report_and_exit(front, std::get<UnitRun>(decision));
}

}  // namespace kelv::wrapper
