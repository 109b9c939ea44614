#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "exec/proc.h"
#include "util/files.h"

// The invocation report: one compact JSON file per invocation that reached a
// result, written to the event directory for the product's other tools.
namespace kelv::report {

// Which runner produced the unit's result.
enum class RunKind { plain, compiled, relinked };

// What a unit that ran (not a cache hit) leaves in its report.
struct RunFacts {
  util::Json cache;                          // the cache outcome object
  std::string_view compiler;                 // as given on the command line
  std::span<const std::string> args;         // after every addition, raw bytes
  std::optional<std::string> inner_wrapper;  // KELV_INNER_WRAPPER when set
  bool inner_fallback_used = false;
  uint64_t start_wall_ns = 0;
  uint64_t elapsed_ns = 0;
  exec::ExitStatus status;
  std::optional<exec::Usage> usage;
  std::optional<std::string> target_dir;      // the settings' target_dir
  std::optional<std::string> driver;          // absent after a fallback
  std::optional<std::string> driver_failure;  // failure record path, or empty text
  bool has_relink_args = false;
  RunKind run_kind = RunKind::plain;
  std::optional<std::string> kept_objects_error;
  bool early_exit = false;
  std::string_view event_dir;
};

// What a replayed cache hit leaves in its report.
struct HitFacts {
  std::string_view compiler;
  std::span<const std::string> args;
  uint64_t start_wall_ns = 0;
  uint64_t start_mono_ns = 0;  // the start instant; "dur_ns" runs to now
  std::optional<std::string> target_dir;
  std::string key;  // the unit's cache key
  std::string entry;
  std::optional<std::string> foreign_out_dir;
  std::optional<uint64_t> stored_compile_ns;  // the entry's compile time, when it holds one
  bool from_remote = false;                   // the entry came from the remote tier
  const util::Json* remote = nullptr;         // what the remote tier did, when there is one
  std::string_view event_dir;
};

// Write the report; every failure is swallowed and nothing is printed.
void report_run(const RunFacts& facts) noexcept;
void report_hit(const HitFacts& facts) noexcept;

}  // namespace kelv::report
