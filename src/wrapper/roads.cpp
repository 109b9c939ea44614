#include "wrapper/roads.h"

#include <fmt/format.h>
#include <unistd.h>

#include "util/paths.h"
#include "util/ui.h"

namespace kelv::wrapper {

exec::Command plain_command(const rustc::Invocation& inv, bool needs_bootstrap) {
  exec::Command cmd{.program = inv.compiler, .args = inv.args};
  if (needs_bootstrap) cmd.set_env("RUSTC_BOOTSTRAP", "1");
  return cmd;
}

void start_failure(const StartFailure& failure) {
  util::ui::say(util::ui::Level::fail,
                fmt::format("could not execute {}: {}", util::quoted(failure.program),
                            util::os_error(failure.error)));
  ::_exit(101);
}

std::expected<exec::RunResult, StartFailure> plain_road(const rustc::Invocation& inv,
                                                        bool needs_bootstrap) {
  auto result = exec::run_child(plain_command(inv, needs_bootstrap), true);
  if (!result) return std::unexpected(StartFailure{inv.compiler, result.error()});
  return *result;
}

std::expected<ChainedResult, StartFailure> chained_road(const rustc::Invocation& inv,
                                                        const std::string& inner, bool fail_open) {
  exec::Command cmd{.program = inner, .args = {}};
  cmd.args.reserve(inv.args.size() + 1);
  cmd.args.push_back(inv.compiler);
  cmd.args.insert(cmd.args.end(), inv.args.begin(), inv.args.end());
  auto result = exec::run_child(cmd, true);
  if (result) return ChainedResult{*result, false};
  if (!fail_open) return std::unexpected(StartFailure{inner, result.error()});
  util::ui::say(util::ui::Level::warn,
                fmt::format("could not run rustc wrapper {} ({}); compiling without it",
                            util::quoted(inner), util::os_error(result.error())));
  auto plain = plain_road(inv, false);
  if (!plain) return std::unexpected(plain.error());
  return ChainedResult{*plain, true};
}

}  // namespace kelv::wrapper
