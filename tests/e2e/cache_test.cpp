// The artifact cache under real cargo: a clean rebuild of the realistic
// workspace is replayed from the cache, and edits miss exactly where they must.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/world.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;

class Cache : public ::testing::Test, protected testing::World {
 protected:
  void SetUp() override {
    copy_fixture();
    // A stand-in compiler that logs every unit it is asked to compile.
    testing::write_script(dir / "bin/rustc",
                          "for a in \"$@\"; do case \"$a\" in metadata=*) "
                          "echo \"$*\" >> " +
                              (dir / "compiled").string() + ";; esac; done\nexec " +
                              testing::real_rustc() + " \"$@\"\n");
    settings(testing::cache_settings(cache));
  }

  testing::Outcome build(std::vector<std::string> args = {"build"}, testing::Env env = {}) {
    fs::remove(dir / "compiled");
    env.emplace("RUSTC", (dir / "bin/rustc").string());
    env.emplace("KELV_FIXTURE_BANNER", std::nullopt);
    args.push_back("--offline");
    return World::build(args, env);
  }

  // The crate names of the units that reached the compiler.
  std::vector<std::string> compiled() {
    std::vector<std::string> names;
    if (!fs::exists(dir / "compiled")) return names;
    std::istringstream in(testing::read_file(dir / "compiled"));
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      for (std::string w; words >> w;) {
        if (w == "--crate-name" && words >> w) names.push_back(w);
      }
    }
    return names;
  }

  std::map<std::string, std::string> snapshot(const fs::path& deps) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(deps))
      if (e.is_regular_file()) files[e.path().filename()] = testing::read_file(e.path());
    return files;
  }

  std::string run_orchard() { return run_binary("orchard").out; }
};

TEST_F(Cache, CleanRebuildIsReplayedAndEditsMissExactlyWhereTheyMust) {
  auto cold = build();
  ASSERT_EQ(cold.exit_code, 0) << cold.err;
  EXPECT_GT(compiled().size(), 20u);
  const std::string expected_output = run_orchard();
  ASSERT_NE(expected_output.find("== orchard harvest report =="), std::string::npos);
  const auto stored = snapshot(project / "target/debug/deps");

  auto clean = cargo({"clean"});
  ASSERT_EQ(clean.exit_code, 0);
  auto warm = build();
  ASSERT_EQ(warm.exit_code, 0) << warm.err;
  EXPECT_EQ(compiled(), std::vector<std::string>{}) << "every scheduled unit should be replayed";
  EXPECT_EQ(run_orchard(), expected_output);
  const auto restored = snapshot(project / "target/debug/deps");
  size_t compared = 0;
  for (const auto& [name, bytes] : restored) {
    auto it = stored.find(name);
    if (it == stored.end()) continue;
    EXPECT_EQ(bytes, it->second) << name;
    ++compared;
  }
  EXPECT_GT(compared, 40u);

  // A source edit misses for that crate and what depends on it; reverting
  // it hits again.
  const fs::path ledger = project / "ledger/src/lib.rs";
  const std::string original = testing::read_file(ledger);
  testing::write_file(ledger, original + "\npub fn kelv_probe() -> u32 { 7 }\n");
  auto edited = build();
  ASSERT_EQ(edited.exit_code, 0) << edited.err;
  auto names = compiled();
  EXPECT_NE(std::find(names.begin(), names.end(), "orchard_ledger"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "orchard_model"), names.end());
  testing::write_file(ledger, original);
  auto reverted = build();
  ASSERT_EQ(reverted.exit_code, 0) << reverted.err;
  names = compiled();
  EXPECT_EQ(std::find(names.begin(), names.end(), "orchard_ledger"), names.end());
  EXPECT_EQ(run_orchard(), expected_output);

  // A compile-time variable read with option_env! keys the crate that reads it.
  auto banner = build({"build"}, {{"KELV_FIXTURE_BANNER", "kelv"}});
  ASSERT_EQ(banner.exit_code, 0) << banner.err;
  names = compiled();
  EXPECT_NE(std::find(names.begin(), names.end(), "orchard"), names.end());
  EXPECT_NE(run_orchard().find("== kelv =="), std::string::npos);
  auto unset = build();
  ASSERT_EQ(unset.exit_code, 0);
  EXPECT_EQ(compiled(), std::vector<std::string>{});
  EXPECT_EQ(run_orchard(), expected_output);

  auto tests = build({"test"});
  EXPECT_EQ(tests.exit_code, 0) << tests.err;
}

