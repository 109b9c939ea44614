#pragma once
#include <optional>
#include <string>
#include <vector>

#include "artifact_cache/job.h"
#include "exec/proc.h"
#include "report/report.h"
#include "rustc/invocation.h"
#include "util/error.h"
#include "wrapper/roads.h"

// Running the unit on the road its plan chose: the chained wrapper, the
// plain compiler, or the runners that capture diagnostics (a relink from
// kept objects first, then a compilation through the driver or the compiler,
// and the compiler again when the driver broke).
namespace kelv::wrapper {

struct RunRequest {
  const rustc::Invocation& inv;  // with every option added
  const std::optional<std::string>& inner;
  bool fail_open = false;
  bool needs_bootstrap = false;
  std::optional<std::string> driver;
  const artifact_cache::Job* job = nullptr;
  std::optional<std::vector<std::string>> relink_args;
  bool relink_ready = false;  // the kept objects are in place for a relink
  std::optional<std::string> kept_objects;
};

struct RunOutcome {
  exec::RunResult run;
  report::RunKind run_kind = report::RunKind::plain;
  bool inner_fallback_used = false;
  bool early_exit = false;
  std::optional<std::string> driver;          // absent after a fallback
  std::optional<std::string> driver_failure;  // set when the driver broke
  bool diagnostics_captured = false;
  bool captured_whole = true;  // nothing arrived after the capture ended
  std::string diagnostics;
};

std::expected<RunOutcome, StartFailure> run_unit(const RunRequest& request);

// Exit codes and signals by which a driver shows that it broke, not that the
// code it compiled is wrong.
bool driver_crashed(const exec::ExitStatus& status);

}  // namespace kelv::wrapper
