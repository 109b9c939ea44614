#include "driver/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>

#include "driver/project_text.h"
#include "driver/rustc_info.h"
#include "support/testing.h"
#include "util/error.h"
#include "util/hash.h"
#include "util/paths.h"

namespace kelv {
namespace {

using testing::EnvVar;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

// KELV_HOME pointed at a fresh directory while alive; the previous value
// comes back when it is dropped.
class ScopedHome {
 public:
  const fs::path& path() const { return home_.path(); }
  fs::path drivers() const { return home_ / "cache" / "drivers"; }

 private:
  TempDir home_;
  EnvVar kelv_home_{"KELV_HOME", home_.path().string()};  // after home_: restored before removal
};

constexpr const char* kCommit = "0123456789abcdef0123456789abcdef01234567";
constexpr const char* kHost = "x86_64-unknown-linux-gnu";

std::string version_text(std::string_view commit, std::string_view host) {
  return "rustc 1.95.0 (0123456789ab 2026-01-01)\nbinary: rustc\ncommit-hash: " +
         std::string(commit) + "\ncommit-date: 2026-01-01\nhost: " + std::string(host) +
         "\nrelease: 1.95.0\n";
}

rustc_info::Compiler compiler_at(const fs::path& sysroot, std::string_view commit = kCommit,
                                 std::string_view host = kHost) {
  return {version_text(commit, host), sysroot};
}

// A unit failure name as the wrapper forms it.
std::string unit(std::string_view out_dir, std::string_view crate_and_extra) {
  return util::key_digest({out_dir, crate_and_extra});
}

bool is_hex32(const std::string& s) {
  return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// ------------------------------------------------------------ source digest

TEST(DriverSource, CarriedProjectIsTheDriverProjectVerbatim) {
  const fs::path project = testing::source_dir() / "driver_project";
  EXPECT_EQ(driver::manifest_text, read_file(project / "Cargo.toml"));
  EXPECT_EQ(driver::main_rs_text, read_file(project / "src" / "main.rs"));
  EXPECT_EQ(driver::early_link_rs_text, read_file(project / "src" / "early_link.rs"));
}

TEST(DriverSource, DigestOfProjectAndCanonicalSysroot) {
  TempDir sysroot;
  const std::string expected =
      util::key_digest({driver::manifest_text, "main.rs", driver::main_rs_text, "early_link.rs",
                        driver::early_link_rs_text, util::path_str(util::canon(sysroot.path()))});
  const std::string digest = driver::source_digest(sysroot.path());
  EXPECT_TRUE(is_hex32(digest)) << digest;
  EXPECT_EQ(digest, expected);

  // Other spellings of the same directory give the same digest.
  fs::create_directory_symlink(sysroot.path(), sysroot / "link");
  EXPECT_EQ(driver::source_digest(sysroot / "link"), expected);
  EXPECT_EQ(driver::source_digest(sysroot / "link" / ""), expected);
  EXPECT_EQ(driver::source_digest(sysroot / "." / ".." / sysroot.path().filename()), expected);
}

TEST(DriverSource, OtherSysrootOtherDigest) {
  TempDir a, b;
  EXPECT_NE(driver::source_digest(a.path()), driver::source_digest(b.path()));
  // A sysroot that does not exist is used as it is.
  EXPECT_NE(driver::source_digest("/no/such/sysroot"), driver::source_digest("/no/such/other"));
}

// ------------------------------------------------------------ driver directory

TEST(DriverDir, NameOfCommitHostAndDigest) {
  ScopedHome home;
  TempDir sysroot;
  auto dir = driver::dir(compiler_at(sysroot.path()));
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(*dir, home.drivers() / ("0123456789ab-x86_64-unknown-linux-gnu-" +
                                    driver::source_digest(sysroot.path()).substr(0, 16)));
  // Asking does not create anything.
  EXPECT_FALSE(fs::exists(home.path() / "cache"));
}

TEST(DriverDir, ShortCommitIsUsedWhole) {
  ScopedHome home;
  TempDir sysroot;
  auto dir = driver::dir(compiler_at(sysroot.path(), "unknown"));
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(dir->parent_path(), home.drivers());
  const std::string name = dir->filename().string();
  EXPECT_TRUE(name.starts_with("unknown-x86_64-unknown-linux-gnu-")) << name;
  EXPECT_EQ(name.size(), std::string("unknown-x86_64-unknown-linux-gnu-").size() + 16);
}

TEST(DriverDir, ValuesAreTrimmedAndTheFirstLineCounts) {
  ScopedHome home;
  TempDir sysroot;
  rustc_info::Compiler compiler{
      "rustc 1.95.0\r\ncommit-hash:   fedcba9876543210  \r\nhost:  aarch64-apple-darwin \r\n"
      "commit-hash: 000000000000000\nhost: other\n",
      sysroot.path()};
  auto dir = driver::dir(compiler);
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(dir->filename().string(), "fedcba987654-aarch64-apple-darwin-" +
                                          driver::source_digest(sysroot.path()).substr(0, 16));
}

TEST(DriverDir, MissingCommitOrHostLineMeansNoDirectory) {
  ScopedHome home;
  TempDir sysroot;
  EXPECT_EQ(driver::dir({"rustc 1.95.0\nhost: x86_64-unknown-linux-gnu\n", sysroot.path()}),
            std::nullopt);
  EXPECT_EQ(driver::dir({"rustc 1.95.0\ncommit-hash: abc\n", sysroot.path()}), std::nullopt);
  EXPECT_EQ(driver::dir({"", sysroot.path()}), std::nullopt);
  EXPECT_EQ(driver::find({"rustc 1.95.0\ncommit-hash: abc\n", sysroot.path()}), std::nullopt);
}

TEST(DriverDir, DifferentInstallationsOfOneToolchainGetDifferentDirectories) {
  ScopedHome home;
  TempDir first, second;
  auto a = driver::dir(compiler_at(first.path()));
  auto b = driver::dir(compiler_at(second.path()));
  ASSERT_TRUE(a.has_value());
  ASSERT_TRUE(b.has_value());
  EXPECT_NE(*a, *b);
  // The same installation reached through a link is the same toolchain.
  fs::create_directory_symlink(first.path(), second / "link");
  EXPECT_EQ(driver::dir(compiler_at(second / "link")), a);
}

TEST(DriverDir, FollowsTheHome) {
  TempDir sysroot;
  std::optional<fs::path> first, second;
  {
    ScopedHome home;
    first = driver::dir(compiler_at(sysroot.path()));
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(util::starts_with_path(*first, home.drivers()));
  }
  {
    ScopedHome home;
    second = driver::dir(compiler_at(sysroot.path()));
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(util::starts_with_path(*second, home.drivers()));
  }
  EXPECT_EQ(first->filename(), second->filename());
}

// ------------------------------------------------------------- driver lookup

class DriverFind : public ::testing::Test {
 protected:
  void SetUp() override {
    compiler_ = compiler_at(sysroot_.path());
    auto dir = driver::dir(compiler_);
    ASSERT_TRUE(dir.has_value());
    dir_ = *dir;
    exe_ = dir_ / "kelv-rustc-driver";
  }

  ScopedHome home_;
  TempDir sysroot_;
  rustc_info::Compiler compiler_;
  fs::path dir_;
  fs::path exe_;
};

TEST_F(DriverFind, AbsentWithoutTheDirectoryOrTheFile) {
  EXPECT_EQ(driver::find(compiler_), std::nullopt);
  fs::create_directories(dir_);
  EXPECT_EQ(driver::find(compiler_), std::nullopt);
  // Only the exact executable name counts.
  write_file(dir_ / "kelv-rustc-driver.exe", "");
  fs::permissions(dir_ / "kelv-rustc-driver.exe", fs::perms::owner_all);
  EXPECT_EQ(driver::find(compiler_), std::nullopt);
}

TEST_F(DriverFind, DirectoryIsNoDriver) {
  fs::create_directories(exe_);
  EXPECT_EQ(driver::find(compiler_), std::nullopt);
}

TEST_F(DriverFind, FileWithoutExecuteBitIsNoDriver) {
  write_file(exe_, "#!/bin/sh\n");
  fs::permissions(exe_,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::others_read,
                  fs::perm_options::replace);
  EXPECT_EQ(driver::find(compiler_), std::nullopt);
}

TEST_F(DriverFind, AnyExecuteBitMakesADriver) {
  write_file(exe_, "#!/bin/sh\n");
  for (fs::perms x : {fs::perms::owner_exec, fs::perms::group_exec, fs::perms::others_exec}) {
    fs::permissions(exe_, fs::perms::owner_read | x, fs::perm_options::replace);
    EXPECT_EQ(driver::find(compiler_), exe_);
  }
}

TEST_F(DriverFind, LinksAreFollowed) {
  fs::create_directories(dir_);
  TempDir elsewhere;
  write_file(elsewhere / "built", "#!/bin/sh\n");
  fs::permissions(elsewhere / "built", fs::perms::owner_all, fs::perm_options::replace);
  fs::create_symlink(elsewhere / "built", exe_);
  EXPECT_EQ(driver::find(compiler_), exe_);

  fs::remove(elsewhere / "built");
  EXPECT_EQ(driver::find(compiler_), std::nullopt);
}

// --------------------------------------------------------- failure markers

TEST(DriverFailure, MarkerIsPerUnitBesideTheDriver) {
  TempDir dir;
  const fs::path exe = dir / "kelv-rustc-driver";
  const std::string lib_unit = unit("/p/target/debug/deps", "foo-0a1b2c3d");
  const std::string other_dir = unit("/p/target/release/deps", "foo-0a1b2c3d");
  const std::string other_extra = unit("/p/target/debug/deps", "foo-ffffffff");
  ASSERT_TRUE(is_hex32(lib_unit));

  EXPECT_FALSE(driver::failed_before(exe, lib_unit));
  auto marker = driver::record_failure(exe, lib_unit, "error: the driver broke\n");
  ASSERT_TRUE(marker.has_value()) << marker.error();
  EXPECT_EQ(*marker, dir / "failed" / lib_unit);
  EXPECT_EQ(read_file(*marker), "error: the driver broke\n");

  EXPECT_TRUE(driver::failed_before(exe, lib_unit));
  EXPECT_FALSE(driver::failed_before(exe, other_dir));
  EXPECT_FALSE(driver::failed_before(exe, other_extra));
  // The executable itself need not exist for markers to work.
  EXPECT_FALSE(fs::exists(exe));
}

TEST(DriverFailure, RecordingTwiceKeepsOneMarkerWithTheSecondText) {
  TempDir dir;
  const fs::path exe = dir / "kelv-rustc-driver";
  const std::string u = unit("/p/out", "crate-1");
  ASSERT_TRUE(driver::record_failure(exe, u, "first, rather longer failure text\n"));
  auto second = driver::record_failure(exe, u, "second\n");
  ASSERT_TRUE(second.has_value()) << second.error();
  EXPECT_EQ(read_file(*second), "second\n");
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir / "failed"))
    names.insert(e.path().filename().string());
  EXPECT_EQ(names, std::set<std::string>{u});
}

TEST(DriverFailure, AnyEntryCountsAsAMarker) {
  TempDir dir;
  const fs::path exe = dir / "kelv-rustc-driver";
  const std::string u = unit("/p/out", "crate-1");
  fs::create_directories(dir / "failed" / u);
  EXPECT_TRUE(driver::failed_before(exe, u));
  write_file(dir / "failed" / "empty", "");
  EXPECT_TRUE(driver::failed_before(exe, "empty"));
}

TEST(DriverFailure, UncreatableFailedDirectory) {
  TempDir dir;
  // "failed" is taken by a regular file.
  write_file(dir / "failed", "not a directory");
  const fs::path exe = dir / "kelv-rustc-driver";
  const std::string u = unit("/p/out", "crate-1");
  auto marker = driver::record_failure(exe, u, "text");
  ASSERT_FALSE(marker.has_value());
  EXPECT_EQ(marker.error(),
            "cannot create " + (dir / "failed").string() + ": " + util::os_error(EEXIST));
  EXPECT_EQ(read_file(dir / "failed"), "not a directory");

  // The driver's directory is itself a regular file.
  write_file(dir / "plain", "");
  auto below_file = driver::record_failure(dir / "plain" / "kelv-rustc-driver", u, "text");
  ASSERT_FALSE(below_file.has_value());
  EXPECT_EQ(below_file.error(), "cannot create " + (dir / "plain" / "failed").string() +
                                    ": Not a directory (os error 20)");
  EXPECT_FALSE(driver::failed_before(dir / "plain" / "kelv-rustc-driver", u));
}

TEST(DriverFailure, UnwritableMarker) {
  TempDir dir;
  const fs::path exe = dir / "kelv-rustc-driver";
  const std::string u = unit("/p/out", "crate-1");
  // A non-empty directory where the marker file should go.
  fs::create_directories(dir / "failed" / u / "inside");
  auto marker = driver::record_failure(exe, u, "text");
  ASSERT_FALSE(marker.has_value());
  EXPECT_EQ(marker.error(),
            "cannot write " + (dir / "failed" / u).string() + ": " + util::os_error(EISDIR));
}

}  // namespace
}  // namespace kelv
