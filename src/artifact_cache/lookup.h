#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

// Looking up a unit's entry (`Job::lookup`, declared with the Job), restoring
// it, and removing damaged entries.
namespace kelv::artifact_cache {

// A replayed entry: its diagnostics (paths rewritten) and where it came from.
struct LookupHit {
  std::string stderr_text;
  std::string entry;
  std::optional<std::string> foreign_out_dir;
  std::optional<uint64_t> stored_compile_ns;  // what compiling the unit took when it was stored
};

// Why a lookup found nothing to replay. `category` is one of:
//
//   "new"          no entry was ever stored for this unit; `detail` is empty,
//                  or "the entry was removed" when the unit's inputs are those
//                  of a stored entry that is gone (trimmed or discarded)
//   "input"        a source input changed or is gone; `detail` is its path as
//                  the dep-info wrote it, "<OUT_DIR>" for the build script's
//                  output, or empty when an older key record cannot tell
//                  which of the unit's inputs, variables or spans changed
//   "dependency"   a dependency changed; `detail` is its --extern name, or the
//                  path of a library whose spans the crate's metadata carries
//   "environment"  a variable the crate reads, or that the key covers, changed
//                  or was set or unset; `detail` is its name, never its value
//   "arguments"    the compiler arguments changed (or the workspace's
//                  directory); `detail` is the changed option up to its "=",
//                  or "workspace", or empty for a source path or plain value
//   "compiler"     another compiler ("rustc") or driver ("driver")
//   "damaged"      an entry was found but cannot be used; `detail` says why.
//                  Entries whose stored files are wrong are discarded; one
//                  whose record is unreadable is left for the next store.
//
// The categories are stable; details are for people.
struct Miss {
  std::string category;
  std::string detail;
  bool operator==(const Miss&) const = default;
};

// Replaces each "from" by its "to" in the lossy text, in one pass that tries
// the pairs in order at each position; pairs from `anchored_from` on only
// where a path starts (at the start, or after a space, tab, newline, ':',
// '=' or a quote).
std::string rewrite_paths(std::string_view bytes,
                          std::span<const std::pair<std::string, std::string>> pairs,
                          size_t anchored_from = SIZE_MAX);

// Moves a damaged entry out of e/ in one rename, then deletes it.
bool discard(const std::filesystem::path& cache_dir, const std::filesystem::path& entry_dir);

}  // namespace kelv::artifact_cache
