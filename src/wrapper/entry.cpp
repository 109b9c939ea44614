#include "wrapper/entry.h"

#include <cstdlib>
#include <cstring>

#include "wrapper/decide.h"
#include "wrapper/ui.h"

namespace kelv::wrapper {
namespace {

std::optional<std::string> non_empty_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

}  // namespace

void main(int argc, char** argv) {
  if (argc < 2) {
    ui::say(ui::Level::fail,
            "kelv-rustc-wrapper expects `<rustc> [args...]`; Cargo runs it through RUSTC_WRAPPER");
    std::exit(2);
  }
  Front front{.inv = Invocation(argv[1], std::vector<std::string>(argv + 2, argv + argc)),
              .inner = non_empty_env("KELV_INNER_WRAPPER"),
              .event_dir = non_empty_env("KELV_EVENT_DIR"),
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
  proc::propagate(unit.run.status);
}

}  // namespace kelv::wrapper
