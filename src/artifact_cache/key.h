#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "artifact_cache/job.h"

// The cache key of a unit: `prepare` makes the Job, or refuses the unit.
namespace kelv::artifact_cache {

// Why a unit is not cached. `text` is the reason for people; `category` is
// one of:
//
//   "off"                the cache is not configured
//   "not_a_unit"         not a compilation Cargo scheduled: no Cargo
//                        manifest directory, no crate name or no output
//                        directory
//   "probe"              a compiler probe (no "-C metadata=", or "--print")
//   "argument_file"      arguments come from an "@file"
//   "native_libraries"   the unit links native libraries ("-L", "-l")
//   "crate_type"         a crate type other than lib, rlib, bin, proc-macro
//   "dependency_binary"  a binary or test of a package outside the workspace
//   "unreadable"         the working directory, OUT_DIR, a dependency or
//                        a file an option names cannot be read
//   "link_not_recorded"  a linked unit's dependency has no link record
struct Refusal {
  std::string category;
  std::string text;
  bool operator==(const Refusal&) const = default;
};

// A Job, or why the unit is not cached.
std::expected<Job, Refusal> prepare(const std::optional<std::filesystem::path>& cache_dir,
                                    std::string_view compiler_version_text,
                                    const std::optional<std::filesystem::path>& driver_path,
                                    std::span<const std::string> args);

// Internal decisions of `prepare`, exposed for tests.
struct InliningOptions {
  std::string opt_level;
  std::optional<std::string> mir_opt_level;
  std::optional<std::string> inline_mir;
};
bool mir_inlining(const InliningOptions& options, bool incremental);
bool emits_link(const std::optional<std::string_view>& emit);

}  // namespace kelv::artifact_cache
