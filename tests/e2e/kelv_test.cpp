// The companion command `kelv` driving real cargo builds through the wrapper.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <thread>

#include "support/cargo_project.h"
#include "util/files.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

fs::path kelv_exe() { return testing::wrapper_exe().parent_path() / "kelv"; }

class Kelv : public ::testing::Test {
 protected:
  testing::Outcome kelv(std::vector<std::string> args,
                        std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), kelv_exe().string());
    env.emplace("KELV_HOME", (dir / "home").string());
    env.emplace("CARGO_TARGET_DIR", (dir / "ws/target").string());
    env.emplace("CARGO_TERM_COLOR", "never");
    env.emplace("RUSTC_WRAPPER", std::nullopt);
    env.emplace("KELV_EVENT_DIR", std::nullopt);
    return testing::run({.argv = args, .env = env, .cwd = dir / "ws"});
  }

  // A workspace of four small libraries and a binary using them all.
  void write_workspace() {
    std::string members, deps, uses;
    for (const char* lib : {"alpha", "beta", "gamma", "delta"}) {
      members += std::string("\"") + lib + "\", ";
      deps += std::string(lib) + " = { path = \"../" + lib + "\" }\n";
      uses += std::string("    total += ") + lib + "::value();\n";
      testing::write_file(dir / "ws" / lib / "Cargo.toml",
                          std::string("[package]\nname = \"") + lib +
                              "\"\nversion = \"0.1.0\"\nedition = \"2021\"\n");
      testing::write_file(dir / "ws" / lib / "src/lib.rs",
                          std::string("pub fn value() -> u64 { \"") + lib + "\".len() as u64 }\n");
    }
    testing::write_file(dir / "ws/Cargo.toml",
                        "[workspace]\nresolver = \"2\"\nmembers = [" + members + "\"app\"]\n");
    testing::write_file(dir / "ws/app/Cargo.toml",
                        "[package]\nname = \"app\"\nversion = \"0.1.0\"\nedition = \"2021\"\n\n"
                        "[dependencies]\n" +
                            deps);
    testing::write_file(dir / "ws/app/src/main.rs",
                        "fn main() {\n    let mut total = 0;\n" + uses +
                            "    println!(\"total {total}\");\n}\n");
  }

  std::map<std::string, fs::path> entries_by_crate() {
    std::map<std::string, fs::path> out;
    for (const auto& e : fs::directory_iterator(dir / "home/cache/artifacts/e")) {
      auto record = util::read_json(e.path() / "entry.json");
      if (!record) continue;
      for (const auto& f : (*record)["files"]) {
        const std::string name = f.get<std::string>();
        for (const char* crate : {"alpha", "beta", "gamma", "delta", "app"})
          if (name.starts_with(std::string("lib") + crate + "-") ||
              name.starts_with(std::string(crate) + "-"))
            out[crate] = e.path();
      }
    }
    return out;
  }

  TempDir dir;
};

