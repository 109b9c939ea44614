#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "util/files.h"

// The reports of one build, read back from its event directory.
namespace kelv::tool {

// Why the cache lookup found nothing to replay, as the wrapper told it.
struct Miss {
  std::string category;  // "new", "input", "dependency", "environment", ...
  std::string detail;    // the input, dependency, variable or option; may be empty
};

struct Unit {
  std::string crate;    // crate name (with the package for a build script), "" for a probe
  std::string unit_id;  // crate name and extra filename: the same wherever it is built
  std::string kind;     // "compile" or "probe"
  uint64_t dur_ns = 0;
  std::optional<uint64_t> cpu_ns;  // the compiler's user and system time
  std::optional<int> exit_code;
  std::string cache_result;                   // hit, stored, miss, off
  std::string cache_reason;                   // "reason" or "not_stored"
  std::string cache_category;                 // the stable category of that reason, when told
  std::optional<Miss> miss;                   // for a unit compiled after a miss, when told
  std::optional<uint64_t> stored_compile_ns;  // for a hit: what compiling it took
  bool from_remote = false;                   // a hit whose entry came from the remote tier
  std::string key;                            // its cache key, when it stored or replayed
  std::string entry;                          // the entry it stored or replayed
  std::string path_bound;                     // why what it stored serves only its own checkout
  std::string remote_lookup;                  // what the remote tier did: "miss", "failed", ...
  std::string remote_upload;                  // "uploaded", "present", "skipped", "failed"
  std::string remote_reason;                  // why the lookup was not a hit
  std::string remote_upload_reason;
  std::string driver;
  std::string driver_failure;
  std::string link;
  bool early_exit = false;
  bool build_script = false;
};

std::vector<Unit> read_build(const std::filesystem::path& event_dir);

// A group of units that share a cause, with the details (inputs,
// dependencies, reason texts) that came up most, most frequent first.
struct Group {
  std::string name;
  size_t count = 0;
  std::vector<std::pair<std::string, size_t>> details;
};

struct Summary {
  size_t runs = 0;           // compiler runs Cargo scheduled (probes left out)
  size_t build_scripts = 0;  // of them, compilations of build scripts
  size_t compiled = 0;
  size_t replayed = 0;
  size_t relinked = 0;
  size_t failed = 0;
  size_t driver_failures = 0;
  std::vector<Group> misses;      // compiled after a cache miss, by category; largest first
  std::vector<Group> not_cached;  // compiled and not stored, by category or reason
  uint64_t saved_ns = 0;          // estimated from what the replayed units took to compile
  size_t estimated = 0;           // replayed units with such an estimate
  // The remote tier, when the build had one: entries it brought, entries
  // sent to it, and its failures (the server failed or sent unusable data).
  bool remote = false;
  size_t remote_hits = 0;
  size_t remote_uploads = 0;
  size_t remote_errors = 0;
  std::string remote_error;  // the first failure's reason
  // Of the uploads the build's uploader sent (kelv cargo queues them).
  size_t upload_failures = 0;
  size_t uploads_left = 0;  // still queued when the build ended
};

// What a build's uploader did, kept as "uploads.json" in its event directory.
struct Uploads {
  size_t uploaded = 0, present = 0, failed = 0, dropped = 0, left = 0;
  std::string reason;  // the first failure's

  void write(const std::filesystem::path& event_dir) const;
  static std::optional<Uploads> read(const std::filesystem::path& event_dir);
  void add_to(Summary& s) const;
};

// Compile times of stored units, by unit id, kept across builds in
// $KELV_HOME/unit-times.json; used for replays whose reports do not say
// what compiling them took.
using UnitTimes = std::map<std::string, uint64_t>;

// Sums up the units of one build.
Summary summarize(const std::vector<Unit>& units, const UnitTimes& times);

UnitTimes load_unit_times();
void save_unit_times(const std::vector<Unit>& units, UnitTimes times);

std::string format_duration(uint64_t ns);

// "remote: 12 entries from the server, 3 uploaded, 1 failed (why)".
std::string remote_clause(const Summary& s);

// The one-line summary printed after `kelv cargo`.
std::string summary_line(const Summary& s);

// A phrase for a miss category ("an input changed"); unknown ones as they are.
std::string miss_label(const std::string& category);

// What `kelv cargo` records about a build beside its reports.
struct BuildRecord {
  std::filesystem::path dir;
  uint64_t start_ns = 0;
  uint64_t end_ns = 0;
  bool recorded = false;          // false: no record (still running, or not from `kelv cargo`)
  std::vector<std::string> args;  // cargo's arguments
  std::string cwd;
};

void record_build(const BuildRecord& build);

// The record of the build in `dir`; without one, its times are taken from
// the directory's name and its newest file.
BuildRecord read_build_record(const std::filesystem::path& dir);

// "`cargo build --release` in /ws"; empty without a record.
std::string describe(const BuildRecord& build);

}  // namespace kelv::tool
