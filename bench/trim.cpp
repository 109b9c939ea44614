// What keeping the cache in bounds costs: a synthetic cache of many entries
// (default 100,000), each as a store leaves it (entry record, diagnostics,
// an rlib and an rmeta) with its key record and content memo, each last used
// at its own time. Prints the time of one walk, of the trim that takes the
// cache to half its size, and of the upkeep after a build that stays within
// the bound (no walk: only the running size is counted).
//
//   build/bench/bench_trim [entries]
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "artifact_cache/size_bound.h"
#include "support/testing.h"
#include "util/clock.h"

namespace fs = std::filesystem;
using namespace kelv;

namespace {

double seconds_since(uint64_t start) {
  return static_cast<double>(util::mono_ns() - start) / 1e9;
}

void make_cache(const fs::path& cache, size_t n, uint64_t now) {
  const std::string rlib(6000, 'r'), rmeta(2000, 'm');
  for (size_t i = 0; i < n; ++i) {
    const std::string name = fmt::format("{:032x}", i);
    const fs::path e = cache / "e" / name;
    testing::write_file(e / "libx.rlib", rlib);
    testing::write_file(e / "libx.rmeta", rmeta);
    testing::write_file(e / "stderr", "");
    testing::write_file(e / "entry.json", R"({"files": ["libx.rlib", "libx.rmeta"]})");
    testing::set_mtime(e / "entry.json", now - (n - i) * 1000000000ull);
    testing::write_file(cache / "m" / (name + ".json"), R"({"env_deps": [], "inputs": []})");
    testing::write_file(cache / "h" / (name + name), std::string(64, 'a') + "\n/gone\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  testing::TempDir dir;
  const fs::path cache = dir / "cache";
  const uint64_t now = util::now_wall_ns();
  uint64_t t = util::mono_ns();
  make_cache(cache, n, now);
  ::sync();  // the writeback of what was made is not the trim's cost
  std::printf("made %zu entries in %.1f s\n", n, seconds_since(t));

  t = util::mono_ns();
  const uint64_t total = artifact_cache::walk_cache(cache).total_bytes;
  std::printf("walk: %.1f MiB in %.2f s\n", static_cast<double>(total) / (1 << 20),
              seconds_since(t));

  t = util::mono_ns();
  artifact_cache::CacheWalk walk = artifact_cache::walk_cache(cache);
  const double walked = seconds_since(t);
  t = util::mono_ns();
  const auto trim = artifact_cache::trim_entries(cache, std::move(walk), total / 2);
  const double trimmed = seconds_since(t);
  t = util::mono_ns();
  const auto swept = artifact_cache::sweep_records(cache, now, trim.horizon_ns);
  std::printf(
      "trim to half: %zu of %zu entries removed, %.1f -> %.1f MiB, in %.2f s: "
      "walk %.2f s, removals %.2f s, sweep of %zu records %.2f s\n",
      trim.removed, trim.entries, static_cast<double>(trim.before) / (1 << 20),
      static_cast<double>(trim.after) / (1 << 20), walked + trimmed + seconds_since(t), walked,
      trimmed, swept.removed, seconds_since(t));

  constexpr int rounds = 1000;
  t = util::mono_ns();
  for (int i = 0; i < rounds; ++i)
    if (!artifact_cache::keep_in_bound(cache, total, 1000, now)) return 1;
  std::printf("upkeep of a build within the bound: %.0f us\n", seconds_since(t) * 1e6 / rounds);
  return 0;
}
