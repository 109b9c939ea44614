#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "artifact_cache/layout.h"
#include "artifact_cache/lookup.h"
#include "artifact_cache/native_inputs.h"
#include "artifact_cache/remaps.h"
#include "util/error.h"
#include "util/files.h"

// One unit's cache work. `prepare` (key.h) makes the Job; the operations on it
// are defined by concern: lookup.cpp, store.cpp, quick.cpp, kept_objects.cpp.
namespace kelv::artifact_cache {

namespace fs = std::filesystem;

// The texts the cache key is the digest of, in the order they are hashed,
// and where each group begins: the head (format, compiler, driver,
// workspace) before `arguments_at`, then the argument lines, from
// `environment_at` the environment lines (the build script output line
// last), from `externs_at` one line per dependency.
struct KeyLines {
  std::vector<std::string> lines;
  size_t arguments_at = 0;
  size_t environment_at = 0;
  size_t externs_at = 0;
};

// An entry a store published, and why it serves only its own checkout
// when it does.
struct StoredEntry {
  std::string name;
  std::optional<std::string> path_bound;
};

struct Job {
  fs::path cache_dir;
  std::string key;
  fs::path out_dir;
  std::string stem;
  fs::path cwd;
  fs::path package_dir;  // CARGO_MANIFEST_DIR
  std::optional<fs::path> out_dir_env;
  std::vector<fs::path> externs;  // the --extern artifacts, as the arguments name them
  std::optional<std::string> objects_key;
  bool workspace_member = false;
  bool links = false;
  // The files its native libraries and link arguments resolved to, for
  // its link record.
  std::vector<NativeInput> natives;
  // The directories the unit's arguments remap. With them `key` is
  // portable between checkouts and `bound_key` keeps the absolute
  // directories, for a unit whose outputs name them all the same.
  Remaps remaps;
  std::optional<std::string> bound_key;
  // What `key` is the digest of; empty in a Job made by hand, which then
  // leaves no unit record and misses as "new".
  KeyLines key_lines;

  // Looks for a stored entry of this unit whose recorded dependencies are
  // unchanged and restores its outputs; otherwise says why there was none.
  std::expected<LookupHit, Miss> lookup() const;

  // Publishes the unit's fresh outputs as a cache entry; an error text when
  // they were not stored.
  std::expected<StoredEntry, std::string> store(std::string_view stderr_bytes,
                                                uint64_t start_ns) const;

  // The key that names the entries of a key record: `bound_key` when the
  // record says the unit's outputs are bound to their paths.
  std::string_view entry_key(const util::Json& record) const;

  // Quick records: units that link too fast to be worth storing.
  bool known_quick() const;
  util::IoResult<void> remember_quick() const;
  void forget_quick() const;

  // Kept objects and relinking (relink.h has the link records).
  fs::path rlink_path() const;
  fs::path kept_objects() const;
  void forget_kept_objects() const;
  std::expected<void, std::string> record_kept_objects(uint64_t start_wall_ns) const;
  std::optional<fs::path> prepare_relink() const;

  // The unit's name across keys: from where its outputs go, so that it
  // survives edits of its sources and dependencies.
  std::string unit_name() const;

  fs::path output(std::string_view name) const { return out_dir / name; }
  fs::path entry_dir(std::string_view entry) const { return layout::entry(cache_dir, entry); }
  fs::path key_record(std::string_view key) const { return layout::key_record(cache_dir, key); }
};

}  // namespace kelv::artifact_cache
