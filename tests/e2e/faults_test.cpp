// The artifact cache when its file system misbehaves: full, read-only, on
// another device than the outputs, and wrappers killed in the middle of a
// store. The unit always ends with the compiler's own result and a later
// lookup never restores anything but what a fresh compilation writes.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <random>
#include <thread>

#include "artifact_cache/lookup.h"
#include "support/unit_runner.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::CrateUnit;
using testing::TempDir;

std::string alpha_source() {
  std::string s = "pub fn f(x: u32) -> u32 { x * 3 + 1 }\n";
  for (int i = 0; i < 300; ++i)
    s += "pub fn f" + std::to_string(i) + "(x: u64) -> u64 { x.wrapping_mul(" +
         std::to_string(i + 3) + ").rotate_left(" + std::to_string(i % 60) + ") ^ " +
         std::to_string(i * 7919) + " }\n";
  return s;
}

// A file system mounted for one test, detached when it ends.
class Mounted {
 public:
  Mounted() = default;
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;
  ~Mounted() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }

  // A tmpfs of `size` bytes at `target`; an error text when not permitted.
  std::optional<std::string> tmpfs(const fs::path& target, uint64_t size) {
    fs::create_directories(target);
    const std::string options = "size=" + std::to_string(size) + ",mode=0755";
    if (::mount("kelv-test", target.c_str(), "tmpfs", 0, options.c_str()) != 0)
      return std::string("mount -t tmpfs: ") + std::strerror(errno);
    target_ = target;
    mounted_ = true;
    return std::nullopt;
  }

  // `dir` bind-mounted read-only onto itself.
  std::optional<std::string> read_only_bind(const fs::path& dir) {
    if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return std::string("mount --bind: ") + std::strerror(errno);
    target_ = dir;
    mounted_ = true;
    if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      return std::string("mount -o remount,bind,ro: ") + std::strerror(errno);
    return std::nullopt;
  }

 private:
  fs::path target_;
  bool mounted_ = false;
};

dev_t device_of(const fs::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_dev;
}

class FaultCache : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx.project = dir / "project";
    ctx.kelv_home = dir / "home";
    ctx.logs = dir / "logs";
    testing::write_file(ctx.project / "src/alpha.rs", alpha_source());
    // Large outputs: storing them takes long enough to be interrupted.
    testing::write_file(ctx.project / "src/blob.rs",
                        alpha_source() + "pub static BLOB: [u8; 1500000] = [7; 1500000];\n");
    testing::write_file(ctx.project / "src/beta.rs",
                        "pub fn beta(x: i64) -> i64 {\n    let unused = 3;\n    x - 1\n}\n");
    testing::write_file(ctx.project / "src/zeta.rs",
                        "fn main() {\n    println!(\"{}\", alpha::f(4));\n}\n");
    testing::settle_mtime(ctx.project);
  }

  const testing::Reference& reference(const CrateUnit& unit) {
    auto it = references.find(unit.stem());
    if (it != references.end()) return it->second;
    const fs::path out = dir / "reference" / unit.stem();
    if (!unit.externs.empty()) {
      fs::create_directories(out);
      for (const auto& [name, file] : unit.externs)
        fs::copy_file(dir / "reference" / (name + "-abcd") / file, out / file,
                      fs::copy_options::overwrite_existing);
    }
    auto ref = testing::compile_reference(ctx, unit, out);
    EXPECT_EQ(ref.exit_code, 0) << unit.crate << ": " << ref.stderr_text;
    return references.emplace(unit.stem(), std::move(ref)).first->second;
  }

  testing::UnitResult unit(const CrateUnit& u, const fs::path& cache, const fs::path& out) {
    fs::create_directories(out);
    const fs::path events = dir / "events" / std::to_string(event_counter++);
    auto result = testing::run_unit(ctx, events, testing::cache_settings(cache), u.args(out),
                                    std::chrono::seconds(120));
    fs::remove_all(events);
    return result;
  }

  // The unit ended as a fresh compilation would: status 0, same outputs,
  // same diagnostics.
  void expect_compiler_result(const CrateUnit& u, const fs::path& out,
                              const testing::UnitResult& result, const std::string& where) {
    EXPECT_FALSE(result.timed_out) << where;
    EXPECT_EQ(result.outcome.exit_code, 0) << where << ": " << result.describe();
    for (const std::string& d : testing::differences(reference(u), out, result.outcome.err))
      ADD_FAILURE() << where << " (cache " << result.cache_result() << "): " << d;
  }

  void expect_whole_entries(const fs::path& cache, const std::string& where) {
    for (const auto& p : testing::check_entries(cache))
      ADD_FAILURE() << where << ": entry " << p.entry << " " << p.file << ": " << p.what;
  }

  TempDir dir;
  testing::UnitContext ctx;
  std::map<std::string, testing::Reference> references;
  int event_counter = 0;
  const CrateUnit alpha{.crate = "alpha"};
  const CrateUnit beta{.crate = "beta"};
  const CrateUnit zeta{.crate = "zeta",
                       .crate_type = "bin",
                       .metadata = "zz",
                       .externs = {{"alpha", "libalpha-abcd.rlib"}}};
};

