#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "artifact_cache/job.h"

// Cache entries: what a compilation read, the entry name made from it, and
// storing (`Job::store`, declared with the Job).
namespace kelv::artifact_cache {

// What a compilation read that the key could not know in advance.
struct Inputs {
  std::vector<std::string> env_deps;  // variable names, sorted, unique
  std::vector<std::string> inputs;    // source paths ("<OUT_DIR>/..." below OUT_DIR), sorted
};

// The env deps and source inputs of the unit's dep-info file.
std::expected<Inputs, std::string> collect_inputs(const Job& job, uint64_t start_ns);

// The current state of a unit's dynamic dependencies and the entry name it
// gives. Beside the name, what went into it item by item, as (name, digest):
// each variable's digest (of its value, salted with the key), each span
// dependency's content hash, each input's content hash (inputs below OUT_DIR
// have none). The key record keeps these, so that a later miss can name
// what changed.
struct EntryState {
  std::string name;
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<std::pair<std::string, std::string>> spans;
  std::vector<std::pair<std::string, std::string>> inputs;
};

// The entry state of a key (inputs and span dependencies may be portable
// paths, found through `remaps`); a miss naming the input ("input") or span
// dependency ("dependency") that cannot be hashed.
std::expected<EntryState, Miss> entry_state(const fs::path& cache_dir, std::string_view key,
                                            std::span<const std::string> env_deps,
                                            std::span<const std::string> inputs,
                                            std::span<const std::string> span_deps,
                                            const fs::path& cwd, const Remaps& remaps = {});

// Only the entry name; absent when a dependency cannot be hashed.
std::optional<std::string> entry_name(const fs::path& cache_dir, std::string_view key,
                                      std::span<const std::string> env_deps,
                                      std::span<const std::string> inputs,
                                      std::span<const std::string> span_deps, const fs::path& cwd,
                                      const Remaps& remaps = {});

// Output files that are library artifacts.
bool is_library_artifact(std::string_view name);

}  // namespace kelv::artifact_cache
