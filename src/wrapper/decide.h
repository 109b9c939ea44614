#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "artifact_cache/job.h"
#include "report/report.h"
#include "rustc/invocation.h"
#include "util/files.h"
#include "wrapper/roads.h"
#include "wrapper/settings.h"

// The life of one unit between the front and the report: plan it, ask the
// cache, run it, finish it.
namespace kelv::wrapper {

// What the entry knows before the unit is decided.
struct Front {
  rustc::Invocation inv;
  std::optional<std::string> inner;      // KELV_INNER_WRAPPER
  std::optional<std::string> event_dir;  // KELV_EVENT_DIR
  bool fail_open = false;                // KELV_WRAPPER_FAIL=open
  std::optional<Settings> settings;
};

using report::RunKind;

// The unit's result and what the report needs of it.
struct UnitRun {
  exec::RunResult run;
  uint64_t start_wall_ns = 0;
  uint64_t elapsed_ns = 0;
  bool inner_fallback_used = false;
  bool early_exit = false;
  RunKind run_kind = RunKind::plain;
  std::optional<std::string> driver;
  std::optional<std::string> driver_failure;
  bool has_relink_args = false;
  std::optional<std::string> kept_objects_error;
  util::Json cache;  // the cache outcome object
};

// A stored result to replay instead of running the unit.
struct Replay {
  artifact_cache::LookupHit hit;
  std::vector<artifact_cache::NativeInput> natives;  // of the unit's cache job
  bool from_remote = false;
  util::Json remote;  // what the remote tier did, null without one
  uint64_t start_wall_ns = 0;
  uint64_t start_mono_ns = 0;
  std::string key;  // the unit's cache key
};

using Decision = std::variant<UnitRun, Replay, StartFailure>;

// Decides the unit's road and runs it; nothing here ends the process.
Decision decide(Front& front);

}  // namespace kelv::wrapper