// (a) The cache's file system fills up at every step of a store in turn.
TEST_F(FaultCache, FullDiskDuringStoreKeepsTheCompilersResult) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs for the cache needs root";
  Mounted small;
  const fs::path fsdir = dir / "small-fs";
  if (auto error = small.tmpfs(fsdir, 2 << 20))
    GTEST_SKIP() << "cannot mount a tmpfs for a full cache (" << *error << ")";
  const auto& ref = reference(alpha);
  size_t output_bytes = 0;
  for (const auto& [name, bytes] : ref.outputs) output_bytes += bytes.size();

  int stored = 0, refused = 0, hits = 0;
  std::map<std::string, int> reasons;
  // Free space from nothing to more than the whole entry needs, in steps.
  std::vector<uint64_t> free_levels;
  for (uint64_t free = 0; free < output_bytes + 64 * 1024; free += 16 * 1024)
    free_levels.push_back(free);
  int level_index = 0;
  for (uint64_t free : free_levels) {
    const std::string where = "free " + std::to_string(free) + " bytes";
    const fs::path cache = fsdir / ("cache-" + std::to_string(level_index));
    const fs::path filler = fsdir / "filler";
    struct statvfs vfs;
    ASSERT_EQ(::statvfs(fsdir.c_str(), &vfs), 0);
    const uint64_t avail = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_bsize;
    if (avail > free) testing::write_file(filler, std::string(avail - free, 'f'));

    const fs::path out = dir / "out" / std::to_string(level_index);
    auto first = unit(alpha, cache, out);
    expect_compiler_result(alpha, out, first, where + ", storing");
    if (first.cache_result() == "stored") {
      ++stored;
    } else {
      ++refused;
      if (first.report) reasons[(*first.report)["cache"].value("not_stored", "?")]++;
    }
    // Still full: whatever a lookup restores is right.
    const fs::path again = dir / "out" / (std::to_string(level_index) + "-full");
    auto looked = unit(alpha, cache, again);
    expect_compiler_result(alpha, again, looked, where + ", lookup while full");
    if (looked.cache_result() == "hit") ++hits;
    // Space again: the same.
    fs::remove(filler);
    const fs::path later = dir / "out" / (std::to_string(level_index) + "-later");
    auto freed = unit(alpha, cache, later);
    expect_compiler_result(alpha, later, freed, where + ", lookup with space");
    if (freed.cache_result() == "hit") ++hits;

    expect_whole_entries(cache, where);
    for (const std::string& left : testing::leftover_temporaries(cache))
      ADD_FAILURE() << where << ": left behind " << left;
    fs::remove_all(cache);
    fs::remove_all(dir / "out");
    ++level_index;
  }
  std::cout << "[ figures  ] full cache file system, " << free_levels.size()
            << " free-space levels up to " << free_levels.back() << " bytes (outputs "
            << output_bytes << " bytes): " << stored << " stored, " << refused << " not stored, "
            << hits << " later hits, all restored bytes verified" << std::endl;
  for (const auto& [reason, n] : reasons)
    std::cout << "             " << n << " x " << reason << std::endl;
  EXPECT_GT(stored, 0);
  EXPECT_GT(refused, 0);
}

