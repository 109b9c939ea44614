// The wrapper under real cargo with nothing to do but pass units through.
#include <gtest/gtest.h>

#include "support/cargo_project.h"

namespace kelv {
namespace {

using testing::cargo;
using testing::TempDir;

void expect_hello_runs(const testing::fs::path& dir) {
  auto run = testing::run({.argv = {(dir / "target/debug/hello").string()}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "hello, world\n");
}

TEST(PlainBuild, BuildsWithoutEventDirectory) {
  TempDir dir;
  testing::write_small_workspace(dir.path());
  auto build = cargo(dir.path(), {"build"});
  ASSERT_EQ(build.exit_code, 0) << build.err;
  expect_hello_runs(dir.path());
  auto test = cargo(dir.path(), {"test"});
  EXPECT_EQ(test.exit_code, 0) << test.err;
  EXPECT_NE(test.out.find("test tests::greets ... ok"), std::string::npos) << test.out;
}

TEST(PlainBuild, BuildsWithEventDirectoryWithoutSettings) {
  TempDir dir;
  testing::write_small_workspace(dir.path());
  testing::fs::create_directories(dir / "events");
  auto build = cargo(dir.path(), {"build"}, {{"KELV_EVENT_DIR", (dir / "events").string()}});
  ASSERT_EQ(build.exit_code, 0) << build.err;
  expect_hello_runs(dir.path());
}

TEST(PlainBuild, BuildsWithValidSettings) {
  TempDir dir;
  testing::write_small_workspace(dir.path());
  testing::write_file(dir / "events/wrapper.settings",
                      R"({"artifact_cache": null, "min_link_store_ns": 0, "early_cutoff": false})");
  auto build = cargo(dir.path(), {"build"}, {{"KELV_EVENT_DIR", (dir / "events").string()}});
  ASSERT_EQ(build.exit_code, 0) << build.err;
  expect_hello_runs(dir.path());
}

TEST(PlainBuild, InvalidSettingsStopTheBuild) {
  TempDir dir;
  testing::write_small_workspace(dir.path());
  testing::write_file(dir / "events/wrapper.settings",
                      R"({"min_link_store_ns": 0, "early_cutoff": false, "extra": 1})");
  auto build = cargo(dir.path(), {"build"}, {{"KELV_EVENT_DIR", (dir / "events").string()}});
  EXPECT_NE(build.exit_code, 0);
  const std::string expected =
      "FAIL " + (dir / "events/wrapper.settings").string() +
      " is not valid wrapper settings (unknown field `extra`, expected one of `artifact_cache`, "
      "`frontend_threads`, `min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir` at line "
      "1 column 55); the kelv and kelv-rustc-wrapper binaries may be from different versions";
  EXPECT_NE(build.err.find(expected), std::string::npos) << build.err;
  EXPECT_NE(build.err.find("exit status: 2"), std::string::npos) << build.err;
  EXPECT_FALSE(testing::fs::exists(dir / "target/debug/hello"));
}

// A compile error looks exactly the same to Cargo with and without the wrapper.
TEST(PlainBuild, CompileErrorsReachCargoUnchanged) {
  TempDir dir;
  testing::write_small_workspace(dir.path());
  testing::write_file(dir / "greet/src/lib.rs", "pub fn greeting(name: &str) -> String { name }\n");
  auto direct = cargo(dir.path(), {"build", "--message-format=short"}, {}, false);
  testing::fs::remove_all(dir / "target");
  auto wrapped = cargo(dir.path(), {"build", "--message-format=short"});
  EXPECT_EQ(direct.exit_code, 101);
  EXPECT_EQ(wrapped.exit_code, direct.exit_code);
  EXPECT_EQ(wrapped.err, direct.err);
  EXPECT_NE(wrapped.err.find("error[E0308]"), std::string::npos) << wrapped.err;

  auto json = cargo(dir.path(), {"build", "--message-format=json"});
  EXPECT_EQ(json.exit_code, 101);
  EXPECT_NE(json.out.find("\"reason\":\"compiler-message\""), std::string::npos);
}

}  // namespace
}  // namespace kelv