uint64_t cache_bytes(const fs::path& dir) {
  std::set<std::pair<dev_t, ino_t>> seen;
  uint64_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    struct stat st;
    if (::lstat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        seen.emplace(st.st_dev, st.st_ino).second)
      total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

TEST_F(Kelv, SecondBuildIsReplayedAndReported) {
  testing::write_small_workspace(dir / "ws");
  auto first = kelv({"cargo", "build"});
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_NE(first.err.find("OK   kelv: 2 units: 2 compiled, 0 replayed from the cache"),
            std::string::npos)
      << first.err;
  EXPECT_NE(first.err.find("Finished `dev` profile"), std::string::npos);

  ASSERT_EQ(testing::cargo(dir / "ws", {"clean"}).exit_code, 0);
  auto second = kelv({"cargo", "build"});
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_NE(second.err.find("OK   kelv: 2 units: 0 compiled, 2 replayed from the cache"),
            std::string::npos)
      << second.err;
  EXPECT_EQ(testing::run({.argv = {(dir / "ws/target/debug/hello").string()}}).out,
            "hello, world\n");

  auto json = kelv({"report", "--json"});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  auto report = util::parse_json(json.out);
  ASSERT_TRUE(report.has_value()) << json.out;
  std::multiset<std::string> crates;
  for (const auto& u : (*report)["units"]) {
    crates.insert(u["crate"].get<std::string>());
    EXPECT_EQ(u["cache"], "hit");
  }
  EXPECT_EQ(crates, (std::multiset<std::string>{"greet", "hello"}));

  auto table = kelv({"report"});
  ASSERT_EQ(table.exit_code, 0);
  for (const char* crate : {"greet ", "hello "}) {
    const size_t first_at = table.out.find(std::string("\n") + crate);
    EXPECT_NE(first_at, std::string::npos) << table.out;
    EXPECT_EQ(table.out.find(std::string("\n") + crate, first_at + 1), std::string::npos)
        << table.out;
  }
}

TEST_F(Kelv, CargoExitStatusAndOutputPassThrough) {
  testing::write_small_workspace(dir / "ws");
  testing::write_file(dir / "ws/greet/src/lib.rs", "pub fn broken() -> u32 { \"x\" }\n");
  auto failed = kelv({"cargo", "build"});
  EXPECT_EQ(failed.exit_code, 101);
  EXPECT_NE(failed.err.find("error[E0308]"), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find("NOTE kelv: 1 units: 1 compiled, 0 replayed from the cache, 1 failed"),
            std::string::npos)
      << failed.err;
}

TEST_F(Kelv, TrimKeepsTheMostRecentlyHitEntriesWhileABuildRuns) {
  write_workspace();
  ASSERT_EQ(kelv({"cargo", "build"}).exit_code, 0);
  auto entries = entries_by_crate();
  ASSERT_EQ(entries.size(), 5u);
  // Hit alpha and beta again: cargo rebuilds them and the binary from the cache.
  ASSERT_EQ(testing::cargo(dir / "ws", {"clean", "-p", "alpha", "-p", "beta"}).exit_code, 0);
  auto hits = kelv({"cargo", "build"});
  ASSERT_EQ(hits.exit_code, 0) << hits.err;
  ASSERT_NE(hits.err.find("3 replayed from the cache"), std::string::npos) << hits.err;

  const fs::path cache = dir / "home/cache/artifacts";
  uint64_t old_bytes = 0, smallest_old = UINT64_MAX;
  for (const char* crate : {"gamma", "delta"}) {
    const uint64_t bytes = cache_bytes(entries[crate]);
    old_bytes += bytes;
    smallest_old = std::min(smallest_old, bytes);
  }
  const uint64_t total = cache_bytes(cache);
  const uint64_t limit = total - old_bytes + smallest_old / 2;

  // A clean build runs at the same time and must not notice.
  ASSERT_EQ(testing::cargo(dir / "ws", {"clean"}).exit_code, 0);
  testing::Outcome concurrent;
  std::thread build([&] { concurrent = kelv({"cargo", "build"}); });
  auto trimmed = kelv({"cache", "trim", "--max-size", std::to_string(limit)});
  build.join();
  ASSERT_EQ(trimmed.exit_code, 0) << trimmed.err;
  EXPECT_EQ(concurrent.exit_code, 0) << concurrent.err;
  EXPECT_EQ(testing::run({.argv = {(dir / "ws/target/debug/app").string()}}).out, "total 19\n");

  // The concurrent build may have stored entries again; what the trim kept
  // of the old ones is what counts: the recently hit entries survived.
  for (const char* crate : {"alpha", "beta", "app"}) EXPECT_TRUE(fs::exists(entries[crate])) << crate;
  EXPECT_NE(trimmed.err.find("OK   removed 2 of 5 entries"), std::string::npos) << trimmed.err;
  auto stats = kelv({"cache", "stats"});
  EXPECT_EQ(stats.exit_code, 0);
  EXPECT_NE(stats.out.find("entries"), std::string::npos);
}

TEST_F(Kelv, BadInputGivesOneFailLine) {
  fs::create_directories(dir / "ws");
  auto unknown = kelv({"frobnicate"});
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_TRUE(unknown.err.starts_with("FAIL unknown command `frobnicate`")) << unknown.err;
  EXPECT_EQ(std::count(unknown.err.begin(), unknown.err.end(), '\n'), 1);

  auto no_cargo = kelv({"cargo", "build"}, {{"PATH", "/nonexistent"}});
  EXPECT_NE(no_cargo.exit_code, 0);
  EXPECT_EQ(no_cargo.err, "FAIL cargo is not on PATH; install a Rust toolchain\n");

  fs::create_directories(dir / "home/config.json");
  auto unreadable = kelv({"cargo", "build"});
  EXPECT_NE(unreadable.exit_code, 0);
  EXPECT_EQ(unreadable.err, "FAIL cannot read " + (dir / "home/config.json").string() +
                                ": Is a directory (os error 21)\n");
  fs::remove(dir / "home/config.json");
  testing::write_file(dir / "home/config.json", "{\"early_cutoff\": \"yes\"}");
  auto invalid = kelv({"cache", "stats"});
  EXPECT_NE(invalid.exit_code, 0);
  EXPECT_TRUE(invalid.err.starts_with("FAIL " + (dir / "home/config.json").string() +
                                      " is not a valid kelv configuration"))
      << invalid.err;

  fs::remove(dir / "home/config.json");
  auto size = kelv({"cache", "trim", "--max-size", "lots"});
  EXPECT_NE(size.exit_code, 0);
  EXPECT_EQ(size.err, "FAIL `lots` is not a size (examples: 500M, 2G)\n");
}

// This machine's toolchains lack the compiler's own libraries.
TEST_F(Kelv, DriverBuildStopsWithoutRustcDev) {
  fs::create_directories(dir / "ws");
  auto built = kelv({"driver", "build"});
  EXPECT_EQ(built.exit_code, 1);
  EXPECT_TRUE(built.err.starts_with("FAIL the toolchain at ")) << built.err;
  EXPECT_NE(built.err.find("lacks the rustc-dev component"), std::string::npos);
  EXPECT_NE(built.err.find("rustup component add rustc-dev"), std::string::npos);
  EXPECT_EQ(std::count(built.err.begin(), built.err.end(), '\n'), 1);
  EXPECT_FALSE(fs::exists(dir / "home/cache/drivers"));
}

}  // namespace
}  // namespace kelv