TEST_F(Cache, CorruptedEntryIsDiscardedAndTheUnitCompiled) {
  ASSERT_EQ(build().exit_code, 0);
  // Flip a byte in every stored rlib.
  size_t corrupted = 0;
  for (const auto& e : fs::recursive_directory_iterator(cache / "e")) {
    if (e.path().extension() != ".rlib") continue;
    std::string bytes = testing::read_file(e.path());
    bytes[bytes.size() / 2] ^= 0x55;
    fs::remove(e.path());  // stored files are hard links to the outputs
    testing::write_file(e.path(), bytes);
    ++corrupted;
  }
  ASSERT_GT(corrupted, 5u);
  ASSERT_EQ(cargo({"clean"}).exit_code, 0);
  auto rebuilt = build();
  ASSERT_EQ(rebuilt.exit_code, 0) << rebuilt.err;
  EXPECT_GT(compiled().size(), 5u);
  EXPECT_NE(run_orchard().find("== orchard harvest report =="), std::string::npos);
  // The damaged entries were replaced by fresh ones: a further clean build hits.
  ASSERT_EQ(cargo({"clean"}).exit_code, 0);
  ASSERT_EQ(build().exit_code, 0);
  EXPECT_EQ(compiled(), std::vector<std::string>{});
  for (const auto& e : fs::directory_iterator(cache / "tmp"))
    ADD_FAILURE() << "left in tmp/: " << e.path();
}

