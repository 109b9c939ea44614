#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>

#include "driver/engine.h"
#include "driver/rustc_info.h"
#include "support/testing.h"
#include "util/clock.h"
#include "util/error.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/platform.h"
#include "wrapper/proc.h"

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

// A stand-in compiler: the shell script <tmp>/bin/rustc. Each run appends its
// argument to a counter file and prints the bytes of answers/vV (for -vV) or
// answers/sysroot (for --print=sysroot), then exits with the code in
// answers/code. The answers live outside the script, so changing them does not
// change the script file's identity.
class FakeRustc {
 public:
  FakeRustc() {
    fs::create_directories(bin());
    write_file(answer("vV"), kVersionText);
    write_file(answer("sysroot"), "/opt/toolchains/fake\n");
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
               "echo \"$1\" >> '" + (tmp_ / "runs").string() + "'\n" + extra +
                   "case \"$1\" in\n"
                   "  -vV) cat '" + a + "/vV' ;;\n"
                   "  --print=sysroot) cat '" + a + "/sysroot' ;;\n"
                   "esac\n"
                   "exit $(cat '" + a + "/code')\n");
    fs::permissions(rustc(), fs::perms::owner_all | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read |
                                 fs::perms::others_exec);
  }

  // How many times the script ran.
  int runs() const {
    std::error_code ec;
    if (!fs::exists(tmp_ / "runs", ec)) return 0;
    const std::string text = read_file(tmp_ / "runs");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  // The memo file name the probe must use for `flag` of the script as it is now.
  std::string key(std::string_view flag) const {
    struct stat st;
    EXPECT_EQ(::stat(rustc().c_str(), &st), 0);
    const std::string canonical = util::path_str(util::canon(rustc()));
    const std::string size = std::to_string(st.st_size);
    const std::string mtime = std::to_string(util::mtime_ns(st));
    return util::key_digest({canonical, size, mtime, flag});
  }

 private:
  TempDir tmp_;
};

// ------------------------------------------------------------------ the memo

TEST(RustcInfoMemo, SecondProbeReadsTheMemoUnderTheIdentityKey) {
  FakeRustc fake;
  auto first = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_TRUE(first.has_value()) << first.error();
  EXPECT_EQ(*first, kVersionText);
  EXPECT_EQ(fake.runs(), 1);

  const std::string name = fake.key("-vV");
  EXPECT_EQ(name.size(), 32u);
  EXPECT_EQ(names_in(fake.memo()), std::set<std::string>{name});
  // The complete output, untrimmed.
  EXPECT_EQ(read_file(fake.memo() / name), kVersionText);

  // A changed answer is not seen: the memo answers and nothing runs.
  write_file(fake.answer("vV"), "rustc 9.9.9 (other)\n");
  auto second = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_TRUE(second.has_value()) << second.error();
  EXPECT_EQ(*second, kVersionText);
  EXPECT_EQ(fake.runs(), 1);
}

TEST(RustcInfoMemo, EachFlagHasItsOwnMemo) {
  FakeRustc fake;
  auto version = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  auto root = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "--print=sysroot");
  ASSERT_TRUE(version.has_value()) << version.error();
  ASSERT_TRUE(root.has_value()) << root.error();
  EXPECT_EQ(*version, kVersionText);
  EXPECT_EQ(*root, "/opt/toolchains/fake\n");
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
  EXPECT_EQ(names_in(fake.memo()), std::set<std::string>{fake.key("-vV")});

  // The same file by its own name finds the memo written through the link.
  auto direct = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
  ASSERT_TRUE(direct.has_value()) << direct.error();
  EXPECT_EQ(fake.runs(), 1);
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
  EXPECT_EQ(fake.runs(), 2);
  // The old memo stays; the new answer sits under the new name.
  EXPECT_EQ(names_in(fake.memo()), (std::set<std::string>{old_name, new_name}));
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
  EXPECT_EQ(fake.runs(), 2);
  EXPECT_EQ(names_in(fake.memo()).size(), 2u);
}

