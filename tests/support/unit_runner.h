#pragma once
// Running the wrapper directly on single units, the way Cargo would, without
// Cargo: processes with a time limit that can be killed, Cargo-like unit
// arguments, reference compilations and checks of a cache directory's state.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/testing.h"
#include "util/files.h"

namespace kelv::testing {

// A process started in its own process group, with standard input from
// /dev/null and its output collected in files below `log_dir`.
class Process {
 public:
  // `address_space` limits the child's virtual memory (RLIMIT_AS) in bytes.
  Process(const Run& request, const fs::path& log_dir,
          std::optional<uint64_t> address_space = std::nullopt);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }

  // Waits at most `limit`; past it the whole group is killed and
  // `timed_out()` is true. Returns the outcome with both outputs.
  Outcome wait(std::chrono::milliseconds limit);
  bool timed_out() const { return timed_out_; }

  // SIGKILL to the process itself, then to what is left of its group.
  void kill_group();

  // Whether the process has not exited yet (it is not reaped here).
  bool running();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool timed_out_ = false;
  int status_ = 0;
  fs::path out_, err_;
};

// One unit as Cargo would pass it to the compiler.
struct CrateUnit {
  std::string crate;               // --crate-name, and src/<crate>.rs
  std::string crate_type = "lib";  // "lib" or "bin"
  std::string metadata = "abcd";   // -C metadata and -C extra-filename=-<metadata>
  std::vector<std::pair<std::string, std::string>> externs;  // name, file name in the out dir
  std::vector<std::string> extra;                            // appended as they are

  std::string stem() const { return crate + "-" + metadata; }
  std::string rlib() const { return "lib" + stem() + ".rlib"; }
  // The same unit with `dep`'s library as an --extern.
  CrateUnit linking(const CrateUnit& dep) const;
  // The files the compiler writes into the output directory.
  std::vector<std::string> outputs() const;
  // The compiler arguments (without the compiler) for an output directory.
  std::vector<std::string> args(const fs::path& out_dir) const;
};

// Named builders: lib("alpha"), bin("zeta", "zz").linking(alpha).
CrateUnit lib(std::string crate, std::string metadata = "abcd");
CrateUnit bin(std::string crate, std::string metadata = "abcd");

// Where units run: the project directory is the working directory and
// CARGO_MANIFEST_DIR; the sources are in its src/.
struct UnitContext {
  fs::path project;
  fs::path kelv_home;
  fs::path logs;  // output files of the processes
  std::string compiler = real_rustc();
  std::map<std::string, std::optional<std::string>> env;  // more variables
};

// The settings text for an artifact cache directory.
std::string cache_settings(const fs::path& cache, bool early_cutoff = false,
                           uint64_t min_link_store_ns = 0);

struct UnitResult {
  Outcome outcome;
  bool timed_out = false;
  std::optional<util::Json> report;  // the wrapper's report, when it wrote one
  // report["cache"]["result"], or "" without a report.
  std::string cache_result() const;
  // A line for failure messages.
  std::string describe() const;
};

// The wrapper's command for the unit with `event_dir` as KELV_EVENT_DIR.
Run unit_request(const UnitContext& ctx, const fs::path& event_dir,
                 const std::vector<std::string>& args);

// Runs the wrapper on the unit with `event_dir` as KELV_EVENT_DIR. When
// `settings` is given it is written there first; the wrapper's report is
// read and removed afterwards.
UnitResult run_unit(const UnitContext& ctx, const fs::path& event_dir,
                    const std::optional<std::string>& settings,
                    const std::vector<std::string>& args,
                    std::chrono::milliseconds limit = std::chrono::seconds(120),
                    std::optional<uint64_t> address_space = std::nullopt);

// Runs the compiler itself on the arguments (no wrapper), in the project.
Outcome run_compiler(const UnitContext& ctx, const std::vector<std::string>& args);

// What a fresh compilation of a unit writes, without the wrapper.
struct Reference {
  fs::path out_dir;
  std::map<std::string, std::string> outputs;  // file name -> bytes
  std::string stderr_text;
  int exit_code = -1;
};
Reference compile_reference(const UnitContext& ctx, const CrateUnit& unit, const fs::path& out_dir);

// How a unit's outputs in `out_dir` and its diagnostics differ from the
// reference (paths of the reference's output directory read as `out_dir`);
// empty when they are the same.
std::vector<std::string> differences(const Reference& ref, const fs::path& out_dir,
                                     const std::string& stderr_text);

// The named files of a directory; a missing file maps to "<missing>".
std::map<std::string, std::string> read_files(const fs::path& dir,
                                              const std::vector<std::string>& names);

// Replaces every occurrence of `from` by `to`.
std::string replace_all(std::string text, const std::string& from, const std::string& to);

// What is below `root`: relative path -> type, mode, size, BLAKE3 of a
// regular file's content or a link's target, and the modification time when
// `with_mtime` (links are not followed).
std::map<std::string, std::string> snapshot_tree(const fs::path& root, bool with_mtime);

// The differences between two snapshots, one line each.
std::vector<std::string> snapshot_diff(const std::map<std::string, std::string>& before,
                                       const std::map<std::string, std::string>& after);

// A published entry that is not whole: the entry name, a file ("" for the
// entry itself) and what is wrong.
struct EntryProblem {
  std::string entry;
  std::string file;
  std::string what;
};
// Every e/<name>/ must have a readable entry.json listing its files, a
// stderr file, and every listed file with the BLAKE3 recorded for it.
std::vector<EntryProblem> check_entries(const fs::path& cache_dir);
// The names of e/.
std::vector<std::string> entry_names(const fs::path& cache_dir);

// What a finished process may have left behind: everything in tmp/, and
// temporary siblings (".<name>.<pid>.tmp") in m/, h/, l/, q/ and the entries.
std::vector<std::string> leftover_temporaries(const fs::path& cache_dir);

// Sleeps until the file system's clock has passed the modification time of
// a file written now, so that files written before count as older than the
// start of the next compilation.
void settle_mtime(const fs::path& dir);

}  // namespace kelv::testing
