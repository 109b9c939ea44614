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
#include "support/world.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::CrateUnit;

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

// A private directory on /dev/shm when that is another file system than `dir`'s.
std::optional<fs::path> shm_dir(const fs::path& dir) {
  if (!fs::is_directory("/dev/shm") || device_of("/dev/shm") == device_of(dir) ||
      ::access("/dev/shm", W_OK) != 0)
    return std::nullopt;
  return fs::path("/dev/shm") / ("kelv-fault-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(std::random_device{}()));
}

// Removes a directory with everything in it when dropped.
struct Removed {
  std::optional<fs::path> path;
  ~Removed() {
    std::error_code ec;
    if (path) fs::remove_all(*path, ec);
  }
};

class FaultCache : public ::testing::Test, protected testing::World {
 protected:
  void SetUp() override {
    // Large outputs: storing them takes long enough to be interrupted.
    write_sources({{"alpha", testing::library_source(300)},
                   {"blob", testing::library_source(300) +
                                "pub static BLOB: [u8; 1500000] = [7; 1500000];\n"},
                   {"beta", testing::warning_library_source},
                   {"zeta", testing::alpha_printer_source}});
  }

  void expect_whole_entries(const fs::path& cache, const std::string& where) {
    for (const auto& p : testing::check_entries(cache))
      ADD_FAILURE() << where << ": entry " << p.entry << " " << p.file << ": " << p.what;
  }

  const CrateUnit alpha = testing::lib("alpha");
  const CrateUnit beta = testing::lib("beta");
  const CrateUnit zeta = testing::bin("zeta", "zz").linking(alpha);
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
    auto first = checked_unit(alpha, cache, out, where + ", storing");
    if (first.cache_result() == "stored") {
      ++stored;
    } else {
      ++refused;
      if (first.report) reasons[(*first.report)["cache"].value("not_stored", "?")]++;
    }
    // Still full: whatever a lookup restores is right.
    const fs::path again = dir / "out" / (std::to_string(level_index) + "-full");
    auto looked = checked_unit(alpha, cache, again, where + ", lookup while full");
    if (looked.cache_result() == "hit") ++hits;
    // Space again: the same.
    fs::remove(filler);
    const fs::path later = dir / "out" / (std::to_string(level_index) + "-later");
    auto freed = checked_unit(alpha, cache, later, where + ", lookup with space");
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
  // A cache with one stored unit, and a second cache not made yet.
  auto populated = checked_unit(alpha, cache, dir / "out/populate", "populating");
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
        fs::copy_file(dir / "out" / ("ro-" + std::to_string(n - 3)) / alpha.rlib(),
                      out / alpha.rlib());
      }
      auto result = checked_unit(*u, c, out, c.filename().native() + " " + u->crate);
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
  Mounted mounted;
  const Removed shm{shm_dir(dir.path())};
  if (!shm.path && (::geteuid() != 0 || mounted.tmpfs(dir / "other-fs", 64 << 20)))
    GTEST_SKIP() << "no second file system for the cache (/dev/shm is on the same device as "
                 << dir.path() << " and mounting a tmpfs is not permitted)";
  const fs::path cache = shm.path ? *shm.path : dir / "other-fs/cache";
  fs::create_directories(cache);
  ASSERT_NE(device_of(cache), device_of(dir.path()));

  const fs::path first = dir / "out/first";
  for (const CrateUnit* u : {&alpha, &beta, &zeta}) {
    auto stored = checked_unit(*u, cache, first, "storing " + u->crate);
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
    auto hit = checked_unit(*u, cache, second, "restoring " + u->crate);
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
    variants.push_back(testing::lib("blob", "m" + std::to_string(v)));
  for (const CrateUnit& u : variants) reference(u);

  const Removed shm{shm_dir(dir.path())};
  std::vector<fs::path> caches = {cache};
  if (shm.path) caches.push_back(*shm.path);  // copies instead of links: a slower store

  std::mt19937 rng(std::random_device{}());
  int kills = 0, kills_in_store = 0, kills_in_other_phases = 0, finished_before_kill = 0;
  int next_hits = 0, next_stored = 0;
  for (const fs::path& cache : caches) {
    fs::create_directories(cache);
    // How long one uninterrupted miss and store takes.
    const auto t0 = std::chrono::steady_clock::now();
    auto calibration = unit(testing::lib("blob", "calibrate"), cache, dir / "out/calibrate");
    ASSERT_EQ(calibration.outcome.exit_code, 0) << calibration.describe();
    const auto full_run = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - t0);

    for (int i = 0; i < kIterations; ++i) {
      const CrateUnit& u = variants[static_cast<size_t>(i) % variants.size()];
      const bool aim_at_store = i % 3 != 0;
      if (aim_at_store) {
        // Make sure this run stores: discard the variant's entries.
        for (const std::string& name : testing::entry_names(cache)) {
          if (fs::exists(cache / "e" / name / u.rlib()))
            artifact_cache::discard(cache, cache / "e" / name);
        }
      }
      const fs::path out = dir / "out" / ("kill-" + std::to_string(kills));
      const fs::path events = dir / "events" / ("kill-" + std::to_string(kills));
      fs::create_directories(out);
      fs::create_directories(events);
      testing::write_file(events / "wrapper.settings", testing::cache_settings(cache));
      testing::Process wrapper(testing::unit_request(ctx, events, u.args(out)), ctx.logs);
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
      auto next = checked_unit(u, cache, out, "build after kill " + std::to_string(i));
      if (next.cache_result() == "hit") ++next_hits;
      if (next.cache_result() == "stored") ++next_stored;
      // And elsewhere, from the cache alone.
      const fs::path elsewhere = dir / "out" / ("elsewhere-" + std::to_string(i));
      auto looked = checked_unit(u, cache, elsewhere, "lookup after kill " + std::to_string(i));
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
      auto stored = checked_unit(u, cache, out, "final store " + u.stem());
      EXPECT_EQ(stored.cache_result(), "stored") << stored.describe();
      const fs::path out2 = dir / "out" / ("final-hit-" + u.stem());
      auto hit = checked_unit(u, cache, out2, "final hit " + u.stem());
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
  testing::write_script(dir / "bin/rustc", testing::real_rustc() +
                                               " \"$@\"; s=$?\n"
                                               "case \" $* \" in *\" --crate-name beta \"*)\n"
                                               "  echo 'plain text from the compiler' >&2\n"
                                               "  sleep 9 &\n;;\nesac\nexit $s\n");
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
