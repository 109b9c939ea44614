// Many wrapper processes sharing one artifact cache at once, while another
// thread keeps damaging and discarding its entries: every unit still ends
// with the compiler's own result, every hit restores exactly the bytes a
// fresh compilation writes, and the cache never shows a half-made entry.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "artifact_cache/lookup.h"
#include "support/world.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::CrateUnit;

constexpr int kWorkers = 16;
constexpr int kRounds = 5;  // with corruption, followed by a clean round and a hit-only round

// A crate whose source alternates between rounds: one key, two entries.
std::string gamma_source(int variant) {
  return "pub const VARIANT: u32 = " + std::to_string(variant) +
         ";\npub fn gamma(v: &[u32]) -> u32 { v.iter().map(|x| x ^ VARIANT).sum() }\n";
}

std::vector<CrateUnit> units() {
  const CrateUnit alpha = testing::lib("alpha");
  return {alpha, testing::lib("beta"), testing::lib("gamma"), testing::lib("delta").linking(alpha),
          testing::bin("zeta", "zz").linking(alpha)};
}

struct Figures {
  std::atomic<int> invocations{0}, lookups{0}, hits{0}, hits_under_corruption{0}, stored{0},
      misses{0}, off{0};
  std::atomic<int> corruptions{0}, truncations{0}, removals{0}, discards{0};
  std::atomic<int> restored_files_compared{0};
  std::atomic<int> running{0}, peak_running{0};
};

class StressCache : public ::testing::Test, protected testing::World {
 protected:
  void SetUp() override {
    write_sources(
        {{"alpha", testing::library_source(150)},
         {"beta", testing::warning_library_source},
         {"delta", "pub fn delta(x: u32) -> u32 { alpha::f(x) + alpha::f0(x as u64) as u32 }\n"},
         {"zeta", testing::alpha_printer_source}});
  }

  void write_gamma(int variant) { write_sources({{"gamma", gamma_source(variant)}}); }

  // Reference compilations without the wrapper, for both sources of gamma.
  void make_references() {
    for (int variant = 0; variant < 2; ++variant) {
      write_gamma(variant);
      for (const CrateUnit& unit : units()) {
        if (variant == 1 && unit.crate != "gamma") continue;
        const auto& ref = reference(unit, reference_name(unit.crate, variant));
        ASSERT_EQ(ref.exit_code, 0) << unit.crate << ": " << ref.stderr_text;
      }
    }
  }

  // The reference of a unit: gamma's differs between its two sources.
  static std::string reference_name(const std::string& crate, int gamma_variant) {
    return crate == "gamma" ? "gamma-" + std::to_string(gamma_variant) : "";
  }

  void fail(std::string text) {
    std::lock_guard lock(mutex);
    failures.push_back(std::move(text));
  }

  // One worker's round: every unit in order, into the worker's own output
  // directory, each unit's result checked against its reference.
  void work(int round, int worker, int gamma_variant, bool corrupting, bool expect_hits) {
    const fs::path out =
        dir / "out" / ("r" + std::to_string(round) + "-w" + std::to_string(worker));
    fs::create_directories(out);
    // Workers start a little apart, so that some look up what others store.
    std::this_thread::sleep_for(std::chrono::milliseconds(25 * worker));
    for (const CrateUnit& unit : units()) {
      const int now_running = ++figures.running;
      int peak = figures.peak_running;
      while (now_running > peak && !figures.peak_running.compare_exchange_weak(peak, now_running)) {
      }
      auto result = this->unit(unit, cache, out, {.limit = std::chrono::seconds(180)});
      --figures.running;
      const std::string where = "round " + std::to_string(round) + " worker " +
                                std::to_string(worker) + " unit " + unit.crate + ": ";
      ++figures.invocations;
      const std::string outcome = result.cache_result();
      if (outcome == "hit") ++figures.hits;
      if (outcome == "hit" && corrupting) ++figures.hits_under_corruption;
      if (outcome == "stored") ++figures.stored;
      if (outcome == "miss") ++figures.misses;
      if (outcome == "off") ++figures.off;
      if (outcome != "off" && !outcome.empty()) ++figures.lookups;
      if (result.timed_out || result.outcome.exit_code != 0) {
        fail(where + result.describe());
        return;  // what depends on this unit cannot be checked
      }
      if (expect_hits && outcome != "hit")
        fail(where + "expected a hit once the cache was left alone, got " + result.describe());
      if (outcome == "off" && unit.crate_type != "bin")
        fail(where + "the cache was off: " + result.describe());

      const testing::Reference& ref = reference(unit, reference_name(unit.crate, gamma_variant));
      const auto found = testing::differences(ref, out, result.outcome.err);
      for (const std::string& d : found) fail(where + "(cache " + outcome + ") " + d);
      if (found.empty() && outcome == "hit")
        figures.restored_files_compared += static_cast<int>(ref.outputs.size());
    }
  }