// Unstable features compile only under RUSTC_BOOTSTRAP: what was stored with
// it must not be replayed for a build without it.
TEST_F(Cache, UnitThatNeedsRustcBootstrapIsNotReplayedWithoutIt) {
  testing::World small;
  small.write_small_workspace();
  small.settings(testing::cache_settings(small.cache));
  const fs::path lib = small.project / "greet/src/lib.rs";
  testing::write_file(lib, "#![feature(never_type)]\npub fn never() -> Option<!> { None }\n" +
                               testing::read_file(lib));
  const testing::Env with_bootstrap = {{"RUSTC_BOOTSTRAP", "1"}};
  auto allowed = small.build({"build"}, with_bootstrap);
  ASSERT_EQ(allowed.exit_code, 0) << allowed.err;

  auto plain =
      small.cargo({"build"}, {{"CARGO_TARGET_DIR", (small.dir / "plain").string()}}, false);
  ASSERT_EQ(small.cargo({"clean"}).exit_code, 0);
  auto refused = small.build();
  EXPECT_EQ(refused.exit_code, plain.exit_code);
  EXPECT_NE(plain.exit_code, 0);
  EXPECT_NE(refused.err.find("error[E0554]"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.substr(refused.err.find("error[")),
            plain.err.substr(plain.err.find("error[")));

  // With it again, the stored unit is replayed.
  ASSERT_EQ(small.cargo({"clean"}).exit_code, 0);
  EXPECT_EQ(small.build({"build"}, with_bootstrap).exit_code, 0);
  const auto greet = small.find_report("greet");
  ASSERT_TRUE(greet.has_value());
  EXPECT_EQ((*greet)["cache"].value("result", ""), "hit") << greet->dump();
}

// Crates with C inside, through `kelv cargo`: ring and bundled SQLite
// (static libraries their build scripts compile), zlib found where the
// linker looks by itself, and a path crate with a C file of its own.
class NativeCrates : public ::testing::Test, protected testing::World {
 protected:
  void SetUp() override {
#if defined(KELV_SANITIZED)
    // Minutes of C and Rust compilation, and the wrapper's keying of native
    // libraries is checked by the unit tests in this build.
    GTEST_SKIP() << "builds the native fixture in the optimised build only";
#endif
    copy_fixture("native");
    // The system's zlib, as a copy where the C compiler driver looks before
    // the system's directories (the multiarch folder of LIBRARY_PATH), so
    // that it can be replaced.
    fs::create_directories(zlib().parent_path());
    fs::copy_file(fs::canonical("/usr/lib/x86_64-linux-gnu/libz.so"), zlib());
    env_ = {{"LIBRARY_PATH", (dir / "zlib").string()}};
  }
  fs::path zlib() const {
    return dir / "zlib/x86_64-linux-gnu/libz.so";
  }
  testing::Outcome build() {
    return kelv({"cargo", "build", "--offline"}, env_);
  }
  testing::Outcome clean() {
    return cargo({"clean"}, env_, false);
  }
  // The numbers of kelv's summary line that follow `what`.
  static size_t count(const std::string& summary, const std::string& what) {
    std::smatch m;
    if (!std::regex_search(summary, m, std::regex("(\\d+) " + what))) return 0;
    return std::stoul(m[1]);
  }

  testing::Env env_;
};

TEST_F(NativeCrates, ReplayedWholeAndMissedWhereTheCChanged) {
  auto plain = cargo({"build", "--offline"}, env_, false);
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const std::string expected = run_binary("native-app").out;
  ASSERT_NE(expected.find("cfast=228"), std::string::npos) << expected;
  ASSERT_EQ(clean().exit_code, 0);

  auto cold = build();
  ASSERT_EQ(cold.exit_code, 0) << cold.err;
  const size_t runs = count(cold.err, "compiler runs");
  ASSERT_GT(runs, 15u) << cold.err;
  EXPECT_EQ(count(cold.err, "compiled"), runs) << cold.err;

  ASSERT_EQ(clean().exit_code, 0);
  auto warm = build();
  ASSERT_EQ(warm.exit_code, 0) << warm.err;
  EXPECT_EQ(count(warm.err, "replayed from the cache"), runs) << warm.err;
  EXPECT_EQ(warm.err.find("not cached"), std::string::npos) << warm.err;
  // Every C compilation of the build scripts came from ccache.
  const size_t c_compilations = count(cold.err, "compilations from the cache");
  EXPECT_GT(c_compilations, 20u) << cold.err;
  EXPECT_NE(warm.err.find(fmt::format("C/C++: {0} of {0} compilations", c_compilations)),
            std::string::npos)
      << warm.err;
  EXPECT_EQ(run_binary("native-app").out, expected);

  // One C file of the path crate: that crate and the binary, nothing else.
  const fs::path c_file = project / "cfast/csrc/mix.c";
  testing::write_file(c_file, "unsigned int cfast_mix(unsigned int x) { return x * 31u + 12u; }\n");
  auto edited = build();
  ASSERT_EQ(edited.exit_code, 0) << edited.err;
  EXPECT_EQ(count(edited.err, "compiler runs"), 2u) << edited.err;
  EXPECT_EQ(count(edited.err, "compiled"), 2u) << edited.err;
  EXPECT_NE(run_binary("native-app").out.find("cfast=229"), std::string::npos);

  // zlib replaced by other bytes (still a library that links): what links
  // it misses, the rest is replayed.
  ASSERT_EQ(clean().exit_code, 0);
  testing::write_file(zlib(), testing::read_file(zlib()) + "kelv");
  auto relinked = build();
  ASSERT_EQ(relinked.exit_code, 0) << relinked.err;
  EXPECT_EQ(count(relinked.err, "compiled"), 2u) << relinked.err;
  EXPECT_EQ(count(relinked.err, "replayed from the cache"), runs - 2) << relinked.err;
}

}  // namespace
}  // namespace kelv
