// The options the wrapper adds from its settings, seen by the compiler that
// Cargo runs: a logging stand-in named rustc that records its arguments and
// RUSTC_BOOTSTRAP, then runs the real compiler.
#include <gtest/gtest.h>

#include <sstream>

#include "support/world.h"

namespace kelv {
namespace {

struct Logged {
  std::string bootstrap;
  std::vector<std::string> args;
  bool has(const std::string& a) const {
    return std::find(args.begin(), args.end(), a) != args.end();
  }
  std::string crate() const {
    for (size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == "--crate-name") return args[i + 1];
    return "";
  }
  bool compiles() const {
    return !crate().empty() && crate() != "___" &&
           std::any_of(args.begin(), args.end(),
                       [](const std::string& a) { return a.starts_with("metadata="); });
  }
};

class Options : public ::testing::Test, protected testing::World {
 protected:
  void SetUp() override {
    write_small_workspace();
    testing::write_script(dir / "bin/rustc",
                          "printf '%s\\n' \"RUSTC_BOOTSTRAP=${RUSTC_BOOTSTRAP-unset}\" \"$@\" "
                          "'--end--' >> " +
                              (dir / "log").string() + "\nexec " + testing::real_rustc() +
                              " \"$@\"\n");
    testing::fs::create_directories(dir / "linkers");
    settings(R"({"frontend_threads": 3, "linker_dir": ")" + (dir / "linkers").string() +
             R"(", "min_link_store_ns": 0, "early_cutoff": true})");
  }

  testing::Outcome build(testing::Env env = {}) {
    testing::fs::remove(dir / "log");
    env.emplace("RUSTC", (dir / "bin/rustc").string());
    env.emplace("CARGO_INCREMENTAL", "1");
    return World::build({"build"}, env);
  }

  std::vector<Logged> compilations() {
    std::vector<Logged> out;
    std::istringstream in(testing::read_file(dir / "log"));
    Logged current;
    for (std::string line; std::getline(in, line);) {
      if (line == "--end--") {
        if (current.compiles()) out.push_back(current);
        current = {};
      } else if (current.bootstrap.empty()) {
        current.bootstrap = line;
      } else {
        current.args.push_back(line);
      }
    }
    return out;
  }
};

TEST_F(Options, FreshBuildGetsThreadsAndAllowFeaturesAndStillWorks) {
  auto first = build();
  ASSERT_EQ(first.exit_code, 0) << first.err;
  auto units = compilations();
  ASSERT_EQ(units.size(), 2u);
  for (const Logged& u : units) {
    EXPECT_EQ(u.bootstrap, "RUSTC_BOOTSTRAP=1") << u.crate();
    EXPECT_TRUE(u.has("-Zthreads=3")) << u.crate();
    EXPECT_EQ(u.args.back(), "-Zallow-features=") << u.crate();
    // Only the linking unit gets the linker directory.
    EXPECT_EQ(u.has("-Clink-arg=-B" + (dir / "linkers").string()), u.crate() == "hello");
  }
  EXPECT_EQ(run_binary("hello").out, "hello, world\n");

  // An incremental rebuild has state to reuse: no thread option, but the
  // unstable options still need RUSTC_BOOTSTRAP.
  testing::write_file(project / "hello/src/main.rs",
                      "fn main() { println!(\"{}!\", greet::greeting(\"world\")); }\n");
  auto second = build();
  ASSERT_EQ(second.exit_code, 0) << second.err;
  auto rebuilt = compilations();
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_EQ(rebuilt[0].crate(), "hello");
  EXPECT_FALSE(rebuilt[0].has("-Zthreads=3"));
  EXPECT_EQ(rebuilt[0].bootstrap, "RUSTC_BOOTSTRAP=1");
  EXPECT_EQ(rebuilt[0].args.back(), "-Zallow-features=");
  EXPECT_EQ(run_binary("hello").out, "hello, world!\n");
}

TEST_F(Options, RustcBootstrapFromCargoSuppressesEveryAddedOption) {
  auto built = build({{"RUSTC_BOOTSTRAP", ""}});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  auto units = compilations();
  ASSERT_EQ(units.size(), 2u);
  for (const Logged& u : units) {
    EXPECT_EQ(u.bootstrap, "RUSTC_BOOTSTRAP=") << u.crate();
    for (const std::string& a : u.args) EXPECT_FALSE(a.starts_with("-Z")) << a;
    EXPECT_FALSE(u.has("-Clinker-features=-lld"));
  }
}

TEST_F(Options, ChainedWrapperGetsTheCommandLineUnchanged) {
  testing::write_script(dir / "bin/inner", "exec \"$@\"\n");
  auto built = build({{"KELV_INNER_WRAPPER", (dir / "bin/inner").string()}});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  for (const Logged& u : compilations()) {
    EXPECT_EQ(u.bootstrap, "RUSTC_BOOTSTRAP=unset");
    EXPECT_FALSE(u.has("-Zthreads=3"));
  }
}

TEST_F(Options, MissingChainedWrapperFailsOrFallsBackWithFailOpen) {
  const std::string inner = (dir / "bin/absent").string();
  auto failed = build({{"KELV_INNER_WRAPPER", inner}});
  EXPECT_NE(failed.exit_code, 0);
  EXPECT_NE(failed.err.find("FAIL could not execute \"" + inner +
                            "\": No such file or directory (os error 2)"),
            std::string::npos)
      << failed.err;

  auto open = build({{"KELV_INNER_WRAPPER", inner}, {"KELV_WRAPPER_FAIL", "open"}});
  EXPECT_EQ(open.exit_code, 0) << open.err;
  EXPECT_NE(open.err.find("WARN could not run rustc wrapper \"" + inner +
                          "\" (No such file or directory (os error 2)); compiling without it"),
            std::string::npos)
      << open.err;
}

}  // namespace
}  // namespace kelv