// (b) A cache directory that cannot be written.
TEST_F(FaultCache, ReadOnlyCacheDirectoryKeepsTheCompilersResult) {
  const fs::path cache = dir / "cache";
  // A cache with one stored unit, and a second cache not made yet.
  auto populated = unit(alpha, cache, dir / "out/populate");
  expect_compiler_result(alpha, dir / "out/populate", populated, "populating");
  ASSERT_EQ(populated.cache_result(), "stored") << populated.describe();
  fs::create_directories(dir / "empty-cache");

  Mounted ro_cache, ro_empty;
  if (::geteuid() == 0) {
    // Permission bits do not stop root: a read-only bind mount does.
    if (auto error = ro_cache.read_only_bind(cache))
      GTEST_SKIP() << "cannot make the cache read-only for root (" << *error << ")";
    if (auto error = ro_empty.read_only_bind(dir / "empty-cache"))
      GTEST_SKIP() << "cannot make the cache read-only for root (" << *error << ")";
  } else {
    for (const fs::path& root : {cache, dir / "empty-cache"}) {
      for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_directory()) fs::permissions(e.path(), fs::perms(0555));
      fs::permissions(root, fs::perms(0555));
    }
  }
  ASSERT_NE(::access((cache / "probe").c_str(), F_OK), 0);
  const auto before = testing::snapshot_tree(cache, true);
  const auto before_empty = testing::snapshot_tree(dir / "empty-cache", true);

  std::map<std::string, std::string> outcomes;
  int n = 0;
  for (const fs::path& c : {cache, dir / "empty-cache", dir / "empty-cache/not-made"}) {
    for (const CrateUnit* u : {&alpha, &beta, &zeta}) {
      const fs::path out = dir / "out" / ("ro-" + std::to_string(n++));
      if (u == &zeta) {
        fs::create_directories(out);
        fs::copy_file(dir / "out" / ("ro-" + std::to_string(n - 3)) / "libalpha-abcd.rlib",
                      out / "libalpha-abcd.rlib");
      }
      auto result = unit(*u, c, out);
      expect_compiler_result(*u, out, result, c.filename().native() + " " + u->crate);
      outcomes[c.filename().native() + " " + u->crate] =
          result.cache_result() +
          (result.report ? " " + (*result.report)["cache"].dump() : std::string());
    }
  }
  EXPECT_EQ(testing::snapshot_diff(before, testing::snapshot_tree(cache, true)),
            std::vector<std::string>{});
  EXPECT_EQ(testing::snapshot_diff(before_empty, testing::snapshot_tree(dir / "empty-cache", true)),
            std::vector<std::string>{});
  std::cout << "[ figures  ] read-only cache outcomes:" << std::endl;
  for (const auto& [what, outcome] : outcomes)
    std::cout << "             " << what << ": " << outcome << std::endl;
}

