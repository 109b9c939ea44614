#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.h"

namespace kelv::artifact_cache {

namespace fs = std::filesystem;

// A replayed entry: its diagnostics (paths rewritten) and where it came from.
struct LookupHit {
  std::string stderr_text;
  std::string entry;
  std::optional<std::string> foreign_out_dir;
};

// What a compilation read that the key could not know in advance.
struct Inputs {
  std::vector<std::string> env_deps;  // variable names, sorted, unique
  std::vector<std::string> inputs;    // source paths ("<OUT_DIR>/..." below OUT_DIR), sorted
};

// One unit's cache work, made by `prepare`.
struct Job {
  fs::path cache_dir;
  std::string key;
  fs::path out_dir;
  std::string stem;
  fs::path cwd;
  std::optional<fs::path> out_dir_env;
  std::optional<std::string> objects_key;
  bool workspace_member = false;
  bool links = false;

  // Looks for a stored entry of this unit whose recorded dependencies are
  // unchanged and restores its outputs.
  std::optional<LookupHit> lookup() const;

  // Publishes the unit's fresh outputs as a cache entry; an error text when
  // they were not stored.
  std::expected<void, std::string> store(std::string_view stderr_bytes, uint64_t start_ns) const;

  // Quick records: units that link too fast to be worth storing.
  bool known_quick() const;
  util::IoResult<void> remember_quick() const;
  void forget_quick() const;

  // Kept objects and relinking.
  fs::path rlink_path() const;
  fs::path kept_objects() const;
  void forget_kept_objects() const;
  std::expected<void, std::string> record_kept_objects(uint64_t start_wall_ns) const;
  std::optional<fs::path> prepare_relink() const;

  fs::path output(std::string_view name) const { return out_dir / name; }
  fs::path entry_dir(std::string_view entry) const { return cache_dir / "e" / entry; }
  fs::path key_record(std::string_view key) const {
    return cache_dir / "m" / (std::string(key) + ".json");
  }
};

// A Job, or the reason why the unit is not cached.
std::expected<Job, std::string> prepare(const std::optional<fs::path>& cache_dir,
                                        std::string_view compiler_version_text,
                                        const std::optional<fs::path>& driver_path,
                                        std::span<const std::string> args);

// Internal decisions of `prepare`, exposed for tests.
struct InliningOptions {
  std::string opt_level;
  std::optional<std::string> mir_opt_level;
  std::optional<std::string> inline_mir;
};
bool mir_inlining(const InliningOptions& options, bool incremental);
bool emits_link(const std::optional<std::string_view>& emit);

// The env deps and source inputs of the unit's dep-info file.
std::expected<Inputs, std::string> collect_inputs(const Job& job, uint64_t start_ns);

// The entry name of a key and the current state of the unit's dynamic
// dependencies; absent when one of them cannot be hashed.
std::optional<std::string> entry_name(const fs::path& cache_dir, std::string_view key,
                                      std::span<const std::string> env_deps,
                                      std::span<const std::string> inputs,
                                      std::span<const std::string> span_deps, const fs::path& cwd);

// Replaces each "from" by its "to" in the lossy text, in one pass that tries
// the pairs in order at each position.
std::string rewrite_paths(std::string_view bytes,
                          std::span<const std::pair<std::string, std::string>> pairs);

// Moves a damaged entry out of e/ in one rename, then deletes it.
bool discard(const fs::path& cache_dir, const fs::path& entry_dir);

// Records which libraries the unit's .rlib was compiled against.
std::expected<void, std::string> record_link_inputs(const fs::path& cache_dir,
                                                    std::span<const std::string> args);

// Output files that are library artifacts.
bool is_library_artifact(std::string_view name);

}  // namespace kelv::artifact_cache
