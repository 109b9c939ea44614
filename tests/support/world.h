#pragma once
// What the end-to-end suites share: the world of one test (a private
// directory with the project, the kelv home, the event directory, the logs of
// the processes and an artifact cache, with Cargo builds and single units run
// in it), tasks raced against each other, executable scripts and the sources
// of single units.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <latch>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "support/cargo_project.h"
#include "support/driver_install.h"
#include "support/unit_runner.h"

namespace kelv::testing {

// Variables set (a value) or unset (nullopt) for a child.
using Env = std::map<std::string, std::optional<std::string>>;

// Writes an executable shell script: "#!/bin/sh\n" followed by `body`.
void write_script(const fs::path& path, const std::string& body);

// A library with `pub fn f(x: u32) -> u32 { x * 3 + 1 }` and `functions`
// more: with a few hundred, storing and restoring it takes a little while.
std::string library_source(int functions);
// A library that compiles with a warning, so that replayed diagnostics are
// more than notices.
inline constexpr const char* warning_library_source =
    "pub fn beta(x: i64) -> i64 {\n    let unused = 3;\n    x - 1\n}\n";
// A binary that prints alpha::f(4).
inline constexpr const char* alpha_printer_source =
    "fn main() {\n    println!(\"{}\", alpha::f(4));\n}\n";

// Runs task(0) ... task(n - 1) on n threads released at the same moment and
// returns their results in that order once all have ended (nothing when the
// task returns nothing). A task's exception is thrown again here.
template <typename Task>
auto race(size_t n, const Task& task) {
  using Result = std::invoke_result_t<const Task&, size_t>;
  std::latch start(static_cast<std::ptrdiff_t>(n));
  std::vector<std::future<Result>> running;
  for (size_t i = 0; i < n; ++i) {
    try {
      running.push_back(std::async(std::launch::async, [&start, &task, i] {
        start.arrive_and_wait();
        return task(i);
      }));
    } catch (...) {
      start.count_down(static_cast<std::ptrdiff_t>(n - i));  // release those started
      throw;
    }
  }
  if constexpr (std::is_void_v<Result>) {
    for (auto& f : running) f.get();
  } else {
    std::vector<Result> results;
    for (auto& f : running) results.push_back(f.get());
    return results;
  }
}

// How World::unit runs a unit.
struct UnitRun {
  std::optional<std::string> settings;  // instead of the cache's settings
  std::chrono::milliseconds limit = std::chrono::seconds(120);
  std::optional<uint64_t> address_space;
};

// One test's world, removed with everything in it when dropped. Suites derive
// their fixture from it (or hold one) and add what is their own.
class World {
 public:
  // `project` is the project's place below the world's directory.
  explicit World(const fs::path& project = "ws");
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  TempDir dir;
  const fs::path project;  // a workspace, or the sources of single units in src/
  const fs::path kelv_home = dir / "home";
  const fs::path events = dir / "events";  // KELV_EVENT_DIR of builds, with the settings
  const fs::path logs = dir / "logs";      // output files of single units
  const fs::path cache = dir / "cache";
  UnitContext ctx;  // where single units run: the project, the home and the logs

  // The project's sources.
  void write_small_workspace() const { testing::write_small_workspace(project); }
  void copy_fixture(const std::string& name = "workspace") const {
    testing::copy_fixture(project, name);
  }
  // src/<crate>.rs for each crate, older than any compilation that follows.
  void write_sources(const std::map<std::string, std::string>& sources) const;
  // Appends a comment to a file of the project (or a file named absolutely).
  void edit(const fs::path& file) const;

  // Builds under Cargo.
  void settings(const std::string& text) const;  // the event directory's wrapper.settings
  // Cargo in the project through the wrapper (unless `wrapper` is false),
  // with the world's kelv home and no event directory; `env` wins.
  // `at`: another checkout of the project, in its place.
  Outcome cargo(std::vector<std::string> args, Env env = {}, bool wrapper = true,
                const fs::path& at = {}) const;
  // `kelv` (beside the wrapper) in the project, or in `cwd`, with the
  // world's home and the project's target directory; `env` wins.
  Outcome kelv(std::vector<std::string> args, Env env = {}, const fs::path& cwd = {}) const;
  // The same with the event directory, emptied of what the previous build
  // left (reports, the driver's log).
  Outcome build(std::vector<std::string> args = {"build"}, Env env = {},
                const fs::path& at = {}) const;
  std::vector<util::Json> reports() const;
  std::optional<util::Json> find_report(const std::string& crate) const;
  util::Json report(const std::string& crate) const;  // a failure when there is none
  Outcome run_binary(const std::string& name) const;  // target/debug/<name>

  // The stand-in driver, placed for the real toolchain; its path.
  fs::path install_driver() const { return install_stand_in_driver(kelv_home); }
  // What makes it run the real compiler and log to driver_log(); incremental
  // builds, so that the driver's objects are kept.
  Env driver_env(int linger_ms) const;
  std::string driver_log() const;

  // Runs the wrapper on a single unit into `out`, with the artifact cache
  // `cache`, in an event directory of its own that is removed afterwards.
  UnitResult unit(const CrateUnit& u, const fs::path& cache_dir, const fs::path& out,
                  const UnitRun& how = {});
  // A fresh compilation of the unit without the wrapper, made once per name
  // (the unit's stem unless given) in reference/<name>/, with the libraries
  // it links taken from their own references.
  const Reference& reference(const CrateUnit& u, const std::string& name = "");
  // The unit ended as that fresh compilation: in time, status 0, the same
  // outputs and diagnostics.
  void expect_compiler_result(const CrateUnit& u, const fs::path& out, const UnitResult& result,
                              const std::string& where);
  // unit(), then expect_compiler_result() for it.
  UnitResult checked_unit(const CrateUnit& u, const fs::path& cache_dir, const fs::path& out,
                          const std::string& where, const UnitRun& how = {});

 private:
  std::atomic<int> units_run_{0};
  std::map<std::string, Reference> references_;
};

}  // namespace kelv::testing