// (c) Cache and outputs on different file systems: no hard links, copies.
TEST_F(FaultCache, CacheOnAnotherFileSystemRestoresIdenticalBytes) {
  fs::path other = "/dev/shm";
  Mounted mounted;
  std::optional<TempDir> shm_dir;
  fs::path cache;
  if (fs::is_directory(other) && device_of(other) != device_of(dir.path()) &&
      ::access(other.c_str(), W_OK) == 0) {
    cache = other / ("kelv-fault-" + std::to_string(::getpid()) + "-" +
                     std::to_string(std::random_device{}()));
  } else if (::geteuid() == 0 && !mounted.tmpfs(dir / "other-fs", 64 << 20)) {
    cache = dir / "other-fs/cache";
  } else {
    GTEST_SKIP() << "no second file system for the cache (/dev/shm is on the same device as "
                 << dir.path() << " and mounting a tmpfs is not permitted)";
  }
  struct Cleanup {
    fs::path path;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } cleanup{cache.parent_path() == "/dev/shm" ? cache : fs::path()};
  fs::create_directories(cache);
  ASSERT_NE(device_of(cache), device_of(dir.path()));

  const fs::path first = dir / "out/first";
  for (const CrateUnit* u : {&alpha, &beta, &zeta}) {
    auto stored = unit(*u, cache, first);
    expect_compiler_result(*u, first, stored, "storing " + u->crate);
    EXPECT_EQ(stored.cache_result(), "stored") << u->crate << ": " << stored.describe();
  }
  // The entries are copies, not links to the outputs.
  size_t stored_files = 0;
  for (const std::string& name : testing::entry_names(cache)) {
    for (const auto& e : fs::directory_iterator(cache / "e" / name)) {
      struct stat st;
      ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode)) << e.path();
      EXPECT_EQ(st.st_nlink, 1u) << e.path();
      ++stored_files;
    }
  }
  EXPECT_GE(stored_files, 3u * 3u);
  expect_whole_entries(cache, "after storing");
  // The original outputs go away; a lookup elsewhere restores the same bytes.
  fs::remove_all(first);
  const fs::path second = dir / "out/second";
  for (const CrateUnit* u : {&alpha, &beta, &zeta}) {
    auto hit = unit(*u, cache, second);
    expect_compiler_result(*u, second, hit, "restoring " + u->crate);
    EXPECT_EQ(hit.cache_result(), "hit") << u->crate << ": " << hit.describe();
  }
  struct stat st;
  ASSERT_EQ(::stat((second / "zeta-zz").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(testing::run({.argv = {(second / "zeta-zz").native()}}).out, "13\n");
  for (const std::string& left : testing::leftover_temporaries(cache))
    ADD_FAILURE() << "left behind " << left;
}

// (d) Wrappers killed at random moments, many of them in the middle of a
// store: no partial entry is ever published, nothing wrong is restored, and
// what a dead process left in tmp/ does not get in the way.
TEST_F(FaultCache, KilledWrappersNeverLeaveAWrongEntry) {
  constexpr int kVariants = 4;
  constexpr int kIterations = 12;  // per cache
  std::vector<CrateUnit> variants;
  for (int v = 0; v < kVariants; ++v)
    variants.push_back(CrateUnit{.crate = "blob", .metadata = "m" + std::to_string(v)});
  for (const CrateUnit& u : variants) reference(u);

  std::vector<fs::path> caches = {dir / "cache"};
  std::optional<fs::path> shm_cache;
  if (device_of("/dev/shm") != 0 && device_of("/dev/shm") != device_of(dir.path()) &&
      ::access("/dev/shm", W_OK) == 0) {
    shm_cache = fs::path("/dev/shm") / ("kelv-fault-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(std::random_device{}()));
    caches.push_back(*shm_cache);  // copies instead of links: a slower store
  }
  struct Cleanup {
    std::optional<fs::path> path;
    ~Cleanup() {
      std::error_code ec;
      if (path) fs::remove_all(*path, ec);
    }
  } cleanup{shm_cache};

  std::mt19937 rng(std::random_device{}());
  int kills = 0, kills_in_store = 0, kills_in_other_phases = 0, finished_before_kill = 0;
  int next_hits = 0, next_stored = 0;
  for (const fs::path& cache : caches) {
    fs::create_directories(cache);
    // How long one uninterrupted miss and store takes.
    const auto t0 = std::chrono::steady_clock::now();
    auto calibration =
        unit(CrateUnit{.crate = "blob", .metadata = "calibrate"}, cache, dir / "out/calibrate");
    ASSERT_EQ(calibration.outcome.exit_code, 0) << calibration.describe();
    const auto full_run = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - t0);

    for (int i = 0; i < kIterations; ++i) {
      const CrateUnit& u = variants[static_cast<size_t>(i) % variants.size()];
      const bool aim_at_store = i % 3 != 0;
      if (aim_at_store) {
        // Make sure this run stores: discard the variant's entries.
        for (const std::string& name : testing::entry_names(cache)) {
          if (fs::exists(cache / "e" / name / ("lib" + u.stem() + ".rlib")))
            artifact_cache::discard(cache, cache / "e" / name);
        }
      }
      const fs::path out = dir / "out" / ("kill-" + std::to_string(kills));
      const fs::path events = dir / "events" / ("kill-" + std::to_string(kills));
      fs::create_directories(out);
      fs::create_directories(events);
      testing::write_file(events / "wrapper.settings", testing::cache_settings(cache));
      testing::Run command;
      command.argv = {testing::wrapper_exe().native(), ctx.compiler};
      for (const std::string& a : u.args(out)) command.argv.push_back(a);
      command.cwd = ctx.project;
      command.env = {{"KELV_EVENT_DIR", events.native()},
                     {"KELV_HOME", ctx.kelv_home.native()},
                     {"CARGO_MANIFEST_DIR", ctx.project.native()},
                     {"OUT_DIR", std::nullopt}};
      testing::Process wrapper(command, ctx.logs);
      const std::string own_tmp_suffix = "-" + std::to_string(wrapper.pid());
      bool in_store = false;
      if (aim_at_store) {
        // Wait for the store's temporary directory, then kill a moment later.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (wrapper.running() && std::chrono::steady_clock::now() < deadline) {
          bool seen = false;
          std::error_code ec;
          for (auto it = fs::directory_iterator(cache / "tmp", ec); !ec && it != fs::end(it);
               it.increment(ec))
            if (it->path().filename().native().ends_with(own_tmp_suffix)) seen = true;
          if (seen) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
            break;
          }
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
      } else {
        std::this_thread::sleep_for(
            std::chrono::microseconds(rng() % static_cast<uint64_t>(full_run.count() + 1)));
      }
      const bool was_running = wrapper.running();
      wrapper.kill_group();
      (void)wrapper.wait(std::chrono::seconds(30));
      if (was_running) {
        ++kills;
        std::error_code ec;
        for (auto it = fs::directory_iterator(cache / "tmp", ec); !ec && it != fs::end(it);
             it.increment(ec))
          if (it->path().filename().native().ends_with(own_tmp_suffix)) in_store = true;
        if (in_store)
          ++kills_in_store;
        else
          ++kills_in_other_phases;
      } else {
        ++finished_before_kill;
      }
      fs::remove_all(events);

      // Every published entry is whole.
      expect_whole_entries(cache, "after kill " + std::to_string(i));
      // The next build of the same unit, in the same output directory, works
      // and ends with the compiler's result.
      auto next = unit(u, cache, out);
      expect_compiler_result(u, out, next, "build after kill " + std::to_string(i));
      if (next.cache_result() == "hit") ++next_hits;
      if (next.cache_result() == "stored") ++next_stored;
      // And elsewhere, from the cache alone.
      const fs::path elsewhere = dir / "out" / ("elsewhere-" + std::to_string(i));
      auto looked = unit(u, cache, elsewhere);
      expect_compiler_result(u, elsewhere, looked, "lookup after kill " + std::to_string(i));
      EXPECT_EQ(looked.cache_result(), "hit") << "after kill " << i << ": " << looked.describe();
      fs::remove_all(elsewhere);
    }
    // What the killed processes left in tmp/ does not stop anything: after
    // discarding everything, every unit stores again and then hits.
    const auto leftovers = testing::leftover_temporaries(cache);
    for (const std::string& name : testing::entry_names(cache))
      artifact_cache::discard(cache, cache / "e" / name);
    for (const CrateUnit& u : variants) {
      const fs::path out = dir / "out" / ("final-" + u.stem());
      auto stored = unit(u, cache, out);
      expect_compiler_result(u, out, stored, "final store " + u.stem());
      EXPECT_EQ(stored.cache_result(), "stored") << stored.describe();
      const fs::path out2 = dir / "out" / ("final-hit-" + u.stem());
      auto hit = unit(u, cache, out2);
      expect_compiler_result(u, out2, hit, "final hit " + u.stem());
      EXPECT_EQ(hit.cache_result(), "hit") << hit.describe();
    }
    expect_whole_entries(cache, "at the end");
    std::cout << "[ figures  ] cache " << cache << " (one run " << full_run.count() / 1000
              << " ms): " << leftovers.size() << " leftovers of killed processes:";
    for (size_t k = 0; k < leftovers.size() && k < 5; ++k) std::cout << " " << leftovers[k];
    std::cout << (leftovers.size() > 5 ? " ..." : "") << std::endl;
    fs::remove_all(dir / "out");
  }
  std::cout << "[ figures  ] " << kills << " wrappers killed (" << kills_in_store
            << " with their store's temporary directory present, " << kills_in_other_phases
            << " in other phases), " << finished_before_kill
            << " finished before the kill; next builds: " << next_hits << " hits, " << next_stored
            << " stored; every output compared with a fresh compilation" << std::endl;
  RecordProperty("kills", kills);
  RecordProperty("kills_in_store", kills_in_store);
  EXPECT_GT(kills_in_store, 5);
}

