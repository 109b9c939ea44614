#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "artifact_cache/remote_tier.h"
#include "exec/proc.h"
#include "kelv/build_reports.h"

// C and C++ that build scripts compile (through the `cc` crate, or CMake
// through CMAKE_<LANG>_COMPILER_LAUNCHER, which the `cmake` crate sets when
// CC holds "wrapper compiler") go through ccache under `kelv cargo`, in a
// cache of kelv's home and, when kelv has a remote, on the same server.
namespace kelv::tool {

// How one build has its C compiled; all empty when the compilers are the
// user's choice (see compilers_chosen below).
struct CcacheRun {
  bool missing = false;                            // ccache would have been used but is not on PATH
  std::optional<std::filesystem::path> stats_log;  // CCACHE_STATSLOG
  std::optional<std::filesystem::path> config;     // the file to remove after the build
};

// What the compilations of one build came to: cacheable ones (a hit or a
// miss) and, of them, those that came from the cache.
struct CcacheStats {
  size_t cacheable = 0;
  size_t hits = 0;
};

// Whether the compilers are someone else's choice: the environment `env`
// (NAME=value strings) names CC, CXX, CC_<...>, CXX_<...>, TARGET_CC,
// HOST_CC, TARGET_CXX or HOST_CXX, or the build is for another target
// (`--target` before a lone "--", or CARGO_BUILD_TARGET).
bool compilers_chosen(std::span<const std::string> cargo_args, const char* const* env);

// ccache's remote_storage for kelv's remote: the same Redis server and
// database (ccache's keys have a prefix of their own), or the HTTP server
// under "<prefix>/ccache"; "|read-only" when kelv only reads. Absent when
// ccache cannot reach it as kelv does (https, a prefix it would decode).
std::optional<std::string> remote_storage(const artifact_cache::Remote& remote);

// CCACHE_MAXSIZE for the bound on kelv's own cache: a tenth of it.
std::string ccache_max_size(uint64_t kelv_bound);

// Sets up `cmd` (the Cargo that gets kelv's wrapper) to compile build
// scripts' C through ccache, with `remote` when kelv has a usable one and a
// tenth of `cache_bound`, kelv's bound on its own cache. The
// remote's address goes in a ccache configuration file of `event_dir` that
// only the user can read, never in the environment; when that file cannot
// be written, says so and goes on without the remote.
CcacheRun use_ccache(exec::Command& cmd, std::span<const std::string> cargo_args,
                     const std::filesystem::path& event_dir, const artifact_cache::Remote* remote,
                     uint64_t cache_bound);

// Counts the compilations of a stats log (a "# <source>" line, then one
// counter name a line), reading at most a few MiB of it.
CcacheStats read_ccache_stats(const std::filesystem::path& log);

// "C/C++: 3 of 4 compilations from the cache".
std::string ccache_clause(const CcacheStats& stats);

// Whether the build compiled (or replayed) the `cc` or `cmake` crate, so that
// build scripts compiled C.
bool uses_c_compiler_crates(const std::vector<Unit>& units);

// The note for a build whose C went uncached because ccache is missing.
inline constexpr std::string_view ccache_missing_note =
    "kelv: C/C++ from build scripts was compiled without a cache: install ccache (apt install "
    "ccache) to have it cached";

}  // namespace kelv::tool
