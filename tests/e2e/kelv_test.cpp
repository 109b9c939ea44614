// The companion command `kelv` driving real cargo builds through the wrapper.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>

#include "support/servers.h"
#include "support/world.h"
#include "util/files.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;

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

class Kelv : public ::testing::Test, protected testing::World {
 protected:
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
    testing::write_file(dir / "ws/app/src/main.rs", "fn main() {\n    let mut total = 0;\n" + uses +
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

  // Builds the workspace once and bounds the cache to `sets` times what that
  // stored, the number of bytes spelt as `spelling` has it ("{}B" as a text).
  uint64_t bounded_workspace(double sets, std::string_view spelling) {
    write_workspace();
    EXPECT_EQ(kelv({"cargo", "build"}).exit_code, 0);
    const auto bound = static_cast<uint64_t>(
        static_cast<double>(cache_bytes(dir / "home/cache/artifacts")) * sets);
    testing::write_file(
        dir / "home/config.json",
        fmt::format(R"({{"max_cache_size": {}}})", fmt::format(fmt::runtime(spelling), bound)));
    return bound;
  }

  // The settings kelv wrote for its only build since the events were cleared.
  util::Json only_settings() {
    std::vector<fs::path> builds;
    for (const auto& e : fs::directory_iterator(dir / "home/events")) builds.push_back(e.path());
    EXPECT_EQ(builds.size(), 1u);
    if (builds.empty()) return nullptr;
    return util::read_json(builds[0] / "wrapper.settings").value_or(nullptr);
  }
};

TEST_F(Kelv, SecondBuildIsReplayedAndReported) {
  write_small_workspace();
  auto first = kelv({"cargo", "build"});
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_NE(first.err.find("OK   kelv: 2 compiler runs: 2 compiled"), std::string::npos)
      << first.err;
  EXPECT_NE(first.err.find("Finished `dev` profile"), std::string::npos);

  ASSERT_EQ(cargo({"clean"}).exit_code, 0);
  // As Cargo's external subcommand, found on PATH beside kelv.
  const std::string path =
      testing::wrapper_exe().parent_path().string() + ":" + std::getenv("PATH");
  auto second = testing::run({.argv = {"cargo", "kelv", "build"},
                              .env = {{"PATH", path},
                                      {"KELV_HOME", kelv_home.string()},
                                      {"CARGO_TARGET_DIR", (project / "target").string()},
                                      {"RUSTC_WRAPPER", std::nullopt}},
                              .cwd = project});
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_NE(second.err.find("OK   kelv: 2 compiler runs: 2 replayed from the cache; about "),
            std::string::npos)
      << second.err;
  EXPECT_EQ(run_binary("hello").out, "hello, world\n");

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

// A package whose library reads a file with include_str!, a module file and
// a build script's input, a program printing what the library holds, and
// one printing the package's directory as a proc-macro found it (no
// variable the compiler records).
void write_paths_package(const fs::path& dir) {
  testing::write_file(dir / "Cargo.toml",
                      "[package]\nname = \"paths\"\nversion = \"0.1.0\"\nedition = \"2021\"\n"
                      "[dependencies]\nhere = { path = \"here\" }\n");
  testing::write_file(dir / "here/Cargo.toml",
                      "[package]\nname = \"here\"\nversion = \"0.1.0\"\nedition = \"2021\"\n"
                      "[lib]\nproc-macro = true\n");
  testing::write_file(dir / "here/src/lib.rs",
                      "#[proc_macro]\npub fn here(_: proc_macro::TokenStream) -> "
                      "proc_macro::TokenStream {\n    format!(\"{:?}\", "
                      "std::env::var(\"CARGO_MANIFEST_DIR\").unwrap()).parse().unwrap()\n}\n");
  testing::write_file(
      dir / "build.rs",
      "fn main() {\n    println!(\"cargo:rerun-if-changed=input.txt\");\n"
      "    let text = std::fs::read_to_string(\"input.txt\").unwrap();\n"
      "    let out = std::env::var(\"OUT_DIR\").unwrap();\n"
      "    std::fs::write(format!(\"{out}/gen.rs\"), format!(\"pub const GENERATED: "
      "&str = {:?};\", text.trim())).unwrap();\n}\n");
  testing::write_file(dir / "input.txt", "generated one\n");
  testing::write_file(dir / "src/note.txt", "note one");
  testing::write_file(dir / "src/part.rs", "pub const PART: &str = \"part one\";\n");
  testing::write_file(dir / "src/lib.rs",
                      "mod part;\npub use part::PART;\n"
                      "pub const NOTE: &str = include_str!(\"note.txt\");\n"
                      "include!(concat!(env!(\"OUT_DIR\"), \"/gen.rs\"));\n");
  testing::write_file(dir / "src/bin/show.rs",
                      "fn main() {\n    println!(\"{} / {} / {}\", paths::NOTE, paths::PART, "
                      "paths::GENERATED);\n}\n");
  testing::write_file(dir / "src/bin/whereami.rs",
                      "fn main() {\n    println!(\"{}\", here::here!());\n}\n");
}

TEST_F(Kelv, CheckoutsAtOtherPathsShareOnlyWhatDoesNotNameThem) {
  const fs::path first = project, second = dir / "deeper/path/to/second";
  write_paths_package(first);
  write_paths_package(second);
  const auto configure = [&](bool on) {
    testing::write_file(kelv_home / "config.json",
                        fmt::format(R"({{"path_independent": {}}})", on ? "true" : "false"));
  };
  // Builds a checkout; what each unit's cache did ("hit", "stored", ...).
  const auto build_at = [&](const fs::path& at) {
    auto built = kelv({"cargo", "build"}, {{"CARGO_TARGET_DIR", (at / "target").string()}}, at);
    EXPECT_EQ(built.exit_code, 0) << built.err;
    std::map<std::string, std::string> cache;
    auto report = util::parse_json(kelv({"report", "--json"}).out);
    if (report)
      for (const auto& u : (*report)["units"])
        cache[u["crate"].get<std::string>()] = u["cache"].get<std::string>();
    return cache;
  };
  const auto run_at = [&](const fs::path& at, const std::string& program) {
    return testing::run({.argv = {(at / "target/debug" / program).string()}}).out;
  };

  // Without the setting: no remaps, today's keys, nothing shared.
  configure(false);
  build_at(first);
  auto apart = build_at(second);
  EXPECT_EQ(apart["paths"], "stored");
  EXPECT_EQ(apart["show"], "stored");

  configure(true);
  fs::remove_all(first / "target");
  fs::remove_all(second / "target");
  build_at(first);
  auto shared = build_at(second);
  EXPECT_EQ(shared["paths"], "hit");
  EXPECT_EQ(shared["show"], "hit");
  EXPECT_EQ(shared["build_script_build (paths)"], "hit");
  EXPECT_EQ(shared["here"], "hit");
  // Its program holds its directory: stored for its own checkout only.
  EXPECT_EQ(shared["whereami"], "stored");
  EXPECT_EQ(run_at(second, "whereami"), second.string() + "\n");
  EXPECT_EQ(run_at(second, "show"), "note one / part one / generated one\n");
  const std::string report = kelv({"report"}).out;
  EXPECT_NE(report.find("stored bound to this checkout's paths:\n  whereami: whereami-"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("holds " + second.string()), std::string::npos) << report;
  // Cargo tracks the second checkout's own files.
  for (const auto& e : fs::directory_iterator(second / "target/debug/deps")) {
    if (e.path().extension() != ".d") continue;
    EXPECT_EQ(testing::read_file(e.path()).find(first.string()), std::string::npos) << e.path();
  }

  // What it replayed is what its own cold build makes.
  const std::string replayed = testing::read_file(second / "target/debug/show");
  testing::write_file(kelv_home / "config.json",
                      fmt::format(R"({{"path_independent": true, "artifact_cache": "{}"}})",
                                  (dir / "own-cache").string()));
  fs::remove_all(second / "target");
  EXPECT_EQ(build_at(second)["show"], "stored");
  EXPECT_EQ(testing::read_file(second / "target/debug/show"), replayed);

  // A file that differs between the checkouts is never read from the other's entry.
  configure(true);
  for (const char* file : {"src/note.txt", "src/part.rs", "input.txt"}) {
    SCOPED_TRACE(file);
    const std::string original = testing::read_file(second / file);
    std::string edited = original;
    edited.replace(edited.find("one"), 3, "two");
    testing::write_file(second / file, edited);
    EXPECT_EQ(build_at(second)["paths"], "stored");
    EXPECT_NE(run_at(second, "show").find("two"), std::string::npos);
    testing::write_file(second / file, original);
  }
}

TEST_F(Kelv, CargoExitStatusAndOutputPassThrough) {
  write_small_workspace();
  testing::write_file(dir / "ws/greet/src/lib.rs", "pub fn broken() -> u32 { \"x\" }\n");
  auto failed = kelv({"cargo", "build"});
  EXPECT_EQ(failed.exit_code, 101);
  EXPECT_NE(failed.err.find("error[E0308]"), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find("NOTE kelv: 1 compiler run: 1 failed\n"), std::string::npos)
      << failed.err;
}

TEST_F(Kelv, TrimKeepsTheMostRecentlyHitEntriesWhileABuildRuns) {
  write_workspace();
  ASSERT_EQ(kelv({"cargo", "build"}).exit_code, 0);
  auto entries = entries_by_crate();
  ASSERT_EQ(entries.size(), 5u);
  // Hit alpha and beta again: cargo rebuilds them and the binary from the cache.
  ASSERT_EQ(cargo({"clean", "-p", "alpha", "-p", "beta"}).exit_code, 0);
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
  ASSERT_EQ(cargo({"clean"}).exit_code, 0);
  const std::vector<std::vector<std::string>> commands = {
      {"cargo", "build"}, {"cache", "trim", "--max-size", std::to_string(limit)}};
  const auto ran = testing::race(commands.size(), [&](size_t i) { return kelv(commands[i]); });
  const testing::Outcome &concurrent = ran[0], &trimmed = ran[1];
  ASSERT_EQ(trimmed.exit_code, 0) << trimmed.err;
  EXPECT_EQ(concurrent.exit_code, 0) << concurrent.err;
  EXPECT_EQ(run_binary("app").out, "total 19\n");

  // The concurrent build may have stored entries again; what the trim kept
  // of the old ones is what counts: the recently hit entries survived.
  for (const char* crate : {"alpha", "beta", "app"})
    EXPECT_TRUE(fs::exists(entries[crate])) << crate;
  EXPECT_NE(trimmed.err.find("OK   removed 2 of 5 entries"), std::string::npos) << trimmed.err;
  auto stats = kelv({"cache", "stats"});
  EXPECT_EQ(stats.exit_code, 0);
  EXPECT_NE(stats.out.find("entries"), std::string::npos);
}

// Each build with other flags stores a new set of entries; the cache stays
// within max_cache_size after every one, keeping the newest.
TEST_F(Kelv, CacheStaysWithinItsBoundBuildAfterBuild) {
  const fs::path cache = dir / "home/cache/artifacts";
  const uint64_t bound = bounded_workspace(2.5, R"("{}B")");
  size_t trims = 0;
  for (int i = 0; i < 6; ++i) {
    auto built = kelv({"cargo", "build"}, {{"RUSTFLAGS", "--cfg v" + std::to_string(i)}});
    ASSERT_EQ(built.exit_code, 0) << built.err;
    trims += built.err.find("; cache trimmed to ") != std::string::npos;
    EXPECT_LE(cache_bytes(cache), bound) << built.err;
  }
  EXPECT_GE(trims, 2u);
  ASSERT_EQ(cargo({"clean"}).exit_code, 0);
  auto newest = kelv({"cargo", "build"}, {{"RUSTFLAGS", "--cfg v5"}});
  EXPECT_NE(newest.err.find(": 5 replayed from the cache"), std::string::npos) << newest.err;
  auto stats = kelv({"cache", "stats"});
  EXPECT_NE(stats.out.find("\nlast trim      20"), std::string::npos) << stats.out;
}

// Three builds at once into their own target directories, sharing one cache
// with room for little more than one set of entries: they replay what the
// others stored while trims remove it, and none of them fails.
TEST_F(Kelv, ConcurrentBuildsWithASmallBound) {
  const fs::path cache = dir / "home/cache/artifacts";
  const uint64_t bound = bounded_workspace(1.5, "{}");
  size_t trims = 0;
  for (const char* flags : {"--cfg a", "--cfg b", "--cfg a", "--cfg b"}) {
    const auto ran = testing::race(3, [&](size_t i) {
      const std::string target = (dir / ("target" + std::to_string(i))).string();
      (void)testing::run({.argv = {"cargo", "clean", "--target-dir", target}, .cwd = project});
      auto built = kelv({"cargo", "build"}, {{"RUSTFLAGS", flags}, {"CARGO_TARGET_DIR", target}});
      built.out = testing::run({.argv = {target + "/debug/app"}}).out;
      return built;
    });
    for (const testing::Outcome& built : ran) {
      trims += built.err.find("; cache trimmed to ") != std::string::npos;
      EXPECT_EQ(built.exit_code, 0) << built.err;
      EXPECT_EQ(built.err.find("failed"), std::string::npos) << built.err;
      EXPECT_EQ(built.out, "total 19\n");
    }
    EXPECT_LE(cache_bytes(cache), bound);
  }
  EXPECT_GE(trims, 3u);
}

// Wherever the build's target directory is chosen, the wrapper is told the one
// Cargo really uses, as an absolute path. kelv runs in a member's directory,
// so that paths relative to the working directory and to the workspace differ.
TEST_F(Kelv, SettingsNameTheTargetDirectoryCargoUses) {
  write_small_workspace();
  struct Case {
    const char* name;
    std::vector<std::string> args;  // after `kelv`; "{dir}" is the test's directory
    testing::Env env;
    std::string config;    // ws/.cargo/config.toml, when not empty
    std::string expected;  // below the test's directory
    int status = 0;
  };
  const std::vector<Case> cases = {
      {"--target-dir, relative", {"cargo", "build", "--target-dir", "out"}, {}, "", "ws/hello/out"},
      {"--target-dir, absolute", {"cargo", "build", "--target-dir", "{dir}/abs"}, {}, "", "abs"},
      {"--target-dir=", {"cargo", "build", "--target-dir=eq"}, {}, "", "ws/hello/eq"},
      {"CARGO_TARGET_DIR, relative",
       {"cargo", "build"},
       {{"CARGO_TARGET_DIR", "env"}},
       "",
       "ws/hello/env"},
      {"CARGO_BUILD_TARGET_DIR",
       {"cargo", "build"},
       {{"CARGO_BUILD_TARGET_DIR", "build-env"}},
       "",
       "ws/hello/build-env"},
      {"build.target-dir in the workspace's configuration",
       {"cargo", "build"},
       {},
       "[build]\ntarget-dir = \"cfg\"\n",
       "ws/cfg"},
      {"--config build.target-dir",
       {"cargo", "build", "--config", "build.target-dir=\"cli\""},
       {},
       "",
       "ws/hello/cli"},
      {"--target-dir wins over the environment",
       {"cargo", "build", "--target-dir", "out2"},
       {{"CARGO_TARGET_DIR", "env"}},
       "",
       "ws/hello/out2"},
      {"CARGO_TARGET_DIR wins over --config",
       {"cargo", "build", "--config", "build.target-dir=\"cli\""},
       {{"CARGO_TARGET_DIR", "env"}},
       "",
       "ws/hello/env"},
      {"the default", {"cargo", "build"}, {}, "", "ws/target"},
      {"arguments of the program run are not cargo's",
       {"cargo", "run", "--", "--target-dir", "nowhere"},
       {},
       "",
       "ws/target"},
      {"without a manifest, the environment's choice",
       {"cargo", "build", "--manifest-path", "missing/Cargo.toml"},
       {{"CARGO_BUILD_TARGET_DIR", "fallback"}},
       "",
       "ws/hello/fallback",
       101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "home/events");
    fs::remove_all(dir / "ws/.cargo");
    if (!c.config.empty()) testing::write_file(dir / "ws/.cargo/config.toml", c.config);
    std::vector<std::string> args = c.args;
    for (std::string& a : args)
      if (a.starts_with("{dir}")) a = dir.path().string() + a.substr(5);
    testing::Env env = {{"CARGO_TARGET_DIR", std::nullopt},
                        {"CARGO_BUILD_TARGET_DIR", std::nullopt}};
    for (const auto& [name, value] : c.env) env[name] = value;
    auto built = kelv(args, env, dir / "ws/hello");
    ASSERT_EQ(built.exit_code, c.status) << built.err;
    EXPECT_EQ(only_settings()["target_dir"], (dir / c.expected).string());
    if (c.status == 0) {
      EXPECT_TRUE(fs::is_directory(dir / c.expected / "debug"));
    }
  }
}

// A wrapper the user had Cargo run keeps running, inside kelv's, and kelv
// says so. An empty variable or one naming kelv's own wrapper chains nothing;
// a wrapper named only in Cargo's configuration does not run, and kelv says
// that instead.
TEST_F(Kelv, UsersRustcWrapperIsChainedAndAnnounced) {
  write_small_workspace();
  const fs::path script = dir / "log-wrapper";
  testing::write_script(script, "echo \"$@\" >> \"$(dirname \"$0\")/wrapper.log\"\nexec \"$@\"\n");
  const std::string own = testing::wrapper_exe().string();
  struct Case {
    const char* name;
    testing::Env env;
    std::string config;  // ws/.cargo/config.toml, when not empty
    std::string line;    // kelv's line expected first; empty: none
    bool chained;
  };
  const std::string tail =
      " is chained: units run through it, without the artifact cache, the compiler driver or "
      "added options; unset ";
  const std::vector<Case> cases = {
      {"RUSTC_WRAPPER",
       {{"RUSTC_WRAPPER", script.string()}},
       "",
       "WARN kelv: RUSTC_WRAPPER \"" + script.string() + "\"" + tail +
           "RUSTC_WRAPPER to have them\n",
       true},
      {"RUSTC_WRAPPER, relative",
       {{"RUSTC_WRAPPER", "../log-wrapper"}},
       "",
       "WARN kelv: RUSTC_WRAPPER \"" + (dir / "ws/../log-wrapper").string() + "\"" + tail +
           "RUSTC_WRAPPER to have them\n",
       true},
      {"CARGO_BUILD_RUSTC_WRAPPER",
       {{"CARGO_BUILD_RUSTC_WRAPPER", script.string()}},
       "",
       "WARN kelv: CARGO_BUILD_RUSTC_WRAPPER \"" + script.string() + "\"" + tail +
           "CARGO_BUILD_RUSTC_WRAPPER to have them\n",
       true},
      {"build.rustc-wrapper in the workspace's configuration",
       {},
       "[build]\nrustc-wrapper = \"../log-wrapper\"\n",
       "WARN kelv: build.rustc-wrapper (" + (dir / "ws/.cargo/config.toml").string() +
           ") does not run: kelv's wrapper takes its place; set RUSTC_WRAPPER to it to have it "
           "chained\n",
       false},
      {"an empty RUSTC_WRAPPER, which Cargo takes for none",
       {{"RUSTC_WRAPPER", ""}, {"CARGO_BUILD_RUSTC_WRAPPER", script.string()}},
       "[build]\nrustc-wrapper = \"../log-wrapper\"\n",
       "",
       false},
      {"kelv's own wrapper", {{"RUSTC_WRAPPER", own}}, "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "ws/target");
    fs::remove_all(dir / "ws/.cargo");
    fs::remove(dir / "wrapper.log");
    if (!c.config.empty()) testing::write_file(dir / "ws/.cargo/config.toml", c.config);
    testing::Env env = c.env;
    env.emplace("CARGO_HOME", (dir / "cargo-home").string());  // no configuration of the machine's
    auto built = kelv({"cargo", "build"}, env);
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_EQ(run_binary("hello").out, "hello, world\n");
    if (c.line.empty())
      EXPECT_EQ(built.err.find("WARN kelv:"), std::string::npos) << built.err;
    else
      EXPECT_TRUE(built.err.starts_with(c.line)) << built.err;
    EXPECT_EQ(fs::exists(dir / "wrapper.log"), c.chained);
    if (!c.chained || !fs::exists(dir / "wrapper.log")) continue;
    const std::string log = testing::read_file(dir / "wrapper.log");
    for (const char* crate : {"greet", "hello"})
      EXPECT_NE(log.find(std::string("--crate-name ") + crate), std::string::npos) << log;
  }
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

  // A bound that is no size is told, and the default holds.
  for (const char* bad : {R"("lots")", "-5", R"({"G":1})"}) {
    testing::write_file(dir / "home/config.json",
                        std::string(R"({"max_cache_size": )") + bad + "}");
    auto warned = kelv({"cache", "stats"});
    EXPECT_EQ(warned.exit_code, 0) << warned.err;
    EXPECT_EQ(warned.err,
              "WARN kelv: " + (dir / "home/config.json").string() + ": max_cache_size " + bad +
                  R"( is not a size (examples: "500M", "10G"); the cache is kept within 10.0 GiB)"
                  "\n");
    EXPECT_NE(warned.out.find("\nlimit          10.0 GiB ("), std::string::npos) << warned.out;
  }

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

// C that a build script compiles with the cc crate (the native fixture's
// `cfast`, alone in a workspace) under `kelv cargo`.
class KelvCcache : public Kelv {
 protected:
  void SetUp() override {
    const fs::path native = testing::source_dir() / "tests/fixtures/native";
    fs::create_directories(project);
    fs::copy(native / "cfast", project / "cfast", fs::copy_options::recursive);
    fs::copy_file(native / "Cargo.lock", project / "Cargo.lock");  // Cargo drops the rest
    testing::write_file(project / "Cargo.toml",
                        "[workspace]\nmembers = [\"cfast\"]\nresolver = \"2\"\n");
  }

  // `kelv cargo build --offline`, with no compilers or target chosen unless
  // `env` chooses them.
  testing::Outcome kelv_build(testing::Env env = {}, std::vector<std::string> extra = {}) const {
    for (const char* name : {"CC", "CXX", "TARGET_CC", "HOST_CC", "TARGET_CXX", "HOST_CXX",
                             "CARGO_BUILD_TARGET", "CCACHE_DIR", "KELV_REMOTE_CACHE"})
      env.emplace(name, std::nullopt);
    std::vector<std::string> args = {"cargo", "build", "--offline"};
    args.insert(args.end(), extra.begin(), extra.end());
    return kelv(args, env);
  }
};

TEST_F(KelvCcache, BuildScriptsCIsCompiledThroughCcache) {
  auto first = kelv_build();
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_NE(first.err.find("; C/C++: 0 of 1 compilations from the cache\n"), std::string::npos)
      << first.err;
  EXPECT_TRUE(fs::is_directory(kelv_home / "ccache"));
  ASSERT_EQ(cargo({"clean"}).exit_code, 0);
  auto second = kelv_build();
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_NE(second.err.find("; C/C++: 1 of 1 compilations from the cache\n"), std::string::npos)
      << second.err;
}

// Compilers the user chose, and cross builds, keep their own compilers.
TEST_F(KelvCcache, UsersCompilersAndCrossBuildsAreLeftAlone) {
  const fs::path logged = dir / "logged-cc";
  testing::write_script(logged, "echo \"$@\" >> \"$0.log\"\nexec cc \"$@\"\n");
  const std::string vv = testing::run({.argv = {"rustc", "-vV"}}).out;
  const size_t at = vv.find("host: ") + 6;
  const std::string host = vv.substr(at, vv.find('\n', at) - at);
  std::string underscored = host;
  std::ranges::replace(underscored, '-', '_');
  struct Case {
    std::string name;
    testing::Env env;
    std::vector<std::string> args = {};
    bool logs = false;  // the user's compiler ran
  };
  const std::vector<Case> cases = {
      {"CC", {{"CC", logged.string()}}, {}, true},
      {"CC for the target", {{"CC_" + underscored, logged.string()}}, {}, true},
      {"HOST_CXX", {{"HOST_CXX", "c++"}}},
      {"--target", {}, {"--target", host}},
      {"CARGO_BUILD_TARGET", {{"CARGO_BUILD_TARGET", host}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "logged-cc.log");
    fs::remove_all(project / "target" / host);
    ASSERT_EQ(cargo({"clean", "-p", "cfast"}).exit_code, 0);
    auto built = kelv_build(c.env, c.args);
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_NE(built.err.find("OK   kelv: "), std::string::npos) << built.err;
    EXPECT_EQ(built.err.find("C/C++"), std::string::npos) << built.err;
    EXPECT_EQ(fs::exists(dir / "logged-cc.log"), c.logs);
  }
}

// Without ccache on PATH, a build whose scripts compile C says so once; a
// build without the cc crate says nothing.
TEST_F(KelvCcache, MissingCcacheIsToldOnlyWhenBuildScriptsCompileC) {
  const fs::path bin = dir / "bin";  // everything on PATH but ccache
  fs::create_directories(bin);
  std::istringstream path(std::getenv("PATH"));
  for (std::string entry; std::getline(path, entry, ':');) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(entry, ec))
      if (e.path().filename() != "ccache" && !fs::exists(bin / e.path().filename()))
        fs::create_symlink(e.path(), bin / e.path().filename(), ec);
  }
  const std::string note =
      "NOTE kelv: C/C++ from build scripts was compiled without a cache: install ccache (apt "
      "install ccache) to have it cached\n";
  auto with_c = kelv_build({{"PATH", bin.string()}});
  ASSERT_EQ(with_c.exit_code, 0) << with_c.err;
  const size_t first = with_c.err.find(note);
  EXPECT_NE(first, std::string::npos) << with_c.err;
  EXPECT_EQ(with_c.err.find(note, first + 1), std::string::npos) << with_c.err;

  fs::remove_all(project);
  write_small_workspace();
  auto pure = kelv({"cargo", "build"}, {{"PATH", bin.string()}});
  ASSERT_EQ(pure.exit_code, 0) << pure.err;
  EXPECT_EQ(pure.err.find("without a cache"), std::string::npos) << pure.err;
}

// With kelv's remote, ccache stores on the same server, under names of its
// own, with the same credentials; an empty home then has the C from there.
TEST_F(KelvCcache, CcacheSharesKelvsRemote) {
  const std::string password = "p:w%d@x";
  const testing::RedisServer redis({.password = password});
  const testing::DavServer dav({.user = "kelvuser", .password = password});
  struct Case {
    const char* name;
    std::string url;
    std::function<bool()> ccache_stored;
  };
  const std::vector<Case> cases = {
      {"redis", redis.url_with("", password),
       [&] {
         return std::ranges::any_of(redis.object_names(),
                                    [](const std::string& n) { return n.starts_with("ccache:"); });
       }},
      {"http", dav.url_with("kelvuser", password),
       [&] { return !dav.object_names("/cache/ccache").empty(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* expected : {"C/C++: 0 of 1 compilations", "C/C++: 1 of 1 compilations"}) {
      fs::remove_all(kelv_home);
      fs::remove_all(project / "target");
      auto built = kelv_build({{"KELV_REMOTE_CACHE", c.url}});
      ASSERT_EQ(built.exit_code, 0) << built.err;
      EXPECT_NE(built.err.find(expected), std::string::npos) << built.err;
      EXPECT_TRUE(c.ccache_stored());
    }
  }
}

// What `kelv report` makes of a build's reports, from reports written here:
// the one-line summary and the tables below it, for the shapes that the
// wrapper's reports take (older wrappers' among them).
class KelvSummary : public Kelv {
 protected:
  void SetUp() override { fs::create_directories(dir / "ws"); }

  // A compile report of a unit Cargo scheduled.
  util::Json unit(const std::string& crate, util::Json cache, uint64_t dur_ms = 100,
                  std::optional<int> exit_code = 0, const std::string& pkg = "") {
    return {{"v", 1},
            {"kind", "compile"},
            {"start_wall_ns", ++clock},
            {"dur_ns", dur_ms * 1000000},
            {"exit_code", exit_code ? util::Json(*exit_code) : util::Json(nullptr)},
            {"args",
             {"--crate-name", crate, "-C", "metadata=0123", "-C", "extra-filename=-0123",
              "--out-dir", "/t/debug/deps"}},
            {"env", {{"pkg_name", pkg.empty() ? crate : pkg}}},
            {"cache", std::move(cache)}};
  }

  static util::Json stored(const std::string& category, const std::string& detail) {
    return {{"result", "stored"}, {"miss", {{"category", category}, {"detail", detail}}}};
  }

  // Writes the reports into a build directory of their own; "kelv report DIR".
  testing::Outcome report_on(const std::vector<util::Json>& reports, const std::string& name) {
    const fs::path build = dir / "builds" / name;
    for (size_t i = 0; i < reports.size(); ++i)
      testing::write_file(build / ("0000000000000000000" + std::to_string(i) + "-1.json"),
                          reports[i].dump());
    return kelv({"report", build.string()});
  }

  uint64_t clock = 1000;
};

TEST_F(KelvSummary, LinesSayWhatWasCountedAndWhy) {
  const util::Json hit = {{"result", "hit"}, {"entry", "e"}, {"foreign_out_dir", nullptr}};
  util::Json timed_hit = hit;
  timed_hit["stored_compile_ns"] = 3000000000ull;
  const util::Json probe = {{"v", 1}, {"kind", "probe"}, {"start_wall_ns", 1}, {"dur_ns", 1}};
  util::Json own_probe = unit("build_script_build", {{"result", "stored"}});
  own_probe["args"] = {"--crate-name", "build_script_build", "--out-dir", "/tmp/probe"};
  struct Case {
    const char* name;
    std::vector<util::Json> reports;
    std::string times;  // $KELV_HOME/unit-times.json, when not empty
    std::vector<std::string> expected;
    std::vector<std::string> unexpected = {};
  };
  const std::vector<Case> cases = {
      {"build scripts are counted and named; probes are not",
       {unit("build_script_build", {{"result", "stored"}}, 100, 0, "serde"),
        unit("build_script_build", {{"result", "stored"}}, 100, 0, "libc"),
        unit("serde", {{"result", "stored"}}), probe, own_probe},
       "",
       {"\n3 compiler runs, 2 of them build scripts: 3 compiled\n"}},
      {"one build script",
       {unit("build_script_build", {{"result", "stored"}})},
       "",
       {"\n1 compiler run (a build script): 1 compiled\n"}},
      {"a failed unit is told once",
       {unit("greet", {{"result", "miss"}, {"not_stored", "the compilation failed"}}, 100, 1)},
       "",
       {"\n1 compiler run: 1 failed\n"}},
      {"misses grouped by category, the top culprit named",
       {unit("a", stored("input", "src/lib.rs")), unit("b", stored("input", "src/lib.rs")),
        unit("c", stored("input", "build.rs")), unit("d", stored("dependency", "alpha")),
        unit("e", {{"result", "hit"}})},
       "",
       {"\n5 compiler runs: 4 compiled, 1 replayed from the cache; 4 cache misses, 3 of them: an "
        "input changed (src/lib.rs)\n",
        "\ncompiled after a cache miss, by cause:\n     3  an input changed: src/lib.rs (2), "
        "build.rs\n     1  a dependency changed: alpha\n",
        "stored; missed: input src/lib.rs\n"}},
      {"one cause for all misses",
       {unit("a", stored("new", "")), unit("b", stored("new", "the entry was removed")),
        unit("c", {{"result", "miss"},
                   {"not_stored", "quick to link"},
                   {"miss", {{"category", "new"}, {"detail", ""}}}})},
       "",
       {"\n3 compiler runs: 3 compiled; 3 cache misses: not in the cache yet (the entry was "
        "removed); 1 not cached (quick to link: 1)\n"}},
      {"reports without miss reasons",
       {unit("a", {{"result", "stored"}})},
       "",
       {"\n1 compiler run: 1 compiled\n"},
       {"miss"}},
      {"reasons grouped by their category",
       {unit("a", {{"result", "off"}, {"reason", "reads /x"}, {"category", "outside"}}),
        unit("b", {{"result", "off"}, {"reason", "reads /y"}, {"category", "outside"}}),
        unit("c", {{"result", "miss"},
                   {"not_stored", "quick to link"},
                   {"not_stored_category", "quick"}})},
       "",
       {"; 3 not cached (outside: 2, quick to link: 1)\n",
        "\nnot cached:\n     2  outside: reads /x, reads /y\n     1  quick: quick to link\n"}},
      {"saved: the compile time the entry was stored with",
       {unit("a", timed_hit, 500)},
       "",
       {"\n1 compiler run: 1 replayed from the cache; about 2.5 s of compiler time saved\n"}},
      {"saved: times kept by an earlier build wherever the unit was built",
       {unit("greet", hit, 100), unit("hello", hit, 100)},
       R"({"greet-0123": 1500000000})",
       {"; about 1.4 s of compiler time saved (estimated for 1 of the 2 replayed)\n"}},
      {"saved: nothing said without an estimate",
       {unit("greet", hit, 100)},
       "",
       {"\n1 compiler run: 1 replayed from the cache\n"},
       {"saved"}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    fs::remove(dir / "home/unit-times.json");
    if (!c.times.empty()) testing::write_file(dir / "home/unit-times.json", c.times);
    auto shown = report_on(c.reports, std::to_string(i));
    ASSERT_EQ(shown.exit_code, 0) << shown.err;
    for (const std::string& text : c.expected)
      EXPECT_NE(shown.out.find(text), std::string::npos) << shown.out;
    for (const std::string& text : c.unexpected)
      EXPECT_EQ(shown.out.find(text), std::string::npos) << shown.out;
  }
}

// The table's columns hold whatever the length of a unit's name.
TEST_F(KelvSummary, TableColumnsHoldForLongNames) {
  auto shown = report_on(
      {unit("build_script_build", {{"result", "stored"}}, 2, 0, "proc-macro-error"),
       unit("a", {{"result", "hit"}}, 12345), unit("ünïcödé_ñame", {{"result", "stored"}}, 7)},
      "long");
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  std::istringstream lines(shown.out);
  std::string line;
  while (std::getline(lines, line) && !line.starts_with("unit ")) {
  }
  ASSERT_TRUE(line.starts_with("unit ")) << shown.out;
  const auto columns = [](const std::string& l) {
    std::u32string wide;  // one element per character
    for (size_t i = 0; i < l.size(); ++i)
      if ((static_cast<unsigned char>(l[i]) & 0xC0) != 0x80) wide.push_back(U'x');
    return wide.size();
  };
  const size_t road = columns(line.substr(0, line.find("road")));
  size_t rows = 0;
  while (std::getline(lines, line) && !line.empty()) {
    ++rows;
    const size_t at =
        line.find("  rustc") != std::string::npos ? line.find("  rustc") : line.find("  cache");
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_EQ(columns(line.substr(0, at + 2)), road) << shown.out;
    const std::string time = line.substr(0, at);  // right-aligned against the road column
    EXPECT_TRUE(time.ends_with(" ms") || time.ends_with(" s")) << line;
  }
  EXPECT_EQ(rows, 3u);
  EXPECT_NE(shown.out.find("\nbuild_script_build (proc-macro-error) "), std::string::npos)
      << shown.out;
}

// `kelv report` names the build it shows, the one that finished last, and
// the builds that ran at the same time.
TEST_F(KelvSummary, ReportNamesItsBuildAndConcurrentOnes) {
  struct Build {
    std::string name;
    uint64_t start, end;
    std::string cwd;
  };
  struct Case {
    const char* name;
    std::vector<Build> builds;
    std::string shown;                     // the build shown
    std::vector<std::string> overlapping;  // the builds named beside it
  };
  const std::vector<Case> cases = {
      {"two at once: the one that finished last, and the other",
       {{"00000000000000001000-1", 1000, 5000, "/ws/one"},
        {"00000000000000002000-2", 2000, 4000, "/ws/two"}},
       "00000000000000001000-1",
       {"00000000000000002000-2"}},
      {"one after the other",
       {{"00000000000000001000-1", 1000, 1500, "/ws/one"},
        {"00000000000000002000-2", 2000, 4000, "/ws/two"}},
       "00000000000000002000-2",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "home/events");
    for (const Build& b : c.builds) {
      const util::Json record = {{"v", 1},
                                 {"args", {"build", "--release"}},
                                 {"cwd", b.cwd},
                                 {"start_wall_ns", b.start},
                                 {"end_wall_ns", b.end}};
      testing::write_file(dir / "home/events" / b.name / "kelv-build.json", record.dump());
      testing::write_file(dir / "home/events" / b.name / "00000000000000000001-1.json",
                          unit("greet", {{"result", "stored"}}).dump());
    }
    auto shown = kelv({"report"});
    ASSERT_EQ(shown.exit_code, 0) << shown.err;
    const fs::path events = dir / "home/events";
    EXPECT_TRUE(shown.out.starts_with("build " + (events / c.shown).string() + "\n")) << shown.out;
    EXPECT_NE(shown.out.find("`cargo build --release` in /ws/"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("at the same time") != std::string::npos, !c.overlapping.empty())
        << shown.out;
    for (const std::string& other : c.overlapping)
      EXPECT_NE(shown.out.find("    " + (events / other).string() + ": `cargo build --release`"),
                std::string::npos)
          << shown.out;
    auto json = kelv({"report", "--json"});
    auto parsed = util::parse_json(json.out);
    ASSERT_TRUE(parsed.has_value()) << json.out;
    EXPECT_EQ((*parsed)["concurrent"].size(), c.overlapping.size());
  }
}

// After the build: nothing when Cargo is told to be quiet, one line when
// everything was fresh, and the build named by `kelv report`.
TEST_F(Kelv, SummaryFollowsCargosQuietAndFreshBuilds) {
  write_small_workspace();
  auto first = kelv({"cargo", "build"});
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_NE(first.err.find("OK   kelv: 2 compiler runs: 2 compiled"), std::string::npos)
      << first.err;
  auto fresh = kelv({"cargo", "build"});
  ASSERT_EQ(fresh.exit_code, 0) << fresh.err;
  EXPECT_NE(fresh.err.find("OK   kelv: nothing to compile: Cargo found every unit fresh\n"),
            std::string::npos)
      << fresh.err;
  auto metadata = kelv({"cargo", "metadata", "--format-version", "1", "--no-deps"});
  ASSERT_EQ(metadata.exit_code, 0) << metadata.err;
  EXPECT_EQ(metadata.err.find("kelv:"), std::string::npos) << metadata.err;

  auto shown = kelv({"report"});
  EXPECT_NE(shown.out.find("  `cargo metadata --format-version 1 --no-deps` in " +
                           (dir / "ws").string() + ", started "),
            std::string::npos)
      << shown.out;

  struct Case {
    const char* name;
    std::vector<std::string> args;
    testing::Env env;
    bool summary;
  };
  const std::vector<Case> cases = {
      {"-q", {"cargo", "build", "-q"}, {}, false},
      {"--quiet", {"cargo", "--quiet", "build"}, {}, false},
      {"CARGO_TERM_QUIET", {"cargo", "build"}, {{"CARGO_TERM_QUIET", "true"}}, false},
      {"-q of the program run", {"cargo", "run", "--", "-q"}, {}, true},
      {"not quiet", {"cargo", "build"}, {{"CARGO_TERM_QUIET", "false"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(cargo({"clean"}).exit_code, 0);
    auto built = kelv(c.args, c.env);
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_EQ(
        built.err.find("kelv: 2 compiler runs: 2 replayed from the cache") != std::string::npos,
        c.summary)
        << built.err;
  }
}

}  // namespace
}  // namespace kelv
