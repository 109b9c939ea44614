#pragma once
// A unit's output directory and an artifact cache holding one entry, in the
// process's temporary directory, for the targets that drive Job::lookup.
//
//   <root>/crate/src/lib.rs        the unit's source (the Job's cwd is crate/)
//   <root>/out_dir_env/gen.rs      the build script's OUT_DIR
//   <root>/out/                    the unit's output directory
//   <root>/cache/m/<key>.json      the key record
//   <root>/cache/e/<name>/...      the stored entry: entry.json, stderr, outputs
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "artifact_cache/store.h"
#include "support.h"

namespace kelv::fuzz {

class CacheSandbox {
 public:
  explicit CacheSandbox(std::string_view name);

  const fs::path& root() const { return root_; }
  const artifact_cache::Job& job() const { return job_; }

  // The stored entry's files other than entry.json, as (name, bytes).
  static const std::vector<std::pair<std::string, std::string>>& stored_files();
  // The key record of the stored entry, and the entry's name.
  static std::string_view stored_key_record();
  const std::string& stored_name() const { return stored_name_; }
  // A well-formed entry.json for the stored files.
  const std::string& stored_entry_json() const { return stored_entry_json_; }

  // Empties the output directory and the cache, then writes the key record
  // and the stored entry with `entry_json` as its entry.json.
  void reset(std::string_view key_record, std::string_view entry_json) const;

  // Fails unless everything below the root is where lookup may write: the
  // cache, and plain files in the output directory named in `may_write`;
  // the sources and OUT_DIR must be as they were.
  void check_contained(const std::vector<std::string>& may_write, std::string_view input) const;

 private:
  fs::path root_;
  artifact_cache::Job job_;
  std::string stored_name_;
  std::string stored_entry_json_;
  std::set<std::string> sources_;  // tree of crate/ and out_dir_env/ at the start
};

// The strings of an array member of a JSON object; empty when absent.
std::vector<std::string> texts_of(std::string_view json_text, const char* member);

}  // namespace kelv::fuzz
