#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "report/report.h"
#include "util/files.h"
#include "wrapper/invocation.h"
#include "wrapper/proc.h"
#include "wrapper/settings.h"

namespace kelv::wrapper {

// What the entry knows before the unit is decided.
struct Front {
  Invocation inv;
  std::optional<std::string> inner;      // KELV_INNER_WRAPPER
  std::optional<std::string> event_dir;  // KELV_EVENT_DIR
  bool fail_open = false;                // KELV_WRAPPER_FAIL=open
  std::optional<Settings> settings;
};

using report::RunKind;

// The unit's result and what the report needs of it.
struct UnitRun {
  proc::RunResult run;
  uint64_t start_wall_ns = 0;
  uint64_t elapsed_ns = 0;
  bool inner_fallback_used = false;
  bool early_exit = false;
  RunKind run_kind = RunKind::plain;
  std::optional<std::string> driver;
  std::optional<std::string> driver_failure;
  std::optional<std::vector<std::string>> relink_args;
  std::optional<std::string> kept_objects_error;
  util::Json cache;  // the cache outcome object
};

// Decides the unit's road and runs it. Ends the process itself on a cache
// hit (0) or when the compiler cannot be started (101).
UnitRun decide_and_run(Front& front);

}  // namespace kelv::wrapper
