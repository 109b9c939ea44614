#include "wrapper/roads.h"

#include <fmt/format.h>
#include <unistd.h>

#include "util/paths.h"
#include "wrapper/ui.h"

namespace kelv::wrapper {

proc::Command plain_command(const Invocation& inv, bool needs_bootstrap) {
  proc::Command cmd{.program = inv.compiler, .args = inv.args};
  if (needs_bootstrap) cmd.set_env("RUSTC_BOOTSTRAP", "1");
  return cmd;
}

void start_failure(const std::string& program, const util::IoError& error) {
  ui::say(ui::Level::fail,
          fmt::format("could not execute {}: {}", util::quoted(program), util::os_error(error)));
  ::_exit(101);
}

proc::RunResult plain_road(const Invocation& inv, bool needs_bootstrap) {
  auto result = proc::run_child(plain_command(inv, needs_bootstrap), true);
  if (!result) start_failure(inv.compiler, result.error());
  return *result;
}

ChainedResult chained_road(const Invocation& inv, const std::string& inner, bool fail_open) {
  proc::Command cmd{.program = inner, .args = {}};
  cmd.args.reserve(inv.args.size() + 1);
  cmd.args.push_back(inv.compiler);
  cmd.args.insert(cmd.args.end(), inv.args.begin(), inv.args.end());
  auto result = proc::run_child(cmd, true);
  if (result) return {*result, false};
  if (!fail_open) start_failure(inner, result.error());
  ui::say(ui::Level::warn, fmt::format("could not run rustc wrapper {} ({}); compiling without it",
                                       util::quoted(inner), util::os_error(result.error())));
  return {plain_road(inv, false), true};
}

}  // namespace kelv::wrapper
