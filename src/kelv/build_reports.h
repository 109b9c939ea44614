#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "util/files.h"

// The reports of one build, read back from its event directory.
namespace kelv::tool {

struct Unit {
  std::string crate;      // crate name, or "" for a probe
  std::string unit_id;    // crate name, extra filename and output directory
  std::string kind;       // "compile" or "probe"
  uint64_t dur_ns = 0;
  std::optional<int> exit_code;
  std::string cache_result;  // hit, stored, miss, off
  std::string cache_reason;  // "reason" or "not_stored"
  std::string driver;
  std::string driver_failure;
  std::string link;
  bool early_exit = false;
};

std::vector<Unit> read_build(const std::filesystem::path& event_dir);

struct Summary {
  size_t units = 0;  // compile units
  size_t compiled = 0;
  size_t replayed = 0;
  size_t relinked = 0;
  size_t failed = 0;
  size_t driver_failures = 0;
  std::vector<std::pair<std::string, size_t>> not_cached;  // reason, count; most frequent first
  uint64_t saved_ns = 0;                                   // estimated from earlier compile times
};

// Sums up the units; `times` holds earlier compile times by unit id.
Summary summarize(const std::vector<Unit>& units, const std::map<std::string, uint64_t>& times);

// Compile times of units that were compiled and stored, kept across builds
// in $KELV_HOME/unit-times.json to estimate what replaying them saved.
std::map<std::string, uint64_t> load_unit_times();
void save_unit_times(const std::vector<Unit>& units, std::map<std::string, uint64_t> times);

std::string format_duration(uint64_t ns);

// The one-line summary printed after `kelv cargo`.
std::string summary_line(const Summary& s);

}  // namespace kelv::tool
