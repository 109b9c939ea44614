#include "wrapper/entry.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "report/report.h"
#include "util/error.h"
#include "util/paths.h"
#include "wrapper/decide.h"
#include "wrapper/ui.h"

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
  ui::say(ui::Level::fail,
          fmt::format("could not execute {}: {}", util::quoted(argv[1]), util::os_error(error)));
  std::exit(101);
}

}  // namespace

void main(int argc, char** argv) {
  if (argc < 2) {
    ui::say(ui::Level::fail,
            "kelv-rustc-wrapper expects `<rustc> [args...]`; Cargo runs it through RUSTC_WRAPPER");
    std::exit(2);
  }
  if (!is_set("KELV_EVENT_DIR") && !is_set("KELV_INNER_WRAPPER")) become_compiler(argv);
  std::optional<std::string> event_dir = non_empty_env("KELV_EVENT_DIR");
  const bool with_text = event_dir.has_value();
  Front front{
      .inv = Invocation(argv[1], std::vector<std::string>(argv + 2, argv + argc), with_text),
      .inner = non_empty_env("KELV_INNER_WRAPPER"),
      .event_dir = std::move(event_dir),
      .fail_open = false,
      .settings = std::nullopt};
  const char* fail = std::getenv("KELV_WRAPPER_FAIL");
  front.fail_open = fail && std::strcmp(fail, "open") == 0;

  if (front.event_dir) {
    auto settings = Settings::read(*front.event_dir);
    if (!settings) {
      ui::say(ui::Level::fail, settings.error());
      std::exit(2);
    }
    front.settings = std::move(*settings);
  }

  UnitRun unit = decide_and_run(front);
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
                        .has_relink_args = unit.relink_args.has_value(),
                        .run_kind = unit.run_kind,
                        .kept_objects_error = unit.kept_objects_error,
                        .early_exit = unit.early_exit,
                        .event_dir = *front.event_dir});
  }
  proc::propagate(unit.run.status);
}

}  // namespace kelv::wrapper
