#include "driver/rustc_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>

#include "driver/engine.h"
#include "exec/proc.h"
#include "support/testing.h"
#include "util/clock.h"
#include "util/error.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/platform.h"

namespace kelv {
namespace {

using testing::EnvVar;
using testing::InDir;
using testing::names_in;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

// A fixed file-creation mask while alive.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t saved_;
};

constexpr const char* kVersionText =
    "rustc 1.95.0 (0123456789ab 2026-01-01)\n"
    "binary: rustc\n"
    "commit-hash: 0123456789abcdef0123456789abcdef01234567\n"
    "commit-date: 2026-01-01\n"
    "host: x86_64-unknown-linux-gnu\n"
    "release: 1.95.0\n"
    "LLVM version: 21.1.0\n";

void set_mtime(const fs::path& file, time_t seconds, long nanos) {
  const struct timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
}

// The canonical path, size and modification time of a file, as memo keys hold
// them.
std::vector<std::string> identity_of(const fs::path& file) {
  struct stat st;
  EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
  return {util::path_str(util::canon(file)), std::to_string(st.st_size),
          std::to_string(util::mtime_ns(st))};
}

// The name of a file's own memo for `flag`.
std::string file_key(const fs::path& file, std::string_view flag) {
  const auto id = identity_of(file);
  return util::key_digest({"kelv-rustc-file/2", id[0], id[1], id[2], flag});
}

// The name such a memo had before memo names carried a format tag.
std::string untagged_key(const fs::path& file, std::string_view flag) {
  const auto id = identity_of(file);
  return util::key_digest({id[0], id[1], id[2], flag});
}

// A stand-in compiler: the shell script <tmp>/bin/rustc. Each run appends its
// argument to a counter file and prints the bytes of answers/vV (for -vV) or
// answers/sysroot (for --print=sysroot), then exits with the code in
// answers/code. The answers live outside the script, so changing them does not
// change the script file's identity. Its sysroot is <tmp>, so it is the
// compiler of its own toolchain, not a proxy.
class FakeRustc {
 public:
  FakeRustc() {
    fs::create_directories(bin());
    write_file(answer("vV"), kVersionText);
    write_file(answer("sysroot"), tmp_.path().string() + "\n");
    write_file(answer("code"), "0");
    write_script("");
    set_mtime(rustc(), 1'700'000'000, 111'222'333);
  }

  fs::path root() const { return tmp_.path(); }
  fs::path bin() const { return tmp_ / "bin"; }
  fs::path rustc() const { return bin() / "rustc"; }
  fs::path memo() const { return tmp_ / "memo"; }
  fs::path answer(const std::string& name) const { return tmp_ / "answers" / name; }

  // The script, with `extra` shell lines run before the answer is printed.
  void write_script(const std::string& extra) {
    const std::string a = (tmp_ / "answers").string();
    write_file(rustc(),
               "#!/bin/sh\n"
               "PATH=/usr/bin:/bin\n"
               "echo \"$1\" >> '" +
                   (tmp_ / "runs").string() + "'\n" + extra +
                   "case \"$1\" in\n"
                   "  -vV) cat '" +
                   a +
                   "/vV' ;;\n"
                   "  --print=sysroot) cat '" +
                   a +
                   "/sysroot' ;;\n"
                   "esac\n"
                   "exit $(cat '" +
                   a + "/code')\n");
    fs::permissions(rustc(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
  }

  // How many times the script ran.
  int runs() const {
    std::error_code ec;
    if (!fs::exists(tmp_ / "runs", ec)) return 0;
    const std::string text = read_file(tmp_ / "runs");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  // The memo file name the probe must use for `flag` of the script as it is now.
  std::string key(std::string_view flag) const { return file_key(rustc(), flag); }

  // The name that memos had before they carried a format tag.
  std::string old_key(std::string_view flag) const { return untagged_key(rustc(), flag); }

 private:
  TempDir tmp_;
};

// ------------------------------------------------------------------ the memo

TEST(RustcInfoMemo, SecondProbeReadsTheMemoUnderTheIdentityKey) {
  FakeRustc fake;
  auto first = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_TRUE(first.has_value()) << first.error();
  EXPECT_EQ(*first, kVersionText);
  // The sysroot was asked too, to tell a compiler from a proxy, and is kept.
  EXPECT_EQ(read_file(fake.root() / "runs"), "-vV\n--print=sysroot\n");

  const std::string name = fake.key("-vV");
  EXPECT_EQ(name.size(), 32u);
  EXPECT_EQ(names_in(fake.memo()), (std::set<std::string>{name, fake.key("--print=sysroot")}));
  // The complete output, untrimmed.
  EXPECT_EQ(read_file(fake.memo() / name), kVersionText);

  // A changed answer is not seen: the memo answers and nothing runs.
  write_file(fake.answer("vV"), "rustc 9.9.9 (other)\n");
  auto second = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_TRUE(second.has_value()) << second.error();
  EXPECT_EQ(*second, kVersionText);
  EXPECT_EQ(fake.runs(), 2);
}

TEST(RustcInfoMemo, EachFlagHasItsOwnMemo) {
  FakeRustc fake;
  auto version = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  auto root = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "--print=sysroot");
  ASSERT_TRUE(version.has_value()) << version.error();
  ASSERT_TRUE(root.has_value()) << root.error();
  EXPECT_EQ(*version, kVersionText);
  EXPECT_EQ(*root, fake.root().string() + "\n");
  EXPECT_EQ(fake.runs(), 2);
  EXPECT_EQ(names_in(fake.memo()),
            (std::set<std::string>{fake.key("-vV"), fake.key("--print=sysroot")}));
}

TEST(RustcInfoMemo, KeyUsesTheCanonicalPath) {
  FakeRustc fake;
  fs::create_directory_symlink(fake.bin(), fake.root() / "linked-bin");
  const fs::path via_link = fake.root() / "linked-bin" / "rustc";

  auto first = rustc_info::probe_compiler(fake.memo(), via_link, "-vV");
  ASSERT_TRUE(first.has_value()) << first.error();
  EXPECT_EQ(names_in(fake.memo()),
            (std::set<std::string>{fake.key("-vV"), fake.key("--print=sysroot")}));

  // The same file by its own name finds the memo written through the link.
  auto direct = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_TRUE(direct.has_value()) << direct.error();
  EXPECT_EQ(fake.runs(), 2);
}

TEST(RustcInfoMemo, TouchingTheCompilerRunsItAgainUnderANewName) {
  FakeRustc fake;
  ASSERT_TRUE(rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV").has_value());
  const std::string old_name = fake.key("-vV");

  set_mtime(fake.rustc(), 1'700'000'000, 111'222'334);  // one nanosecond later
  write_file(fake.answer("vV"), "rustc 1.96.0 (new)\n");
  const std::string new_name = fake.key("-vV");
  ASSERT_NE(old_name, new_name);

  auto again = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_EQ(*again, "rustc 1.96.0 (new)\n");
  EXPECT_EQ(fake.runs(), 4);  // -vV and the sysroot, twice
  // The old memo stays; the new answer sits under the new name.
  EXPECT_TRUE(names_in(fake.memo()).contains(old_name));
  EXPECT_TRUE(names_in(fake.memo()).contains(new_name));
  EXPECT_EQ(read_file(fake.memo() / old_name), kVersionText);
  EXPECT_EQ(read_file(fake.memo() / new_name), "rustc 1.96.0 (new)\n");
}

TEST(RustcInfoMemo, AnotherSizeIsAnotherKey) {
  FakeRustc fake;
  ASSERT_TRUE(rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV").has_value());
  // One line longer, same modification time.
  fake.write_script(": padding\n");
  set_mtime(fake.rustc(), 1'700'000'000, 111'222'333);
  ASSERT_TRUE(rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV").has_value());
  EXPECT_EQ(fake.runs(), 4);
  EXPECT_EQ(names_in(fake.memo()).size(), 4u);
}

TEST(RustcInfoMemo, EmptyOrNonUtf8MemoIsAMissAndIsRewritten) {
  for (const std::string& bad : {std::string(), std::string("rustc \xFF\xFE\n")}) {
    FakeRustc fake;
    write_file(fake.memo() / fake.key("-vV"), bad);
    auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
    ASSERT_TRUE(probed.has_value()) << probed.error();
    EXPECT_EQ(*probed, kVersionText);
    EXPECT_EQ(fake.runs(), 2);
    EXPECT_EQ(read_file(fake.memo() / fake.key("-vV")), kVersionText);
  }
}

TEST(RustcInfoMemo, MemoDirectoryIsCreatedPrivateWithItsAncestors) {
  ScopedUmask mask(022);
  FakeRustc fake;
  const fs::path memo = fake.root() / "home" / "cache" / "memo";
  ASSERT_TRUE(rustc_info::probe_compiler(memo, fake.rustc(), "-vV").has_value());
  for (const fs::path& dir : {memo, memo.parent_path(), memo.parent_path().parent_path()}) {
    struct stat st;
    ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
  }
}

TEST(RustcInfoMemo, UncreatableMemoDirectoryFailsWithThePlatformTextAlone) {
  FakeRustc fake;
  write_file(fake.root() / "plain-file", "x");
  const fs::path memo = fake.root() / "plain-file" / "memo";
  auto probed = rustc_info::probe_compiler(memo, fake.rustc(), "-vV");
  ASSERT_FALSE(probed.has_value());
  EXPECT_EQ(probed.error(), util::os_error(ENOTDIR));
  EXPECT_EQ(probed.error(), "Not a directory (os error 20)");
  EXPECT_EQ(fake.runs(), 2);
  EXPECT_EQ(read_file(fake.root() / "plain-file"), "x");
}

TEST(RustcInfoMemo, UnwritableMemoFileFailsWithThePlatformTextAlone) {
  FakeRustc fake;
  // A directory where the memo file should go: the rename over it fails.
  fs::create_directories(fake.memo() / fake.key("-vV") / "inside");
  auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_FALSE(probed.has_value());
  EXPECT_EQ(probed.error(), util::os_error(EISDIR));
  // No temporary file is left behind either.
  EXPECT_EQ(names_in(fake.memo()), std::set<std::string>{fake.key("-vV")});
}

// Probing this very test program must neither read nor write a memo. The
// program is started for real, so the child is told through GTEST_FILTER to
// run no test at all; it then prints a short report and exits with 0.
TEST(RustcInfoMemo, ThisProgramItselfIsNeverRemembered) {
  const fs::path self = util::platform::current_exe();
  ASSERT_FALSE(self.empty());
  ASSERT_EQ(self, fs::read_symlink("/proc/self/exe"));
  EnvVar filter("GTEST_FILTER", "NoSuchSuite.NoSuchTest");
  EnvVar output("GTEST_OUTPUT", std::nullopt);

  TempDir tmp;
  fs::create_directory(tmp / "bin");
  fs::create_symlink(self, tmp / "bin" / "rustc");
  const fs::path memo = tmp / "memo";

  // Nothing is written.
  auto first = rustc_info::probe_compiler(memo, tmp / "bin" / "rustc", "-vV");
  ASSERT_TRUE(first.has_value()) << first.error();
  EXPECT_NE(first->find("0 tests"), std::string::npos) << *first;
  EXPECT_FALSE(fs::exists(memo));

  // An existing memo for the program's key is not read.
  struct stat st;
  ASSERT_EQ(::stat(self.c_str(), &st), 0);
  const std::string name =
      util::key_digest({"kelv-rustc-file/2", util::path_str(self), std::to_string(st.st_size),
                        std::to_string(util::mtime_ns(st)), "-vV"});
  write_file(memo / name, "rustc 0.0.0 (from the memo)\n");
  auto second = rustc_info::probe_compiler(memo, tmp / "bin" / "rustc", "-vV");
  ASSERT_TRUE(second.has_value()) << second.error();
  EXPECT_EQ(second->find("from the memo"), std::string::npos);
  EXPECT_NE(second->find("0 tests"), std::string::npos) << *second;
  EXPECT_EQ(names_in(memo), std::set<std::string>{name});
  EXPECT_EQ(read_file(memo / name), "rustc 0.0.0 (from the memo)\n");
}

// ------------------------------------------------------- running the compiler

TEST(RustcInfoProbe, CompilerRunsWithNullInputToolchainLibrariesAndNoStderr) {
  FakeRustc fake;
  EnvVar loader(util::platform::loader_path_var, "/elsewhere");
  fake.write_script(
      "echo noise >&2\n"
      "printf 'rustc 1.0.0\\nloader=%s\\nstdin=[%s]\\n' \"$LD_LIBRARY_PATH\" \"$(cat)\"\n"
      "exit 0\n");
  auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_TRUE(probed.has_value()) << probed.error();
  EXPECT_EQ(*probed,
            "rustc 1.0.0\nloader=" + (fake.root() / "lib").string() + ":/elsewhere\nstdin=[]\n");
}

TEST(RustcInfoProbe, FailingOrSilentCompilerLeavesNoMemo) {
  {
    FakeRustc fake;
    write_file(fake.answer("code"), "1");
    auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
    ASSERT_FALSE(probed.has_value());
    EXPECT_EQ(probed.error(), fake.rustc().string() + " -vV failed");
    EXPECT_FALSE(fs::exists(fake.memo()));
  }
  for (const std::string& blank : {std::string(), std::string(" \n\t\r\n")}) {
    FakeRustc fake;
    write_file(fake.answer("vV"), blank);
    auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
    ASSERT_FALSE(probed.has_value());
    EXPECT_EQ(probed.error(), fake.rustc().string() + " -vV failed");
    EXPECT_FALSE(fs::exists(fake.memo()));
    // Nothing was remembered, so the next probe runs it again.
    (void)rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
    EXPECT_EQ(fake.runs(), 2);
  }
}

TEST(RustcInfoProbe, KilledCompilerFails) {
  FakeRustc fake;
  fake.write_script("cat '" + fake.answer("vV").string() + "'\nkill -9 $$\n");
  auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_FALSE(probed.has_value());
  EXPECT_EQ(probed.error(), fake.rustc().string() + " -vV failed");
  EXPECT_FALSE(fs::exists(fake.memo()));
}

TEST(RustcInfoProbe, NonUtf8OutputFails) {
  FakeRustc fake;
  write_file(fake.answer("sysroot"), "/opt/\xC3\x28\n");
  auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "--print=sysroot");
  ASSERT_FALSE(probed.has_value());
  EXPECT_EQ(probed.error(),
            fake.rustc().string() + " --print=sysroot printed something other than UTF-8");
  EXPECT_FALSE(fs::exists(fake.memo()));
}

TEST(RustcInfoProbe, NameWithoutSlashIsLookedUpOnPath) {
  FakeRustc fake;
  TempDir empty;
  {
    EnvVar path("PATH", empty.path().string());
    auto probed = rustc_info::probe_compiler(fake.memo(), "rustc", "-vV");
    ASSERT_FALSE(probed.has_value());
    EXPECT_EQ(probed.error(), "rustc is not on PATH");
  }
  {
    EnvVar path("PATH", empty.path().string() + ":" + fake.bin().string());
    auto probed = rustc_info::probe_compiler(fake.memo(), "rustc", "-vV");
    ASSERT_TRUE(probed.has_value()) << probed.error();
    EXPECT_EQ(*probed, kVersionText);
    EXPECT_TRUE(names_in(fake.memo()).contains(fake.key("-vV")));

    // Failures name the file found on PATH.
    write_file(fake.answer("code"), "3");
    auto failed = rustc_info::probe_compiler(fake.root() / "memo2", "rustc", "--print=sysroot");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), fake.rustc().string() + " --print=sysroot failed");
  }
}

TEST(RustcInfoProbe, RelativePathWithSlashIsUsedAsGiven) {
  FakeRustc fake;
  InDir cwd(fake.bin());
  auto probed = rustc_info::probe_compiler(fake.memo(), "./rustc", "-vV");
  ASSERT_TRUE(probed.has_value()) << probed.error();
  // Keyed by the canonical path, like any other spelling of the file.
  EXPECT_EQ(names_in(fake.memo()),
            (std::set<std::string>{fake.key("-vV"), fake.key("--print=sysroot")}));

  write_file(fake.answer("code"), "1");
  auto failed = rustc_info::probe_compiler(fake.root() / "memo2", "./rustc", "--print=sysroot");
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), "./rustc --print=sysroot failed");
}

TEST(RustcInfoProbe, MissingCompilerCannotBeInspected) {
  TempDir tmp;
  const fs::path missing = tmp / "bin" / "rustc";
  auto probed = rustc_info::probe_compiler(tmp / "memo", missing, "-vV");
  ASSERT_FALSE(probed.has_value());
  EXPECT_EQ(probed.error(),
            "cannot inspect " + missing.string() + ": No such file or directory (os error 2)");
  EXPECT_FALSE(fs::exists(tmp / "memo"));
}

// Execute permission is required even of the superuser when no x bit is set.
TEST(RustcInfoProbe, CompilerWithoutExecuteBitCannotRun) {
  FakeRustc fake;
  fs::permissions(fake.rustc(), fs::perms::owner_read | fs::perms::owner_write);
  auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_FALSE(probed.has_value());
  EXPECT_EQ(probed.error(),
            "cannot run " + fake.rustc().string() + " -vV: Permission denied (os error 13)");
  EXPECT_EQ(fake.runs(), 0);
  EXPECT_FALSE(fs::exists(fake.memo()));
}

// ------------------------------------------------ version text and sysroot

TEST(RustcInfoVersion, AnswerMustBeginWithRustcAndASpace) {
  for (const std::string& wrong : {std::string("rustc"), std::string("rustc\n"),
                                   std::string("Rustc 1.0.0\n"), std::string("rustcx 1.0\n"),
                                   std::string(" rustc 1.0.0\n"), std::string("cargo 1.95.0\n")}) {
    FakeRustc fake;
    write_file(fake.answer("vV"), wrong);
    auto version = rustc_info::version_verbose(fake.memo(), fake.rustc());
    ASSERT_FALSE(version.has_value()) << wrong;
    EXPECT_EQ(version.error(), fake.rustc().string() + " -vV did not identify a Rust compiler");
  }
  FakeRustc fake;
  write_file(fake.answer("vV"), "rustc ");
  auto shortest = rustc_info::version_verbose(fake.memo(), fake.rustc());
  ASSERT_TRUE(shortest.has_value()) << shortest.error();
  EXPECT_EQ(*shortest, "rustc ");
}

TEST(RustcInfoVersion, MessageNamesTheCompilerAsPassedIn) {
  FakeRustc fake;
  write_file(fake.answer("vV"), "clang version 18\n");
  EnvVar path("PATH", fake.bin().string());
  auto version = rustc_info::version_verbose(fake.memo(), "rustc");
  ASSERT_FALSE(version.has_value());
  EXPECT_EQ(version.error(), "rustc -vV did not identify a Rust compiler");
}

TEST(RustcInfoVersion, RememberedNonRustAnswerIsNotRerun) {
  FakeRustc fake;
  write_file(fake.memo() / fake.key("-vV"), "something else\n");
  auto version = rustc_info::version_verbose(fake.memo(), fake.rustc());
  ASSERT_FALSE(version.has_value());
  EXPECT_EQ(version.error(), fake.rustc().string() + " -vV did not identify a Rust compiler");
  EXPECT_EQ(fake.runs(), 0);
  EXPECT_EQ(read_file(fake.memo() / fake.key("-vV")), "something else\n");
}

TEST(RustcInfoSysroot, TrimmedAbsolutePathWhetherOrNotItExists) {
  {
    FakeRustc fake;
    write_file(fake.answer("sysroot"), "  \t" + fake.root().string() + " \r\n\n");
    auto root = rustc_info::sysroot(fake.memo(), fake.rustc());
    ASSERT_TRUE(root.has_value()) << root.error();
    EXPECT_EQ(*root, fake.root());
    // The memo keeps the output untrimmed.
    EXPECT_EQ(read_file(fake.memo() / fake.key("--print=sysroot")),
              "  \t" + fake.root().string() + " \r\n\n");
  }
  // A sysroot without the file in its bin makes the file a proxy; the answer
  // is the same, remembered with what chooses the toolchain.
  FakeRustc fake;
  write_file(fake.answer("sysroot"), "  \t/no/such/toolchain dir \r\n\n");
  auto root = rustc_info::sysroot(fake.memo(), fake.rustc());
  ASSERT_TRUE(root.has_value()) << root.error();
  EXPECT_EQ(*root, fs::path("/no/such/toolchain dir"));
  int untrimmed = 0;
  for (const std::string& name : names_in(fake.memo()))
    untrimmed += read_file(fake.memo() / name) == "  \t/no/such/toolchain dir \r\n\n";
  EXPECT_EQ(untrimmed, 1);
}

TEST(RustcInfoSysroot, RelativeAnswerIsNotADirectory) {
  for (const std::string& relative :
       {std::string("opt/toolchain\n"), std::string("./x\n"), std::string("~/rust\n")}) {
    FakeRustc fake;
    InDir cwd(fake.root());
    write_file(fake.answer("sysroot"), relative);
    auto root = rustc_info::sysroot(fake.memo(), "bin/rustc");
    ASSERT_FALSE(root.has_value()) << relative;
    EXPECT_EQ(root.error(), "bin/rustc --print sysroot did not name a directory");
  }
}

TEST(RustcInfoSysroot, ProbeErrorsPassThrough) {
  FakeRustc fake;
  write_file(fake.answer("code"), "1");
  auto root = rustc_info::sysroot(fake.memo(), fake.rustc());
  ASSERT_FALSE(root.has_value());
  EXPECT_EQ(root.error(), fake.rustc().string() + " --print=sysroot failed");
}

// ------------------------------------------------------- proxies and shims

// A stand-in rustup: the script <tmp>/proxy/bin/rustc chooses a toolchain by
// RUSTUP_TOOLCHAIN, else by the nearest rust-toolchain file in the current
// directory or above, else "stable", and runs that toolchain's compiler
// <tmp>/toolchains/<name>/bin/rustc. Each toolchain's compiler prints the
// bytes of its directory's vV file for -vV and the bytes of its sysroot file
// (its own directory unless changed) for --print=sysroot. Every script
// appends its argument to runs-<proxy or toolchain name>.
class FakeProxy {
 public:
  FakeProxy() {
    fs::create_directories(proxy().parent_path());
    write_file(proxy(),
               "#!/bin/sh\n"
               "PATH=/usr/bin:/bin\n"
               "echo \"$1\" >> '" +
                   (tmp_ / "runs-proxy").string() +
                   "'\n"
                   "t=\"$RUSTUP_TOOLCHAIN\"\n"
                   "d=$(pwd)\n"
                   "while [ -z \"$t\" ]; do\n"
                   "  if [ -f \"$d/rust-toolchain\" ]; then t=$(cat \"$d/rust-toolchain\");\n"
                   "  elif [ \"$d\" = / ]; then t=stable;\n"
                   "  else d=$(dirname \"$d\"); fi\n"
                   "done\n"
                   "exec '" +
                   (tmp_ / "toolchains").string() + "/'\"$t\"/bin/rustc \"$@\"\n");
    make_executable(proxy());
    for (const char* name : {"stable", "beta"}) add_toolchain(name);
  }

  // A toolchain whose -vV answer names it; its sysroot is its own directory.
  void add_toolchain(const std::string& name) {
    const fs::path dir = toolchain(name);
    fs::create_directories(dir / "bin");
    write_file(dir / "vV", version_of(name));
    write_file(dir / "sysroot", dir.string() + "\n");
    write_file(dir / "bin/rustc",
               "#!/bin/sh\n"
               "PATH=/usr/bin:/bin\n"
               "echo \"$1\" >> '" +
                   (tmp_ / ("runs-" + name)).string() +
                   "'\n"
                   "case \"$1\" in\n"
                   "  -vV) cat '" +
                   (dir / "vV").string() +
                   "' ;;\n"
                   "  --print=sysroot) cat '" +
                   (dir / "sysroot").string() +
                   "' ;;\n"
                   "esac\n");
    make_executable(dir / "bin/rustc");
  }

  static std::string version_of(const std::string& name) {
    return "rustc 1.95.0 (" + name + ")\ncommit-hash: " + name +
           "\nhost: x86_64-unknown-linux-gnu\nrelease: 1.95.0\n";
  }

  fs::path root() const { return tmp_.path(); }
  fs::path proxy() const { return tmp_ / "proxy/bin/rustc"; }
  fs::path toolchain(const std::string& name) const { return tmp_ / "toolchains" / name; }
  fs::path memo() const { return tmp_ / "memo"; }

  // How many times the proxy, or a toolchain's compiler, ran.
  int runs(const std::string& name) const {
    const fs::path file = tmp_ / ("runs-" + name);
    std::error_code ec;
    if (!fs::exists(file, ec)) return 0;
    const std::string text = read_file(file);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

 private:
  static void make_executable(const fs::path& file) {
    fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  }

  TempDir tmp_;
};

TEST(RustcInfoProxy, ProxyIsMarkedAndAnswersForTheToolchainItChooses) {
  FakeProxy fake;
  EnvVar toolchain("RUSTUP_TOOLCHAIN", "beta");
  auto version = rustc_info::version_verbose(fake.memo(), fake.proxy());
  ASSERT_TRUE(version.has_value()) << version.error();
  EXPECT_EQ(*version, FakeProxy::version_of("beta"));
  // The proxy's own memos only say that it is one.
  for (const char* flag : {"-vV", "--print=sysroot"})
    EXPECT_EQ(read_file(fake.memo() / file_key(fake.proxy(), flag)), "kelv:proxy\n") << flag;
  // The toolchain's compiler answered under its own identity.
  const fs::path beta = fake.toolchain("beta") / "bin/rustc";
  EXPECT_EQ(read_file(fake.memo() / file_key(beta, "-vV")), FakeProxy::version_of("beta"));

  auto root = rustc_info::sysroot(fake.memo(), fake.proxy());
  ASSERT_TRUE(root.has_value()) << root.error();
  EXPECT_EQ(*root, fake.toolchain("beta"));
  EXPECT_EQ(fake.runs("stable"), 0);

  // Nothing runs once the choice is remembered.
  const int proxy_runs = fake.runs("proxy");
  const int beta_runs = fake.runs("beta");
  ASSERT_TRUE(rustc_info::version_verbose(fake.memo(), fake.proxy()).has_value());
  ASSERT_TRUE(rustc_info::sysroot(fake.memo(), fake.proxy()).has_value());
  EXPECT_EQ(fake.runs("proxy"), proxy_runs);
  EXPECT_EQ(fake.runs("beta"), beta_runs);
}

TEST(RustcInfoProxy, CompilerOfAProxyIsTheChosenToolchain) {
  FakeProxy fake;
  TempDir home;
  EnvVar kelv_home("KELV_HOME", home.path().string());
  EnvVar toolchain("RUSTUP_TOOLCHAIN");
  for (const std::string name : {"stable", "beta"}) {
    toolchain.set(name);
    auto compiler = rustc_info::Compiler::of(fake.proxy());
    ASSERT_TRUE(compiler.has_value()) << compiler.error();
    EXPECT_EQ(compiler->version_text, FakeProxy::version_of(name));
    EXPECT_EQ(compiler->sysroot, fake.toolchain(name));
  }
}

// The choice of a proxy's toolchain changes in one of the ways that choose it:
// the other toolchain's identity comes back at once. When the first choice
// returns, its toolchain's compiler answers from its own memos; the proxy
// runs again only when the choice looks new (a rewritten toolchain file).
struct ChoiceCase {
  const char* name;
  // Makes the proxy choose `toolchain` from a directory two levels below
  // <tmp>/work.
  void (*choose)(const FakeProxy& fake, EnvVar& variable, const std::string& toolchain);
  int proxy_runs_on_return;
};

const ChoiceCase choice_cases[] = {
    {"variable",
     [](const FakeProxy&, EnvVar& variable, const std::string& toolchain) {
       variable.set(toolchain);
     },
     0},
    {"toolchain file in an ancestor",
     [](const FakeProxy& fake, EnvVar& variable, const std::string& toolchain) {
       variable.set(std::nullopt);
       write_file(fake.root() / "work/rust-toolchain", toolchain);
     },
     1},
};

TEST(RustcInfoProxy, AnotherChoiceGivesTheOtherToolchainsIdentity) {
  for (const ChoiceCase& c : choice_cases) {
    FakeProxy fake;
    fs::create_directories(fake.root() / "work/crate/src");
    InDir cwd(fake.root() / "work/crate/src");
    EnvVar variable("RUSTUP_TOOLCHAIN");
    int proxy_runs = 0;
    int stable_runs = 0;
    for (const std::string toolchain : {"stable", "beta", "stable"}) {
      proxy_runs = fake.runs("proxy");
      stable_runs = fake.runs("stable");
      c.choose(fake, variable, toolchain);
      auto version = rustc_info::version_verbose(fake.memo(), fake.proxy());
      ASSERT_TRUE(version.has_value()) << c.name << ": " << version.error();
      EXPECT_EQ(*version, FakeProxy::version_of(toolchain)) << c.name;
      auto root = rustc_info::sysroot(fake.memo(), fake.proxy());
      ASSERT_TRUE(root.has_value()) << c.name << ": " << root.error();
      EXPECT_EQ(*root, fake.toolchain(toolchain)) << c.name;
    }
    // The proxy runs stable's compiler when it runs at all.
    EXPECT_EQ(fake.runs("proxy") - proxy_runs, c.proxy_runs_on_return) << c.name;
    EXPECT_EQ(fake.runs("stable") - stable_runs, c.proxy_runs_on_return) << c.name;
  }
}

TEST(RustcInfoProxy, ToolchainUpdatedInPlaceIsSeenThroughItsCompilerFile) {
  FakeProxy fake;
  EnvVar toolchain("RUSTUP_TOOLCHAIN", "stable");
  ASSERT_TRUE(rustc_info::version_verbose(fake.memo(), fake.proxy()).has_value());
  const fs::path rustc = fake.toolchain("stable") / "bin/rustc";
  write_file(fake.toolchain("stable") / "vV", "rustc 1.96.0 (updated)\n");
  set_mtime(rustc, 1'800'000'000, 0);
  auto version = rustc_info::version_verbose(fake.memo(), fake.proxy());
  ASSERT_TRUE(version.has_value()) << version.error();
  EXPECT_EQ(*version, "rustc 1.96.0 (updated)\n");
}

TEST(RustcInfoProxy, ToolchainWithoutACompilerFileIsRememberedWithTheChoice) {
  FakeProxy fake;
  for (const std::string name : {"ghost", "phantom"}) {
    fake.add_toolchain(name);
    write_file(fake.toolchain(name) / "sysroot", (fake.root() / "gone" / name).string() + "\n");
  }
  EnvVar toolchain("RUSTUP_TOOLCHAIN");
  int proxy_runs = 0;
  for (const std::string name : {"ghost", "phantom", "ghost"}) {
    proxy_runs = fake.runs("proxy");
    toolchain.set(name);
    auto version = rustc_info::version_verbose(fake.memo(), fake.proxy());
    ASSERT_TRUE(version.has_value()) << version.error();
    EXPECT_EQ(*version, FakeProxy::version_of(name));
    auto root = rustc_info::sysroot(fake.memo(), fake.proxy());
    ASSERT_TRUE(root.has_value()) << root.error();
    EXPECT_EQ(*root, fake.root() / "gone" / name);
  }
  // The third round was answered from the memos.
  EXPECT_EQ(fake.runs("proxy"), proxy_runs);
}

// Memos named before the format tag may hold a proxy's answer for whichever
// toolchain it ran then: they are never read.
TEST(RustcInfoProxy, MemoOfTheFormerFormatIsNeverRead) {
  {
    FakeRustc fake;
    write_file(fake.memo() / fake.old_key("-vV"), "rustc 0.0.1 (former)\n");
    auto version = rustc_info::version_verbose(fake.memo(), fake.rustc());
    ASSERT_TRUE(version.has_value()) << version.error();
    EXPECT_EQ(*version, kVersionText);
    EXPECT_EQ(read_file(fake.memo() / fake.old_key("-vV")), "rustc 0.0.1 (former)\n");
  }
  FakeProxy fake;
  EnvVar toolchain("RUSTUP_TOOLCHAIN", "beta");
  for (const char* flag : {"-vV", "--print=sysroot"})
    write_file(fake.memo() / untagged_key(fake.proxy(), flag),
               flag == std::string("-vV") ? FakeProxy::version_of("stable")
                                          : fake.toolchain("stable").string() + "\n");
  auto version = rustc_info::version_verbose(fake.memo(), fake.proxy());
  ASSERT_TRUE(version.has_value()) << version.error();
  EXPECT_EQ(*version, FakeProxy::version_of("beta"));
  auto root = rustc_info::sysroot(fake.memo(), fake.proxy());
  ASSERT_TRUE(root.has_value()) << root.error();
  EXPECT_EQ(*root, fake.toolchain("beta"));
}

// A compiler found through a link under another name, or linked into its
// sysroot's bin from elsewhere, is still the compiler of its toolchain.
TEST(RustcInfoProxy, CompilerBehindALinkIsNotAProxy) {
  {
    FakeRustc fake;
    fs::create_symlink(fake.rustc(), fake.bin() / "rustc-1.95");
    ASSERT_TRUE(rustc_info::version_verbose(fake.memo(), fake.bin() / "rustc-1.95").has_value());
    EXPECT_EQ(read_file(fake.memo() / fake.key("-vV")), kVersionText);
  }
  FakeRustc fake;
  fs::create_directories(fake.root() / "libexec");
  fs::rename(fake.rustc(), fake.root() / "libexec/rustc-real");
  fs::create_symlink(fake.root() / "libexec/rustc-real", fake.rustc());
  ASSERT_TRUE(rustc_info::version_verbose(fake.memo(), fake.rustc()).has_value());
  EXPECT_EQ(read_file(fake.memo() / file_key(fake.root() / "libexec/rustc-real", "-vV")),
            kVersionText);
  EXPECT_EQ(fake.runs(), 2);
}

// ------------------------------------------------------------- Compiler::of

TEST(RustcInfoCompiler, BothAnswersRememberedBelowTheHome) {
  FakeRustc fake;
  TempDir home;
  EnvVar kelv_home("KELV_HOME", home.path().string());

  auto compiler = rustc_info::Compiler::of(fake.rustc());
  ASSERT_TRUE(compiler.has_value()) << compiler.error();
  EXPECT_EQ(compiler->version_text, kVersionText);
  EXPECT_EQ(compiler->sysroot, fake.root());
  EXPECT_EQ(fake.runs(), 2);
  const fs::path memo = home / "cache" / "memo" / "rustc";
  EXPECT_EQ(names_in(memo), (std::set<std::string>{fake.key("-vV"), fake.key("--print=sysroot")}));

  auto again = rustc_info::Compiler::of(fake.rustc());
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_EQ(again->version_text, kVersionText);
  EXPECT_EQ(fake.runs(), 2);
}

TEST(RustcInfoCompiler, FirstErrorEndsIt) {
  FakeRustc fake;
  TempDir home;
  EnvVar kelv_home("KELV_HOME", home.path().string());
  write_file(fake.answer("vV"), "not a compiler\n");
  auto compiler = rustc_info::Compiler::of(fake.rustc());
  ASSERT_FALSE(compiler.has_value());
  EXPECT_EQ(compiler.error(), fake.rustc().string() + " -vV did not identify a Rust compiler");
  // The sysroot step was never reached: the compiler ran for the -vV probe
  // alone, which asks the sysroot to tell a compiler from a proxy.
  EXPECT_EQ(read_file(fake.root() / "runs"), "-vV\n--print=sysroot\n");

  write_file(fake.answer("vV"), kVersionText);
  write_file(fake.answer("sysroot"), "relative\n");
  set_mtime(fake.rustc(), 1'700'000'100, 0);
  auto second = rustc_info::Compiler::of(fake.rustc());
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error(), fake.rustc().string() + " --print sysroot did not name a directory");
}

// ------------------------------------------------------------- release line

TEST(RustcInfoChannel, ReleaseLineDecides) {
  EXPECT_EQ(rustc_info::is_unstable_channel(kVersionText), false);
  EXPECT_EQ(rustc_info::is_unstable_channel(""), std::nullopt);
  EXPECT_EQ(rustc_info::is_unstable_channel("rustc 1.82.0\nhost: x\n"), std::nullopt);
  EXPECT_EQ(rustc_info::is_unstable_channel("rustc 1.82.0-nightly\nrelease:1.82.0-nightly\n"),
            std::nullopt);
  EXPECT_EQ(rustc_info::is_unstable_channel("rustc x\nrelease: 1.82.0-nightly\n"), true);
  EXPECT_EQ(rustc_info::is_unstable_channel("rustc x\nrelease: 1.82.0-dev\n"), true);
  EXPECT_EQ(rustc_info::is_unstable_channel("rustc x\nrelease: 1.80.0\n"), false);
  EXPECT_EQ(rustc_info::is_unstable_channel("rustc x\nrelease: 1.80.0-beta.3\n"), false);
  // Without a final newline.
  EXPECT_EQ(rustc_info::is_unstable_channel("release: 1.82.0-nightly"), true);
  // "nightly" elsewhere on the line does not count.
  EXPECT_EQ(rustc_info::is_unstable_channel("release: 1.82.0-nightly-extra\n"), false);
}

TEST(RustcInfoChannel, CarriageReturnsAndFirstLineCount) {
  EXPECT_EQ(rustc_info::is_unstable_channel("rustc x\r\nrelease: 1.82.0-nightly\r\nhost: y\r\n"),
            true);
  EXPECT_EQ(rustc_info::is_unstable_channel("rustc x\r\nrelease: 1.82.0-dev\r\n"), true);
  EXPECT_EQ(rustc_info::is_unstable_channel("release: 1.80.0\nrelease: 1.82.0-nightly\n"), false);
  EXPECT_EQ(rustc_info::is_unstable_channel("release: 1.82.0-dev\nrelease: 1.80.0\n"), true);
}

TEST(RustcInfoField, FirstMatchingLineTrimmed) {
  const std::string text =
      "rustc 1.95.0\r\ncommit-hash:   abc123  \r\nhost: x86_64-unknown-linux-gnu\r\n"
      "commit-hash: second\n";
  EXPECT_EQ(rustc_info::version_field(text, "commit-hash: "), "abc123");
  EXPECT_EQ(rustc_info::version_field(text, "host: "), "x86_64-unknown-linux-gnu");
  EXPECT_EQ(rustc_info::version_field(text, "release: "), std::nullopt);
  // The label must start the line.
  EXPECT_EQ(rustc_info::version_field("x host: a\n", "host: "), std::nullopt);
}

// ------------------------------------------------- toolchain program command

TEST(EngineLoaderPath, ToolchainLibraryGoesFirstOnce) {
  EXPECT_EQ(engine::loader_path_with("/t/lib", nullptr), "/t/lib");
  EXPECT_EQ(engine::loader_path_with("/t/lib", "/x"), "/t/lib:/x");
  EXPECT_EQ(engine::loader_path_with("/t/lib", "/x:/t/lib"), "/t/lib:/x");
  EXPECT_EQ(engine::loader_path_with("/t/lib", "/t/lib"), "/t/lib");
  EXPECT_EQ(engine::loader_path_with("/t/lib", "/t/lib/:/x"), "/t/lib:/x");
  EXPECT_EQ(engine::loader_path_with("/t/lib", "/t//lib:/x"), "/t/lib:/x");
  EXPECT_EQ(engine::loader_path_with("/t/lib", "/a:/t/lib:/b:/t/lib/:/c"), "/t/lib:/a:/b:/c");
  // Only equal entries go; a longer or shorter path stays.
  EXPECT_EQ(engine::loader_path_with("/t/lib", "/t/lib64:/t:/t/lib/x"),
            "/t/lib:/t/lib64:/t:/t/lib/x");
}

TEST(EngineLoaderPath, UnjoinableLibraryStandsAlone) {
  EXPECT_EQ(engine::loader_path_with("/odd:dir/lib", "/x:/y"), "/odd:dir/lib");
  EXPECT_EQ(engine::loader_path_with("/odd:dir/lib", nullptr), "/odd:dir/lib");
}

TEST(EngineToolchainProgram, LibraryOfTheToolchainRoot) {
  const std::string var = util::platform::loader_path_var;
  ASSERT_EQ(var, "LD_LIBRARY_PATH");
  {
    EnvVar loader(util::platform::loader_path_var, std::nullopt);
    exec::Command cmd = engine::toolchain_program("/t/bin/rustc");
    EXPECT_EQ(cmd.program, "/t/bin/rustc");
    EXPECT_TRUE(cmd.args.empty());
    EXPECT_EQ(cmd.env_value(var), "/t/lib");
  }
  {
    EnvVar loader(util::platform::loader_path_var, "/x:/t/lib");
    exec::Command cmd = engine::toolchain_program("/t/bin/rustc");
    EXPECT_EQ(cmd.env_value(var), "/t/lib:/x");
  }
}

TEST(EngineToolchainProgram, NoToolchainRootLeavesTheEnvironmentAlone) {
  EnvVar loader(util::platform::loader_path_var, "/x");
  for (const char* program : {"rustc", "/rustc"}) {
    exec::Command cmd = engine::toolchain_program(program);
    EXPECT_EQ(cmd.program, program);
    EXPECT_TRUE(cmd.env.empty()) << program;
    EXPECT_EQ(cmd.env_value(util::platform::loader_path_var), "/x") << program;
  }
}

TEST(EngineToolchainProgram, ChildSeesTheLoaderPath) {
  EnvVar loader(util::platform::loader_path_var, "/x");
  exec::Command cmd = engine::toolchain_program(testing::test_child_exe());
  cmd.args = {"env:LD_LIBRARY_PATH"};
  auto captured = exec::capture_output(cmd);
  ASSERT_TRUE(captured.has_value());
  const fs::path lib = testing::test_child_exe().parent_path().parent_path() / "lib";
  EXPECT_EQ(captured->out, "LD_LIBRARY_PATH=" + lib.string() + ":/x\n");
}

}  // namespace
}  // namespace kelv