// A compiler whose child outlives it and keeps standard error open: the
// wrapper stops waiting for the rest of the output, shows what it kept, and
// does not store a unit whose diagnostics it may not have whole.
TEST_F(FaultCache, OutputHeldOpenByAGrandchildIsShownAndNotStored) {
  const fs::path cache = dir / "cache";
  testing::write_file(dir / "bin/rustc", "#!/bin/sh\n" + testing::real_rustc() +
                                             " \"$@\"; s=$?\n"
                                             "case \" $* \" in *\" --crate-name beta \"*)\n"
                                             "  echo 'plain text from the compiler' >&2\n"
                                             "  sleep 9 &\n;;\nesac\nexit $s\n");
  ::chmod((dir / "bin/rustc").c_str(), 0755);
  ctx.compiler = (dir / "bin/rustc").string();
  auto lingering = unit(beta, cache, dir / "out1");
  EXPECT_EQ(lingering.outcome.exit_code, 0) << lingering.describe();
  EXPECT_NE(lingering.outcome.err.find("unused variable"), std::string::npos)
      << lingering.outcome.err;
  EXPECT_NE(lingering.outcome.err.find("plain text from the compiler"), std::string::npos)
      << lingering.outcome.err;
  ASSERT_TRUE(lingering.report.has_value());
  EXPECT_NE((*lingering.report)["cache"].value("not_stored", "").find("not captured whole"),
            std::string::npos)
      << lingering.report->dump();

  // A clean rebuild compiles again and shows the same warnings.
  ctx.compiler = testing::real_rustc();
  auto rebuilt = unit(beta, cache, dir / "out2");
  EXPECT_EQ(rebuilt.cache_result(), "stored") << rebuilt.describe();
  EXPECT_NE(rebuilt.outcome.err.find("unused variable"), std::string::npos) << rebuilt.outcome.err;
}

}  // namespace
}  // namespace kelv
