// The wrapper under real cargo with nothing to do but pass units through.
#include <gtest/gtest.h>

#include "support/world.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;

class PlainBuild : public ::testing::Test, protected testing::World {
 protected:
  void SetUp() override { write_small_workspace(); }

  void expect_hello_runs() {
    auto run = run_binary("hello");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "hello, world\n");
  }
};

TEST_F(PlainBuild, BuildsWithoutEventDirectory) {
  auto build = cargo({"build"});
  ASSERT_EQ(build.exit_code, 0) << build.err;
  expect_hello_runs();
  auto test = cargo({"test"});
  EXPECT_EQ(test.exit_code, 0) << test.err;
  EXPECT_NE(test.out.find("test tests::greets ... ok"), std::string::npos) << test.out;
}

TEST_F(PlainBuild, BuildsWithEventDirectoryWithoutSettings) {
  auto built = build();
  ASSERT_EQ(built.exit_code, 0) << built.err;
  expect_hello_runs();
}

TEST_F(PlainBuild, BuildsWithValidSettings) {
  settings(R"({"artifact_cache": null, "min_link_store_ns": 0, "early_cutoff": false})");
  auto built = build();
  ASSERT_EQ(built.exit_code, 0) << built.err;
  expect_hello_runs();
}

TEST_F(PlainBuild, InvalidSettingsStopTheBuild) {
  settings(R"({"min_link_store_ns": 0, "early_cutoff": false, "extra": 1})");
  auto built = build();
  EXPECT_NE(built.exit_code, 0);
  const std::string expected =
      "FAIL " + (events / "wrapper.settings").string() +
      " is not valid wrapper settings (unknown field `extra`, expected one of `artifact_cache`, "
      "`frontend_threads`, `min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, "
      "`path_independent` at line "
      "1 column 55); the kelv and kelv-rustc-wrapper binaries may be from different versions";
  EXPECT_NE(built.err.find(expected), std::string::npos) << built.err;
  EXPECT_NE(built.err.find("exit status: 2"), std::string::npos) << built.err;
  EXPECT_FALSE(fs::exists(project / "target/debug/hello"));
}

// A compile error looks exactly the same to Cargo with and without the wrapper.
TEST_F(PlainBuild, CompileErrorsReachCargoUnchanged) {
  testing::write_file(project / "greet/src/lib.rs",
                      "pub fn greeting(name: &str) -> String { name }\n");
  auto direct = cargo({"build", "--message-format=short"}, {}, false);
  fs::remove_all(project / "target");
  auto wrapped = cargo({"build", "--message-format=short"});
  EXPECT_EQ(direct.exit_code, 101);
  EXPECT_EQ(wrapped.exit_code, direct.exit_code);
  EXPECT_EQ(wrapped.err, direct.err);
  EXPECT_NE(wrapped.err.find("error[E0308]"), std::string::npos) << wrapped.err;

  auto json = cargo({"build", "--message-format=json"});
  EXPECT_EQ(json.exit_code, 101);
  EXPECT_NE(json.out.find("\"reason\":\"compiler-message\""), std::string::npos);
}

}  // namespace
}  // namespace kelv
