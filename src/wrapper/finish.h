#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "artifact_cache/job.h"
#include "artifact_cache/lookup.h"
#include "artifact_cache/remote_tier.h"
#include "util/files.h"
#include "wrapper/run.h"
#include "wrapper/settings.h"

// After the run: kept objects, link inputs, and whether the outputs go into
// the cache.
namespace kelv::wrapper {

// What happens to a unit's outputs, tested in this order.
enum class Storage {
  off,           // the unit is not cached
  driver_broke,  // compiled by rustc after the driver broke
  failed,        // the compilation failed or its diagnostics were not captured
  incomplete,    // diagnostics still arrived after the capture ended
  quick,         // a workspace unit that links faster than storing would pay
  store,
};

struct StorageFacts {
  bool job = false;
  bool driver_failure = false;
  bool diagnostics_captured = false;
  bool success = false;
  bool captured_whole = true;
  bool quick_to_link = false;  // a linking workspace member, compiled in less than the threshold
};
Storage storage_for(const StorageFacts& facts);

struct FinishRequest {
  const std::optional<Settings>& settings;
  const std::optional<std::vector<std::string>>& strict_args;
  bool inner = false;
  bool is_compile = false;
  const artifact_cache::Job* job = nullptr;
  const std::string& job_reason;
  const std::string& job_category;
  const std::optional<artifact_cache::Miss>& miss;  // why the lookup found nothing
  const artifact_cache::Remote* remote = nullptr;   // where stored entries are uploaded
  artifact_cache::RemoteOutcome* remote_outcome = nullptr;
  const RunOutcome& run;
  bool fresh_build = false;
  bool kept_objects = false;  // the driver was asked to keep objects
  uint64_t start_wall_ns = 0;
  uint64_t elapsed_ns = 0;
};

struct Finished {
  util::Json cache;  // the cache outcome object of the report
  std::optional<std::string> kept_objects_error;
};

Finished finish_unit(const FinishRequest& request);

}  // namespace kelv::wrapper