  // Damages and discards entries until told to stop. Stored files may be
  // hard links to some worker's outputs, so a damaged copy is renamed over
  // the stored file instead of writing into it.
  void corrupt(std::atomic<bool>& stop, unsigned seed) {
    std::mt19937 rng(seed);
    const fs::path scratch = dir / "scratch";
    fs::create_directories(scratch);
    int n = 0;
    while (!stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 200));
      const auto names = testing::entry_names(cache);
      if (names.empty()) continue;
      const std::string name = names[rng() % names.size()];
      const fs::path entry = cache / "e" / name;
      const unsigned action = rng() % 10;
      if (action >= 7) {
        if (artifact_cache::discard(cache, entry)) ++figures.discards;
        continue;
      }
      std::vector<std::string> stored;
      std::error_code ec;
      for (auto it = fs::directory_iterator(entry, ec); !ec && it != fs::end(it);
           it.increment(ec)) {
        const std::string file = it->path().filename().native();
        if (file != "entry.json" && file != "stderr") stored.push_back(file);
      }
      if (stored.empty()) continue;
      const std::string file = stored[rng() % stored.size()];
      if (action == 6) {
        {
          std::lock_guard lock(mutex);
          damaged.insert({name, file});
        }
        if (::unlink((entry / file).c_str()) == 0) ++figures.removals;
        continue;
      }
      auto bytes = util::read_file(entry / file);
      if (!bytes || bytes->empty()) continue;
      if (action == 5) {
        bytes->resize(bytes->size() / 2);
      } else {
        for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips)
          (*bytes)[rng() % bytes->size()] ^= static_cast<char>(1 + rng() % 255);
      }
      const fs::path temp = scratch / ("damaged-" + std::to_string(n++));
      testing::write_file(temp, *bytes);
      {
        std::lock_guard lock(mutex);
        damaged.insert({name, file});
      }
      if (::rename(temp.c_str(), (entry / file).c_str()) == 0) {
        if (action == 5)
          ++figures.truncations;
        else
          ++figures.corruptions;
      } else {
        fs::remove(temp, ec);
      }
    }
  }

  Figures figures;
  std::mutex mutex;
  std::vector<std::string> failures;
  std::set<std::pair<std::string, std::string>> damaged;  // entry, file
};

TEST_F(StressCache, ConcurrentStoresAndLookupsSurviveCorruptionAndDiscards) {
  make_references();
  if (HasFatalFailure()) return;

  const auto started = std::chrono::steady_clock::now();
  std::random_device seeds;
  const int total_rounds = kRounds + 2;
  for (int round = 0; round < total_rounds; ++round) {
    const bool corrupting = round < kRounds;
    const bool hit_only = round == total_rounds - 1;
    const int variant = hit_only ? (total_rounds - 2) % 2 : round % 2;
    write_gamma(variant);
    std::atomic<bool> stop{false};
    std::thread corrupter;
    if (corrupting) corrupter = std::thread([&, seed = seeds()] { corrupt(stop, seed); });
    testing::race(kWorkers, [&](size_t w) {
      work(round, static_cast<int>(w), variant, corrupting, hit_only);
    });
    stop = true;
    if (corrupter.joinable()) corrupter.join();
    fs::remove_all(dir / "out");
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  for (size_t i = 0; i < failures.size() && i < 20; ++i) ADD_FAILURE() << failures[i];
  EXPECT_EQ(failures.size(), 0u) << "failed checks in all";

  // No entry is partial, except where the corrupter damaged it.
  size_t damaged_found = 0;
  for (const auto& problem : testing::check_entries(cache)) {
    if (!problem.file.empty() && damaged.contains({problem.entry, problem.file})) {
      ++damaged_found;
      continue;
    }
    ADD_FAILURE() << "entry " << problem.entry << " " << problem.file << ": " << problem.what;
  }
  // Nothing is left behind by the finished processes.
  for (const std::string& left : testing::leftover_temporaries(cache))
    ADD_FAILURE() << "left behind: " << left;

  const size_t entries = testing::entry_names(cache).size();
  std::cout << "[ figures  ] " << total_rounds << " rounds x " << kWorkers
            << " concurrent workers x " << units().size() << " units in " << seconds
            << " s (at most " << figures.peak_running
            << " wrapper processes at once): " << figures.invocations << " invocations, "
            << figures.lookups << " lookups, " << figures.hits << " hits ("
            << figures.hits_under_corruption << " while the corrupter ran), " << figures.stored
            << " stored, " << figures.misses << " misses not stored, " << figures.off
            << " not cached; injected " << figures.corruptions << " byte corruptions, "
            << figures.truncations << " truncations, " << figures.removals << " removed files, "
            << figures.discards << " discards; restored files compared "
            << figures.restored_files_compared << "; entries at the end " << entries << " ("
            << damaged_found << " damaged files left by the corrupter)" << std::endl;
  RecordProperty("invocations", figures.invocations.load());
  RecordProperty("lookups", figures.lookups.load());
  RecordProperty("hits", figures.hits.load());
  RecordProperty("stored", figures.stored.load());
  RecordProperty("corruptions", figures.corruptions + figures.truncations + figures.removals);
  RecordProperty("discards", figures.discards.load());

  EXPECT_GE(figures.peak_running, kWorkers);
  EXPECT_GT(figures.hits, kWorkers * 5);
  EXPECT_GT(figures.stored, 5);
  EXPECT_GT(figures.corruptions + figures.truncations + figures.removals + figures.discards, 10);
}

}  // namespace
}  // namespace kelv