TEST(RustcInfoMemo, EmptyOrNonUtf8MemoIsAMissAndIsRewritten) {
  for (const std::string& bad : {std::string(), std::string("rustc \xFF\xFE\n")}) {
    FakeRustc fake;
    write_file(fake.memo() / fake.key("-vV"), bad);
    auto probed = rustc_info::probe_compiler(fake.memo(), fake.rustc(), "-vV");
    ASSERT_TRUE(probed.has_value()) << probed.error();
    EXPECT_EQ(*probed, kVersionText);
    EXPECT_EQ(fake.runs(), 1);
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
  EXPECT_EQ(fake.runs(), 1);
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
      util::key_digest({util::path_str(self), std::to_string(st.st_size),
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
  EXPECT_EQ(*probed, "rustc 1.0.0\nloader=" + (fake.root() / "lib").string() +
                         ":/elsewhere\nstdin=[]\n");
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
    EXPECT_EQ(names_in(fake.memo()), std::set<std::string>{fake.key("-vV")});

    // Failures name the file found on PATH.
    write_file(fake.answer("code"), "3");
    auto failed = rustc_info::probe_compiler(fake.memo(), "rustc", "--print=sysroot");
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
  EXPECT_EQ(names_in(fake.memo()), std::set<std::string>{fake.key("-vV")});

  write_file(fake.answer("code"), "1");
  auto failed = rustc_info::probe_compiler(fake.memo(), "./rustc", "--print=sysroot");
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
  for (const std::string& wrong :
       {std::string("rustc"), std::string("rustc\n"), std::string("Rustc 1.0.0\n"),
        std::string("rustcx 1.0\n"), std::string(" rustc 1.0.0\n"),
        std::string("cargo 1.95.0\n")}) {
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
  FakeRustc fake;
  write_file(fake.answer("sysroot"), "  \t/no/such/toolchain dir \r\n\n");
  auto root = rustc_info::sysroot(fake.memo(), fake.rustc());
  ASSERT_TRUE(root.has_value()) << root.error();
  EXPECT_EQ(*root, fs::path("/no/such/toolchain dir"));
  // The memo keeps the output untrimmed.
  EXPECT_EQ(read_file(fake.memo() / fake.key("--print=sysroot")),
            "  \t/no/such/toolchain dir \r\n\n");
}

TEST(RustcInfoSysroot, RelativeAnswerIsNotADirectory) {
  for (const std::string& relative : {std::string("opt/toolchain\n"), std::string("./x\n"),
                                     std::string("~/rust\n")}) {
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

// ------------------------------------------------------------- Compiler::of

TEST(RustcInfoCompiler, BothAnswersRememberedBelowTheHome) {
  FakeRustc fake;
  TempDir home;
  EnvVar kelv_home("KELV_HOME", home.path().string());

  auto compiler = rustc_info::Compiler::of(fake.rustc());
  ASSERT_TRUE(compiler.has_value()) << compiler.error();
  EXPECT_EQ(compiler->version_text, kVersionText);
  EXPECT_EQ(compiler->sysroot, fs::path("/opt/toolchains/fake"));
  EXPECT_EQ(fake.runs(), 2);
  const fs::path memo = home / "cache" / "memo" / "rustc";
  EXPECT_EQ(names_in(memo),
            (std::set<std::string>{fake.key("-vV"), fake.key("--print=sysroot")}));

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
  // The sysroot was never asked for.
  EXPECT_EQ(read_file(fake.root() / "runs"), "-vV\n");

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
    proc::Command cmd = engine::toolchain_program("/t/bin/rustc");
    EXPECT_EQ(cmd.program, "/t/bin/rustc");
    EXPECT_TRUE(cmd.args.empty());
    EXPECT_EQ(cmd.env_value(var), "/t/lib");
  }
  {
    EnvVar loader(util::platform::loader_path_var, "/x:/t/lib");
    proc::Command cmd = engine::toolchain_program("/t/bin/rustc");
    EXPECT_EQ(cmd.env_value(var), "/t/lib:/x");
  }
}

TEST(EngineToolchainProgram, NoToolchainRootLeavesTheEnvironmentAlone) {
  EnvVar loader(util::platform::loader_path_var, "/x");
  for (const char* program : {"rustc", "/rustc"}) {
    proc::Command cmd = engine::toolchain_program(program);
    EXPECT_EQ(cmd.program, program);
    EXPECT_TRUE(cmd.env.empty()) << program;
    EXPECT_EQ(cmd.env_value(util::platform::loader_path_var), "/x") << program;
  }
}

TEST(EngineToolchainProgram, ChildSeesTheLoaderPath) {
  EnvVar loader(util::platform::loader_path_var, "/x");
  proc::Command cmd = engine::toolchain_program(testing::test_child_exe());
  cmd.args = {"env:LD_LIBRARY_PATH"};
  auto captured = proc::capture_output(cmd);
  ASSERT_TRUE(captured.has_value());
  const fs::path lib = testing::test_child_exe().parent_path().parent_path() / "lib";
  EXPECT_EQ(captured->out, "LD_LIBRARY_PATH=" + lib.string() + ":/x\n");
}

}  // namespace
}  // namespace kelv
