#pragma once
#include <atomic>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "artifact_cache/prefetch.h"
#include "artifact_cache/remote_tier.h"
#include "exec/proc.h"
#include "kelv/build_reports.h"

namespace kelv::tool {

// The name of a build's list of units on the server: the same for builds
// that build the same units (Cargo's arguments, the workspace's lock file,
// the toolchain and flags the environment chooses); none outside a
// workspace with a lock file.
std::optional<std::string> build_list_name(std::span<const std::string> args,
                                           const std::filesystem::path& working_dir);

// The build's prefetcher: a thread of kelv that, while Cargo runs, brings
// what the server's list for this build names (artifact_cache/prefetch.h),
// and after the build leaves the build's own list there.
class Prefetcher {
 public:
  Prefetcher(exec::Command& cmd, const std::filesystem::path& cache_dir,
             const std::optional<artifact_cache::Remote>& remote,
             const std::filesystem::path& event_dir, const std::optional<std::string>& name);
  ~Prefetcher();
  Prefetcher(const Prefetcher&) = delete;
  Prefetcher& operator=(const Prefetcher&) = delete;

  // Ends the prefetch when Cargo has ended, after the object in transfer,
  // and removes what it staged; an interrupted build does not wait (the
  // thread is left to the end of the process, its stage to the pruning of
  // old builds).
  void stop();
  void abandon();
  // Leaves the build's units on the server as the list `name` (the lock file
  // may be new since the build began), unless the list the server had names
  // the same.
  void leave_list(const std::vector<Unit>& units, const std::optional<std::string>& name);

 private:
  std::filesystem::path cache_dir_;
  std::optional<artifact_cache::Remote> remote_;
  std::optional<std::string> name_;  // of the list it read
  std::filesystem::path stage_;
  std::atomic<bool> building_{true};
  artifact_cache::PrefetchTally tally_;
  std::thread thread_;
};

}  // namespace kelv::tool
