// The cache key of a unit: what `prepare` puts into it, what it leaves out,
// and every reason it gives for not caching a unit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/key.h"
#include "artifact_cache/relink.h"
#include "support/testing.h"
#include "util/clock.h"
#include "util/error.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"

extern char** environ;

namespace kelv::artifact_cache {

inline std::ostream& operator<<(std::ostream& os, const Refusal& r) {
  return os << r.category << ": " << r.text;
}
inline std::ostream& operator<<(std::ostream& os, const Miss& m) {
  return os << m.category << ": " << m.detail;
}

}  // namespace kelv::artifact_cache

namespace kelv {
namespace {

namespace fs = std::filesystem;
namespace ac = artifact_cache;
using testing::blake3_of_file;
using testing::EnvVar;
using testing::InDir;
using testing::le_bytes;
using testing::set_mtime;
using testing::TempDir;
using testing::write_file;
using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

// The variables `prepare` reads (and KELV_HOME, which decides what counts as
// an external source).
bool read_by_prepare(std::string_view name) {
  for (std::string_view prefix : {"CARGO_PKG_", "CARGO_CRATE_NAME", "CARGO_MANIFEST_",
                                  "CARGO_PRIMARY_PACKAGE", "CARGO_BIN_NAME", "CARGO_CFG_"})
    if (name.starts_with(prefix)) return true;
  return name == "OUT_DIR" || name == "KELV_HOME" || name == "RUSTC_BOOTSTRAP" ||
         name == "RUST_TARGET_PATH";
}

// Removes every variable `prepare` reads for the lifetime of the object and
// puts the previous values back afterwards, so that the test decides exactly
// which ones are set.
class CargoEnv {
 public:
  CargoEnv() {
    for (char** e = environ; *e; ++e) {
      const std::string kv = *e;
      const size_t eq = kv.find('=');
      if (eq != std::string::npos && read_by_prepare(kv.substr(0, eq)))
        saved_.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
    }
    clear();
  }
  ~CargoEnv() {
    clear();
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  CargoEnv(const CargoEnv&) = delete;
  CargoEnv& operator=(const CargoEnv&) = delete;

  void set(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) { ::unsetenv(name.c_str()); }

 private:
  static void clear() {
    std::vector<std::string> names;
    for (char** e = environ; *e; ++e) {
      const std::string kv = *e;
      const size_t eq = kv.find('=');
      if (eq != std::string::npos && read_by_prepare(kv.substr(0, eq)))
        names.push_back(kv.substr(0, eq));
    }
    for (const std::string& name : names) ::unsetenv(name.c_str());
  }
  std::vector<std::pair<std::string, std::string>> saved_;
};

const std::string kVersion =
    "rustc 1.80.0 (051478957 2024-07-21)\nbinary: rustc\ncommit-hash: "
    "051478957371ee0084a7c0913941d2a8c4757bb9\nhost: x86_64-unknown-linux-gnu\nrelease: "
    "1.80.0\nLLVM version: 18.1.7\n";

// A metadata file laid out like the compiler's: "rust", three zero bytes, a
// version byte, the little-endian offset of the root, and the crate hash
// somewhere after the root.
void write_fake_rmeta(const fs::path& path, std::string_view hash_hex) {
  std::string bytes("rust\0\0\0\x09", 8);
  const uint64_t root = 40;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((root >> (8 * i)) & 0xFF));
  bytes.resize(root, 'x');
  bytes += "root header ";
  bytes += le_bytes(hash_hex);
  bytes += " and the rest of the metadata";
  write_file(path, bytes);
}

class CacheKeyTest : public ::testing::Test {
 protected:
  CacheKeyTest() : in_proj_(proj_.path()) {
    env_.set("KELV_HOME", home_.path().string());
    env_.set("CARGO_MANIFEST_DIR", proj_.path().string());
  }

  std::expected<ac::Job, ac::Refusal> prepare(const Args& args,
                                              std::optional<fs::path> driver = std::nullopt) {
    return ac::prepare(cache_.path(), kVersion, driver, args);
  }

  // The key of a unit that must be cached.
  std::string key_of(const Args& args, std::optional<fs::path> driver = std::nullopt) {
    auto job = prepare(args, driver);
    if (!job) {
      ADD_FAILURE() << "refused: " << job.error();
      return "";
    }
    return job->key;
  }

  // The first lines of every key: format, compiler, driver, workspace.
  Lines head(bool with_driver, bool workspace) const {
    Lines lines = {"kelv-artifact-cache-4", "rustc=" + util::sha256_hex(kVersion)};
    if (with_driver) lines.push_back("driver=" + kDriverDirName);
    if (workspace) lines.push_back("workspace=" + proj_.path().string());
    return lines;
  }

  fs::path driver() const { return home_ / "cache/drivers" / kDriverDirName / "kelv-rustc-driver"; }

  // Stores the unit as a compilation of src/lib.rs that produced its rlib.
  static void store_unit(const ac::Job& job) {
    const uint64_t start = util::now_wall_ns();
    write_file(job.cwd / "src/lib.rs", "pub fn f() {}");
    set_mtime(job.cwd / "src/lib.rs", start - 10000000000ull);
    write_file(job.output("lib" + job.stem + ".rlib"), "rlib of " + job.stem);
    write_file(job.output(job.stem + ".d"), job.stem + ".d: src/lib.rs\n");
    auto stored = job.store("", start);
    ASSERT_TRUE(stored.has_value()) << stored.error();
  }

  static Lines concat(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }

  const std::string kDriverDirName = "1.80.0-x86_64-unknown-linux-gnu-0f3c";
  TempDir home_, cache_, proj_;
  CargoEnv env_;
  InDir in_proj_;
};

Args with(Args base, const Args& extra) {
  base.insert(base.end(), extra.begin(), extra.end());
  return base;
}

// A small library unit as Cargo schedules it.
const Args kLib = {"--crate-name", "foo", "--edition=2021", "src/lib.rs", "--crate-type",
                   "lib",          "-C",  "metadata=1a2b",  "--out-dir",  "t/deps"};
const Lines kLibLines = {"--crate-name=foo", "--edition=2021", "src/lib.rs", "--crate-type=lib",
                         "-Cmetadata=1a2b"};

// ------------------------------------------------------------ worked example

TEST_F(CacheKeyTest, WorkedExampleWithContentHashedDependency) {
  const fs::path p = proj_.path();
  const std::string ps = p.string();
  write_file(p / "t/deps/libbar-9f.rmeta", "metadata of bar, without a crate hash file");
  env_.set("CARGO_CRATE_NAME", "foo");
  env_.set("CARGO_PKG_NAME", "foo");
  const Args args = {"--crate-name",
                     "foo",
                     "--edition=2021",
                     "src/lib.rs",
                     "--error-format=json",
                     "--crate-type",
                     "lib",
                     "--emit=dep-info,metadata,link",
                     "-C",
                     "embed-bitcode=no",
                     "-C",
                     "codegen-units=16",
                     "-C",
                     "metadata=1a2b",
                     "-C",
                     "extra-filename=-1a2b",
                     "--out-dir",
                     ps + "/t/deps",
                     "-C",
                     "incremental=" + ps + "/t/inc",
                     "-L",
                     "dependency=" + ps + "/t/deps",
                     "--extern",
                     "bar=" + ps + "/t/deps/libbar-9f.rmeta"};
  const Lines expected = {
      "kelv-artifact-cache-4",
      "rustc=" + util::sha256_hex(kVersion),
      "driver=" + kDriverDirName,
      "workspace=" + ps,
      "--crate-name=foo",
      "--edition=2021",
      "src/lib.rs",
      "--error-format=json",
      "--crate-type=lib",
      "--emit=dep-info,metadata,link",
      "-Cembed-bitcode=no",
      "-Ccodegen-units=16",
      "-Cmetadata=1a2b",
      "-Cextra-filename=-1a2b",
      "-Cincremental",
      "CARGO_CRATE_NAME=foo",
      "CARGO_MANIFEST_DIR=" + ps,
      "CARGO_PKG_NAME=foo",
      "--extern=bar=sha:" + blake3_of_file(p / "t/deps/libbar-9f.rmeta"),
  };
  ASSERT_EQ(util::sha256_hex(kVersion).size(), 64u);

  auto job = prepare(args, driver());
  ASSERT_TRUE(job.has_value()) << job.error();
  EXPECT_EQ(job->key, util::key_digest(expected));
  EXPECT_EQ(job->key.size(), 32u);
  EXPECT_EQ(job->cache_dir, cache_.path());
  EXPECT_EQ(job->out_dir, p / "t/deps");
  EXPECT_EQ(job->stem, "foo-1a2b");
  EXPECT_EQ(job->cwd, p);
  EXPECT_FALSE(job->out_dir_env.has_value());
  EXPECT_FALSE(job->objects_key.has_value());
  EXPECT_TRUE(job->workspace_member);
  EXPECT_FALSE(job->links);

  // The content hash went through a memo named from the file's identity.
  struct stat st;
  ASSERT_EQ(::stat((p / "t/deps/libbar-9f.rmeta").c_str(), &st), 0);
  const fs::path memo = cache_ / "h" / util::key_digest({ac::fingerprint(st)});
  EXPECT_EQ(testing::read_file(memo).substr(0, 64), blake3_of_file(p / "t/deps/libbar-9f.rmeta"));
}

TEST_F(CacheKeyTest, WorkedExampleWithCrateHashThatChecksOut) {
  const fs::path p = proj_.path();
  const std::string ps = p.string();
  const std::string svh = "00c0ffee0000000000000000deadbeef";
  write_fake_rmeta(p / "t/deps/libbar-9f.rmeta", svh);
  write_file(p / "t/deps/libbar-9f.kelv-svh", svh + "\n");
  env_.set("CARGO_CRATE_NAME", "foo");
  env_.set("CARGO_PKG_NAME", "foo");
  const Args args = {"--crate-name",
                     "foo",
                     "--edition=2021",
                     "src/lib.rs",
                     "--error-format=json",
                     "--crate-type",
                     "lib",
                     "--emit=dep-info,metadata,link",
                     "-C",
                     "embed-bitcode=no",
                     "-C",
                     "codegen-units=16",
                     "-C",
                     "metadata=1a2b",
                     "-C",
                     "extra-filename=-1a2b",
                     "--out-dir",
                     ps + "/t/deps",
                     "-C",
                     "incremental=" + ps + "/t/inc",
                     "-L",
                     "dependency=" + ps + "/t/deps",
                     "--extern",
                     "bar=" + ps + "/t/deps/libbar-9f.rmeta"};
  const Lines expected =
      concat({head(true, true),
              {"--crate-name=foo", "--edition=2021", "src/lib.rs", "--error-format=json",
               "--crate-type=lib", "--emit=dep-info,metadata,link", "-Cembed-bitcode=no",
               "-Ccodegen-units=16", "-Cmetadata=1a2b", "-Cextra-filename=-1a2b", "-Cincremental",
               "CARGO_CRATE_NAME=foo", "CARGO_MANIFEST_DIR=" + ps, "CARGO_PKG_NAME=foo",
               "--extern=bar=svh:" + svh}});
  auto job = prepare(args, driver());
  ASSERT_TRUE(job.has_value()) << job.error();
  EXPECT_EQ(job->key, util::key_digest(expected));
}

// ------------------------------------------------------ argument normalising

TEST_F(CacheKeyTest, ArgumentsEnterTheKeyNormalised) {
  struct Case {
    const char* label;
    Args extra;
    Lines lines;
    Lines extern_lines = {};  // after the environment lines
  };
  const Case cases[] = {
      {"nothing more", {}, {}},
      {"-C with separate value", {"-C", "opt-level=3"}, {"-Copt-level=3"}},
      {"-C joined", {"-Copt-level=3"}, {"-Copt-level=3"}},
      {"-C with equals", {"-C=opt-level=3"}, {"-Copt-level=3"}},
      {"incremental directory dropped", {"-C", "incremental=/a/b"}, {"-Cincremental"}},
      {"joined incremental", {"-Cincremental=/c/d"}, {"-Cincremental"}},
      {"-Zthreads dropped", {"-Zthreads=8"}, {}},
      {"separate -Z threads kept", {"-Z", "threads=8"}, {"-Zthreads=8"}},
      {"other -Z", {"-Z", "unstable-options"}, {"-Zunstable-options"}},
      {"-O", {"-O"}, {"-O"}},
      {"--emit separate", {"--emit", "link"}, {"--emit=link"}},
      {"--test", {"--test"}, {"--test"}},
      {"--diagnostic-width joined", {"--diagnostic-width=80"}, {}},
      {"--diagnostic-width separate", {"--diagnostic-width", "120"}, {}},
      {"-L dependency dropped", {"-L", "dependency=/x"}, {}},
      {"-Ldependency dropped", {"-Ldependency=/y"}, {}},
      {"--cfg unchanged", {"--cfg", "feature=\"std\""}, {"--cfg", "feature=\"std\""}},
      {"--crate-type list", {"--crate-type", "lib,rlib"}, {"--crate-type=lib,rlib"}},
      {"--crate-name joined", {"--crate-name=foo"}, {"--crate-name=foo"}},
      {"extern without path",
       {"--extern", "proc_macro", "--cap-lints", "allow"},
       {"--cap-lints", "allow"},
       {"--extern=proc_macro"}},
      {"joined extern without path", {"--extern=alloc"}, {}, {"--extern=alloc"}},
  };
  const Args base = {"--crate-name", "foo", "-C", "metadata=m", "--out-dir", "t"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Lines expected = concat({head(false, true),
                                   {"--crate-name=foo", "-Cmetadata=m"},
                                   c.lines,
                                   {"CARGO_MANIFEST_DIR=" + proj_.path().string()},
                                   c.extern_lines});
    EXPECT_EQ(key_of(with(base, c.extra)), util::key_digest(expected));
  }
}

TEST_F(CacheKeyTest, RunToRunDifferencesLeaveTheKeyAlone) {
  struct Case {
    const char* label;
    Args a, b;
  };
  const Case cases[] = {
      {"incremental directory", {"-C", "incremental=/a/b"}, {"-C", "incremental=/c/d"}},
      {"frontend threads", {"-Zthreads=8"}, {"-Zthreads=1"}},
      {"frontend threads or none", {"-Zthreads=8"}, {}},
      {"diagnostic width", {"--diagnostic-width=80"}, {"--diagnostic-width", "120"}},
      {"dependency search path", {"-L", "dependency=/x"}, {"-L", "dependency=/y"}},
      {"output directory", {"--out-dir", "/one"}, {"--out-dir", "/two"}},
      {"opt-level spellings", {"-C", "opt-level=3"}, {"-Copt-level=3"}},
      {"opt-level with equals", {"-C", "opt-level=3"}, {"-C=opt-level=3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(key_of(with(kLib, c.a)), key_of(with(kLib, c.b)));
  }
}

TEST_F(CacheKeyTest, FilesThatOptionsNameAreKeyedByContent) {
  struct Case {
    const char* label;
    Args args;
    const char* file;
  };
  const Case cases[] = {
      {"-C profile-use", {"-C", "profile-use=p/app.profdata"}, "p/app.profdata"},
      {"-Cprofile-sample-use", {"-Cprofile-sample-use=s.prof"}, "s.prof"},
      {"-Z profile-sample-use", {"-Z", "profile-sample-use=s.prof"}, "s.prof"},
      {"-Z codegen-backend path", {"-Zcodegen-backend=./cg.so"}, "./cg.so"},
      {"--target spec", {"--target", "spec/t.json"}, "spec/t.json"},
      {"--target= spec", {"--target=spec/t.json"}, "spec/t.json"},
      {"target from RUST_TARGET_PATH", {"--target", "custom"}, "specs/custom.json"},
  };
  env_.set("RUST_TARGET_PATH", (proj_ / "none").string() + "::" + (proj_ / "specs").string());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path file = proj_ / c.file;
    write_file(file, "first");
    const std::string first = key_of(with(kLib, c.args));
    write_file(file, "second, rewritten in place");
    const std::string second = key_of(with(kLib, c.args));
    EXPECT_NE(second, first);
    fs::remove(file);
    auto job = prepare(with(kLib, c.args));
    if (std::string_view(c.file).starts_with("specs/")) {
      // Not found there: rustc looks elsewhere, and the key no longer names it.
      ASSERT_TRUE(job.has_value()) << job.error();
      EXPECT_NE(job->key, second);
      continue;
    }
    ASSERT_FALSE(job.has_value());
    EXPECT_EQ(job.error().category, "unreadable");
    EXPECT_EQ(job.error().text.rfind("option file " + std::string(c.file) + " is unreadable: ", 0),
              0u)
        << job.error().text;
  }
  env_.unset("RUST_TARGET_PATH");
  // A backend named without a dot is one of the toolchain's own.
  EXPECT_EQ(key_of(with(kLib, {"-Zcodegen-backend=llvm"})).size(), 32u);
}

TEST_F(CacheKeyTest, ExternLinesComeLastWhereverTheExternStands) {
  write_file(proj_ / "t/libfoo-1.rlib", "the rlib of foo");
  const Args before = {"--crate-name",        "app",        "--extern",
                       "foo=t/libfoo-1.rlib", "src/lib.rs", "-C",
                       "metadata=1",          "--out-dir",  "t"};
  const Args after = {"--crate-name",       "app",       "src/lib.rs", "-C",
                      "metadata=1",         "--out-dir", "t",          "--extern",
                      "foo=t/libfoo-1.rlib"};
  EXPECT_EQ(key_of(before), key_of(after));
}

TEST_F(CacheKeyTest, WhatStaysInTheKey) {
  struct Case {
    const char* label;
    Args a, b;
  };
  const Case cases[] = {
      {"separate -Z threads is not dropped", {"-Z", "threads=8"}, {}},
      {"separate -Z threads values differ", {"-Z", "threads=8"}, {"-Z", "threads=1"}},
      {"opt-level", {"-C", "opt-level=3"}, {"-C", "opt-level=2"}},
      {"incremental or not", {"-C", "incremental=/a"}, {}},
      {"cfg", {"--cfg", "a"}, {"--cfg", "b"}},
      {"test", {"--test"}, {}},
      {"emit", {"--emit=link"}, {"--emit=metadata,link"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_NE(key_of(with(kLib, c.a)), key_of(with(kLib, c.b)));
  }
}

TEST_F(CacheKeyTest, ExternNameAndPrefixesAreKept) {
  write_file(proj_ / "t/libbar.rlib", "bar");
  const std::string sha = blake3_of_file(proj_ / "t/libbar.rlib");
  struct Case {
    std::string value;
    std::string line;
  };
  const Case cases[] = {
      {"bar=t/libbar.rlib", "--extern=bar=sha:" + sha},
      {"priv:bar=t/libbar.rlib", "--extern=priv:bar=sha:" + sha},
      {"noprelude:bar=t/libbar.rlib", "--extern=noprelude:bar=sha:" + sha},
      {"baz=t/libbar.rlib", "--extern=baz=sha:" + sha},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const Lines expected = concat(
        {head(false, true), kLibLines, {"CARGO_MANIFEST_DIR=" + proj_.path().string(), c.line}});
    EXPECT_EQ(key_of(with(kLib, {"--extern", c.value})), util::key_digest(expected));
  }
}

// ------------------------------------------------------------ environment

TEST_F(CacheKeyTest, EnvironmentLinesAreSortedBytewise) {
  const std::string ps = proj_.path().string();
  env_.set("CARGO_PKG_NAME", "foo");
  env_.set("CARGO_PKG_AUTHORS", "Ann:Bob");
  env_.set("CARGO_PKG_DESCRIPTION", "two\nlines");
  env_.set("CARGO_CFG_UNIX", "");
  env_.set("CARGO_CFG_TARGET_OS", "linux");
  // "-" sorts before "=": as whole lines these come in the opposite order of
  // their names.
  env_.set("CARGO_CFG_A", "2");
  env_.set("CARGO_CFG_A-B", "1");
  env_.set("CARGO_CRATE_NAME", "foo");
  env_.set("CARGO_MANIFEST_DIR_EXTRA", "prefix match");
  env_.set("CARGO_MANIFEST_PATH", ps + "/Cargo.toml");
  env_.set("CARGO_MANIFEST_LINKS", "z");
  env_.set("CARGO_PRIMARY_PACKAGE", "1");
  env_.set("CARGO_BIN_NAME", "foo");
  env_.set("RUSTC_BOOTSTRAP", "1");
  // Not read.
  std::optional<EnvVar> target_dir(std::in_place, "CARGO_TARGET_DIR", "/elsewhere");
  std::optional<EnvVar> makeflags(std::in_place, "CARGO_MAKEFLAGS", "-j2");
  std::optional<EnvVar> rustflags(std::in_place, "RUSTFLAGS", "-Cx");
  const Lines env_lines = {
      "CARGO_BIN_NAME=foo",
      "CARGO_CFG_A-B=1",
      "CARGO_CFG_A=2",
      "CARGO_CFG_TARGET_OS=linux",
      "CARGO_CFG_UNIX=",
      "CARGO_CRATE_NAME=foo",
      "CARGO_MANIFEST_DIR=" + ps,
      "CARGO_MANIFEST_DIR_EXTRA=prefix match",
      "CARGO_MANIFEST_LINKS=z",
      "CARGO_MANIFEST_PATH=" + ps + "/Cargo.toml",
      "CARGO_PKG_AUTHORS=Ann:Bob",
      "CARGO_PKG_DESCRIPTION=two\nlines",
      "CARGO_PKG_NAME=foo",
      "CARGO_PRIMARY_PACKAGE=1",
      "RUSTC_BOOTSTRAP=1",
  };
  const std::string key = key_of(kLib);
  target_dir.reset();
  makeflags.reset();
  rustflags.reset();
  EXPECT_EQ(key, util::key_digest(concat({head(false, true), kLibLines, env_lines})));
  EXPECT_EQ(key_of(kLib), key);

  env_.set("CARGO_PKG_NAME", "bar");
  EXPECT_NE(key_of(kLib), key);

  // Whether unstable features compile: set, empty and unset all differ.
  env_.set("CARGO_PKG_NAME", "foo");
  env_.set("RUSTC_BOOTSTRAP", "");
  const std::string empty = key_of(kLib);
  env_.unset("RUSTC_BOOTSTRAP");
  const std::string unset = key_of(kLib);
  EXPECT_NE(empty, key);
  EXPECT_NE(unset, key);
  EXPECT_NE(unset, empty);
}

TEST_F(CacheKeyTest, OutDirContentIsKeyed) {
  const fs::path out = proj_ / "t/build/foo-1/out";
  write_file(out / "gen.rs", "pub const X: u32 = 1;");
  env_.set("OUT_DIR", out.string());
  auto digest = ac::out_dir_digest(out);
  ASSERT_TRUE(digest.has_value());
  auto job = prepare(kLib);
  ASSERT_TRUE(job.has_value()) << job.error();
  EXPECT_EQ(job->out_dir_env, out);
  EXPECT_EQ(job->key, util::key_digest(concat({head(false, true),
                                               kLibLines,
                                               {"CARGO_MANIFEST_DIR=" + proj_.path().string(),
                                                "OUT_DIR=sha:" + *digest}})));

  write_file(out / "more.rs", "");
  EXPECT_NE(key_of(kLib), job->key);
}

// ------------------------------------------------- workspace and registry

TEST_F(CacheKeyTest, TwoCheckoutsOfAWorkspaceMemberDiffer) {
  // The same manifest directory value in both, so only the working
  // directory differs.
  env_.set("CARGO_MANIFEST_DIR", "/w/member");
  TempDir other;
  std::string key_here, key_there;
  key_here = key_of(kLib);
  {
    InDir in_other(other.path());
    auto job = prepare(kLib);
    ASSERT_TRUE(job.has_value()) << job.error();
    EXPECT_TRUE(job->workspace_member);
    EXPECT_EQ(job->cwd, other.path());
    EXPECT_EQ(job->out_dir, other / "t/deps");
    key_there = job->key;
    Lines expected = {"kelv-artifact-cache-4", "rustc=" + util::sha256_hex(kVersion),
                      "workspace=" + other.path().string()};
    expected.insert(expected.end(), kLibLines.begin(), kLibLines.end());
    expected.push_back("CARGO_MANIFEST_DIR=/w/member");
    EXPECT_EQ(key_there, util::key_digest(expected));
  }
  EXPECT_NE(key_here, key_there);
}

TEST_F(CacheKeyTest, TwoCheckoutsBuildingARegistryCrateAgree) {
  const std::string manifest =
      (home_ / "cargo/registry/src/index.crates.io-6f17d22bba15001f/serde-1.0.0").string();
  env_.set("CARGO_MANIFEST_DIR", manifest);
  TempDir a, b;
  std::string key_a, key_b;
  {
    InDir in(a.path());
    auto job = prepare(kLib);
    ASSERT_TRUE(job.has_value()) << job.error();
    EXPECT_FALSE(job->workspace_member);
    key_a = job->key;
    EXPECT_EQ(key_a, util::key_digest(concat(
                         {head(false, false), kLibLines, {"CARGO_MANIFEST_DIR=" + manifest}})));
  }
  {
    InDir in(b.path());
    auto job = prepare(kLib);
    ASSERT_TRUE(job.has_value()) << job.error();
    EXPECT_FALSE(job->workspace_member);
    EXPECT_EQ(job->out_dir, b / "t/deps");
    key_b = job->key;
  }
  EXPECT_EQ(key_a, key_b);
}

TEST_F(CacheKeyTest, RemappedDirectoriesLeaveTheKey) {
  // Each side is prepared in a checkout of its own ("{here}"), or both in
  // the first one.
  struct Case {
    const char* what;
    Args a, b;
    std::string manifest_a = "{here}", manifest_b = "{here}";
    bool same_cwd = false;
    bool same_key = false;
  };
  const Case cases[] = {
      {"each checkout remapped to one name",
       {"--remap-path-prefix={here}=/ws"},
       {"--remap-path-prefix={here}=/ws"},
       "{here}",
       "{here}",
       false,
       true},
      {"the separate form and a trailing slash",
       {"--remap-path-prefix={here}=/ws"},
       {"--remap-path-prefix", "{here}/=/ws"},
       "{here}",
       "{here}",
       false,
       true},
      {"nested remaps are keyed as nested",
       {"--remap-path-prefix={here}=/ws", "--remap-path-prefix={here}/t=/t"},
       {"--remap-path-prefix={here}=/ws", "--remap-path-prefix=/elsewhere=/t"}},
      {"the separate form",
       {"--remap-path-prefix", "{here}=/ws"},
       {"--remap-path-prefix", "{here}=/ws"},
       "{here}/m",
       "{here}/m",
       false,
       true},
      {"remapped to different names",
       {"--remap-path-prefix={here}=/ws"},
       {"--remap-path-prefix={here}=/other"}},
      {"no remap", {}, {}},
      {"a relative directory", {"--remap-path-prefix=src=/ws"}, {"--remap-path-prefix=src=/ws"}},
      {"only the registry remapped, one checkout",
       {"--remap-path-prefix=/reg-a=/reg", "/reg-a/serde/src/lib.rs"},
       {"--remap-path-prefix=/reg-b=/reg", "/reg-b/serde/src/lib.rs"},
       "/reg-a/serde",
       "/reg-b/serde",
       true,
       true},
      {"only the registry remapped, two checkouts",
       {"--remap-path-prefix=/reg-a=/reg"},
       {"--remap-path-prefix=/reg-b=/reg"},
       "/reg-a/serde",
       "/reg-b/serde"},
      {"a directory whose name only begins alike",
       {"--remap-path-prefix=/reg=/r"},
       {"--remap-path-prefix=/reg=/r"},
       "/reg-a/serde",
       "/reg-b/serde",
       true,
       false},
  };
  TempDir other;
  const auto side = [&](const Args& extra, const std::string& manifest, const fs::path& here) {
    const auto fill = [&](std::string text) {
      for (size_t at; (at = text.find("{here}")) != std::string::npos;)
        text.replace(at, 6, here.string());
      return text;
    };
    Args args = kLib;
    for (const std::string& a : extra) args.push_back(fill(a));
    env_.set("CARGO_MANIFEST_DIR", fill(manifest));
    InDir in(here);
    return prepare(args);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto a = side(c.a, c.manifest_a, proj_.path());
    auto b = side(c.b, c.manifest_b, c.same_cwd ? proj_.path() : other.path());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->key == b->key, c.same_key);
    // What is shared is bound to its own paths when its outputs name them.
    if (c.same_key) {
      EXPECT_TRUE(a->bound_key && b->bound_key && *a->bound_key != *b->bound_key);
    }
    if (c.a.empty()) {
      EXPECT_FALSE(a->bound_key);
    }
  }
}

TEST_F(CacheKeyTest, ExternalSourcesAreNotWorkspaceMembers) {
  struct Case {
    std::string manifest_dir;
    bool member;
  };
  const Case cases[] = {
      {(home_ / "cargo/registry/src/x/foo-1.0.0").string(), false},
      {(home_ / "cargo/git/checkouts/foo-1/abc").string(), false},
      {(home_ / "toolchains/1.80/lib").string(), false},
      {"/opt/rust/lib/rustlib/src/rust/library/core", false},
      {proj_.path().string(), true},
      {(home_ / "cargo/registryx/foo").string(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manifest_dir);
    env_.set("CARGO_MANIFEST_DIR", c.manifest_dir);
    auto job = prepare(kLib);
    ASSERT_TRUE(job.has_value()) << job.error();
    EXPECT_EQ(job->workspace_member, c.member);
  }
}

// ------------------------------------------------------------ refusals

TEST_F(CacheKeyTest, RefusalReasons) {
  struct Case {
    const char* label;
    Args args;
    const char* category;
    std::string reason;
  };
  const std::string probe = "a compiler probe run by a build script, not a unit Cargo scheduled";
  const std::string native_libs = "links native libraries or prints compiler information";
  const Case cases[] = {
      {"argument file", with(kLib, {"@/tmp/rustc-args"}), "argument_file",
       "arguments come from an argument file"},
      {"argument file first",
       {"@args", "-lssl"},
       "argument_file",
       "arguments come from an argument file"},
      {"--print=cfg", with(kLib, {"--print=cfg"}), "probe", native_libs},
      {"--print cfg", {"--print", "cfg"}, "probe", native_libs},
      {"no arguments", {}, "probe", probe},
      {"no -C metadata",
       {"--crate-name", "foo", "src/lib.rs", "--crate-type", "lib", "--out-dir", "t"},
       "probe",
       probe},
      {"-C metadata without value",
       {"--crate-name", "foo", "-C", "metadata", "--out-dir", "t"},
       "probe",
       probe},
      {"probe before crate name", {"src/lib.rs"}, "probe", probe},
      {"no crate name",
       {"src/lib.rs", "-C", "metadata=1", "--out-dir", "t"},
       "not_a_unit",
       "no crate name"},
      {"no crate name before no output directory",
       {"-C", "metadata=1"},
       "not_a_unit",
       "no crate name"},
      {"no output directory",
       {"--crate-name", "foo", "src/lib.rs", "-C", "metadata=1"},
       "not_a_unit",
       "no output directory"},
      {"cdylib",
       {"--crate-name", "foo", "--crate-type", "cdylib", "-C", "metadata=1", "--out-dir", "t"},
       "crate_type",
       "crate type cdylib is not cached"},
      {"lib,staticlib",
       {"--crate-name", "foo", "--crate-type", "lib,staticlib", "-C", "metadata=1", "--out-dir",
        "t"},
       "crate_type",
       "crate type staticlib is not cached"},
      {"first bad type named",
       {"--crate-name", "foo", "--crate-type", "dylib", "--crate-type", "staticlib", "-C",
        "metadata=1", "--out-dir", "t"},
       "crate_type",
       "crate type dylib is not cached"},
      {"empty piece",
       {"--crate-name", "foo", "--crate-type", "lib,", "-C", "metadata=1", "--out-dir", "t"},
       "crate_type",
       "crate type  is not cached"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto job = prepare(c.args);
    ASSERT_FALSE(job.has_value());
    EXPECT_EQ(job.error(), (ac::Refusal{c.category, c.reason}));
  }
}

// ------------------------------------------------------------ native linking

bool has_line(const ac::Job& job, const std::string& line) {
  const auto& lines = job.key_lines.lines;
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(CacheKeyTest, NativeLinkingIsKeyedByWhatItReads) {
  const std::string elf =
      "\x7f"
      "ELF shared object";
  const std::string ar = "!<arch>\nmembers";
  const std::string sys = (proj_ / "sys").string();
  struct Case {
    const char* label;
    Args args;
    std::map<std::string, std::string> files;  // below the project
    std::string edited;                        // rewritten: the key must change
    std::string untouched = "";                // rewritten: the key must not
    std::string line = "";                     // a key line that must be there
  };
  const Case cases[] = {
      {"static library in a build script's directory",
       {"-L", "native=t/build/x/out", "-l", "static=foo"},
       {{"t/build/x/out/libfoo.a", ar}, {"t/build/x/out/foo.o", "object"}},
       "t/build/x/out/libfoo.a",
       "",
       "-lstatic=foo"},
      {"the directory by content: another file there",
       {"-Lnative=t/build/x/out"},
       {{"t/build/x/out/gen.h", "x"}},
       "t/build/x/out/gen.h"},
      {"shared library before the archive",
       {"-L", sys, "-lz"},
       {{"sys/libz.so", elf}, {"sys/libz.a", ar}},
       "sys/libz.so",
       "sys/libz.a",
       "-L" + sys},
      {"the first directory wins",
       {"-L", "all=" + sys + "/a", "-L", sys + "/b", "-l", "dylib=z"},
       {{"sys/a/libz.a", ar}, {"sys/b/libz.so", elf}},
       "sys/a/libz.a",
       "sys/b/libz.so"},
      {"static looks for archives only",
       {"-L", sys, "-l", "static=z"},
       {{"sys/libz.so", elf}, {"sys/libz.a", ar}},
       "sys/libz.a",
       "sys/libz.so"},
      {"verbatim", {"-L", sys, "-l", "static:+verbatim=z.o"}, {{"sys/z.o", elf}}, "sys/z.o"},
      {"renamed",
       {"-L", sys, "-l", "static=z:zz"},
       {{"sys/libzz.a", ar}, {"sys/libz.a", ar}},
       "sys/libzz.a",
       "sys/libz.a"},
      {"object as a link argument",
       {"-C", "link-arg=obj/extra.o"},
       {{"obj/extra.o", elf}},
       "obj/extra.o"},
      {"version script of -Wl",
       {"-Clink-arg=-Wl,--version-script=v.map"},
       {{"v.map", "{ global: f; local: *; };"}},
       "v.map"},
      {"words of link-args, a script's separate value",
       {"-L", sys, "-C", "link-args=-Wl,-T,mem.ld -lm"},
       {{"mem.ld", "MEMORY { ram : ORIGIN = 0, LENGTH = 4K }"}, {"sys/libm.a", ar}},
       "mem.ld"},
      {"library of a link argument",
       {"-L", sys, "-Zpre-link-arg=-lq"},
       {{"sys/libq.so", elf}},
       "sys/libq.so"},
      {"ld script and the files it names",
       {"-L", sys, "-l", "c"},
       {{"sys/libc.so", "/* GNU ld script */\nOUTPUT_FORMAT(elf64-x86-64)\nGROUP ( " + sys +
                            "/libc.so.6 AS_NEEDED ( " + sys + "/ld.so ) )"},
        {"sys/libc.so.6", elf},
        {"sys/ld.so", elf}},
       "sys/ld.so"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (const auto& [file, text] : c.files) write_file(proj_ / file, text);
    auto job = prepare(with(kLib, c.args));
    ASSERT_TRUE(job.has_value()) << job.error();
    if (!c.line.empty()) {
      EXPECT_TRUE(has_line(*job, c.line)) << c.line;
    }
    for (const std::string& line : job->key_lines.lines)
      EXPECT_EQ(line.find("t/build"), std::string::npos) << "keyed by its path: " << line;
    if (!c.untouched.empty()) {
      write_file(proj_ / c.untouched, "rewritten");
      EXPECT_EQ(key_of(with(kLib, c.args)), job->key);
    }
    write_file(proj_ / c.edited, c.files.at(c.edited) + " rebuilt");
    EXPECT_NE(key_of(with(kLib, c.args)), job->key);
    fs::remove_all(proj_ / "sys");
    fs::remove_all(proj_ / "t");
  }
}

TEST_F(CacheKeyTest, NativeLinkingThatCannotBeKeyed) {
  const std::string sys = (proj_ / "sys").string();
  write_file(proj_ / "sys/libthin.a", "!<thin>\nother files");
  write_file(proj_ / "sys/libm.so", "GROUP ( -lm_real )");
  write_file(proj_ / "sys/libn.so", "INPUT ( libn.so.1 )");
  write_file(proj_ / "s.ld", "SEARCH_DIR(/opt/lib) INPUT(-lx)");
  write_file(proj_ / "sys/libnested.so", "GROUP ( " + sys + "/libm.so )");
  struct Case {
    const char* label;
    Args args;
    std::string reason;
  };
  const Case cases[] = {
      {"argument file",
       {"-Clink-arg=@args"},
       "link argument @args reads more arguments from a file"},
      {"thin archive",
       {"-L", sys, "-l", "static=thin"},
       "native input " + sys + "/libthin.a is a thin archive, whose members are other files"},
      {"script searching for a library",
       {"-L", sys, "-lm"},
       "linker script " + sys + "/libm.so names -lm_real, which the linker searches for"},
      {"script naming a relative file",
       {"-L", sys, "-ln"},
       "linker script " + sys + "/libn.so names libn.so.1, which the linker searches for"},
      {"script with its own directories",
       {"-C", "link-arg=-Wl,-T,s.ld"},
       "linker script " + (proj_ / "s.ld").string() + " adds directories to search"},
      {"script naming a script",
       {"-L", sys, "-lnested"},
       "native input " + sys + "/libm.so is neither an object nor a linker script to read"},
      {"linker not found",
       {"-C", "linker=no-such-linker-kelv", "-l", "nowhere"},
       "the library directories of the linker are unknown: linker no-such-linker-kelv is not on "
       "PATH"},
      {"another target and no linker",
       {"--target", "aarch64-unknown-linux-gnu", "-l", "nowhere"},
       "the linker for another target is not named, so its library directories are unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto job = prepare(with(kLib, c.args));
    ASSERT_FALSE(job.has_value());
    EXPECT_EQ(job.error(), (ac::Refusal{"native_libraries", c.reason}));
  }
  // A name found nowhere, not even where the C compiler driver looks, is
  // keyed as absent.
  auto job = prepare(with(kLib, {"-l", "kelv_nowhere_at_all"}));
  ASSERT_TRUE(job.has_value()) << job.error();
  EXPECT_TRUE(has_line(*job, "native:-lkelv_nowhere_at_all=absent"));
}

TEST_F(CacheKeyTest, AcceptedCrateTypes) {
  for (const char* types : {"lib", "rlib", "bin", "proc-macro", "lib,rlib"}) {
    SCOPED_TRACE(types);
    auto job = prepare(
        {"--crate-name", "foo", "--crate-type", types, "-C", "metadata=1", "--out-dir", "t"});
    EXPECT_TRUE(job.has_value()) << job.error();
  }
}

TEST_F(CacheKeyTest, CacheOffAndNotACargoUnit) {
  auto off = ac::prepare(std::nullopt, kVersion, std::nullopt, kLib);
  ASSERT_FALSE(off.has_value());
  EXPECT_EQ(off.error(), (ac::Refusal{"off", "the artifact cache is off"}));

  env_.unset("CARGO_MANIFEST_DIR");
  auto plain = prepare(kLib);
  ASSERT_FALSE(plain.has_value());
  EXPECT_EQ(plain.error(), (ac::Refusal{"not_a_unit", "not a Cargo unit"}));
  // The cache being off is decided first.
  auto both = ac::prepare(std::nullopt, kVersion, std::nullopt, kLib);
  ASSERT_FALSE(both.has_value());
  EXPECT_EQ(both.error(), (ac::Refusal{"off", "the artifact cache is off"}));
}

TEST_F(CacheKeyTest, UnreadableWorkingDirectory) {
  const fs::path gone = proj_ / "gone";
  fs::create_directories(gone);
  InDir in(gone);
  fs::remove(gone);
  auto job = prepare(kLib);
  ASSERT_FALSE(job.has_value());
  EXPECT_EQ(job.error(), (ac::Refusal{"unreadable", util::os_error(ENOENT)}));
}

TEST_F(CacheKeyTest, RegistryBinariesOtherThanBuildScriptsAreRefused) {
  env_.set("CARGO_MANIFEST_DIR", (home_ / "cargo/registry/src/x/tool-1.0.0").string());
  const std::string reason = "dependency binaries other than build scripts are not cached";
  struct Case {
    const char* label;
    Args args;
    bool accepted;
  };
  const Case cases[] = {
      {"bin",
       {"--crate-name", "tool", "--crate-type", "bin", "-C", "metadata=1", "--out-dir", "t"},
       false},
      {"test", {"--crate-name", "tool", "--test", "-C", "metadata=1", "--out-dir", "t"}, false},
      {"lib,bin",
       {"--crate-name", "tool", "--crate-type", "lib,bin", "-C", "metadata=1", "--out-dir", "t"},
       false},
      {"build script",
       {"--crate-name", "build_script_build", "--crate-type", "bin", "-C", "metadata=1",
        "--out-dir", "t"},
       true},
      {"other build script",
       {"--crate-name", "build_script_main", "--crate-type", "bin", "-C", "metadata=1", "--out-dir",
        "t"},
       true},
      {"lib",
       {"--crate-name", "tool", "--crate-type", "lib", "-C", "metadata=1", "--out-dir", "t"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto job = prepare(c.args);
    if (c.accepted) {
      ASSERT_TRUE(job.has_value()) << job.error();
      EXPECT_FALSE(job->workspace_member);
    } else {
      ASSERT_FALSE(job.has_value());
      EXPECT_EQ(job.error(), (ac::Refusal{"dependency_binary", reason}));
    }
  }
  // A workspace binary is cached.
  env_.set("CARGO_MANIFEST_DIR", proj_.path().string());
  EXPECT_TRUE(
      prepare({"--crate-name", "tool", "--crate-type", "bin", "-C", "metadata=1", "--out-dir", "t"})
          .has_value());
}

TEST_F(CacheKeyTest, UnreadableOutDir) {
  const fs::path out = proj_ / "out";
  write_file(out / "ok.rs", "");
  fs::create_directories(out / "sub");
  fs::create_symlink(out / "nowhere", out / "sub/dangling.rs");
  env_.set("OUT_DIR", out.string());
  auto job = prepare(kLib);
  ASSERT_FALSE(job.has_value());
  EXPECT_EQ(job.error(), (ac::Refusal{"unreadable", "OUT_DIR is unreadable"}));

  env_.set("OUT_DIR", (proj_ / "missing").string());
  job = prepare(kLib);
  ASSERT_FALSE(job.has_value());
  EXPECT_EQ(job.error(), (ac::Refusal{"unreadable", "OUT_DIR is unreadable"}));
}

TEST_F(CacheKeyTest, UnreadableDependency) {
  const std::string enoent = util::os_error(ENOENT);
  struct Case {
    std::string value;
    std::string reason;
  };
  fs::create_symlink(proj_ / "nothing", proj_ / "libdangling.rlib");
  const Case cases[] = {
      {"bar=/nonexistent/libbar.rlib",
       "dependency /nonexistent/libbar.rlib is unreadable: " + enoent},
      {"bar=t/deps/libbar.rmeta", "dependency t/deps/libbar.rmeta is unreadable: " + enoent},
      {"priv:bar=libdangling.rlib", "dependency libdangling.rlib is unreadable: " + enoent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    for (bool driver : {false, true}) {
      auto job = prepare(with(kLib, {"--extern", c.value}),
                         driver ? std::optional(this->driver()) : std::nullopt);
      ASSERT_FALSE(job.has_value());
      EXPECT_EQ(job.error(), (ac::Refusal{"unreadable", c.reason}));
    }
  }
}

TEST_F(CacheKeyTest, MemoThatCannotBeWrittenMakesTheDependencyUnreadable) {
  write_file(proj_ / "libbar.rlib", "bar");
  const fs::path cache_file = proj_ / "cache-is-a-file";
  write_file(cache_file, "");
  auto job = ac::prepare(cache_file, kVersion, std::nullopt,
                         with(kLib, {"--extern", "bar=" + (proj_ / "libbar.rlib").string()}));
  ASSERT_FALSE(job.has_value());
  EXPECT_EQ(job.error().category, "unreadable");
  EXPECT_TRUE(job.error().text.starts_with("dependency " + (proj_ / "libbar.rlib").string() +
                                           " is unreadable: "))
      << job.error();
}

TEST_F(CacheKeyTest, LinkedUnitNeedsTheLinkRecordsOfItsDependencies) {
  write_file(proj_ / "t/deps/libbar.rlib", "bar rlib");
  write_file(proj_ / "t/deps/libbar.rmeta", "bar rmeta");
  write_file(proj_ / "t/deps/libmac.so", "proc macro");
  const Args bin = {"--crate-name", "app",        "--crate-type", "bin",   "src/main.rs",
                    "-C",           "metadata=1", "--out-dir",    "t/deps"};
  struct Case {
    const char* label;
    Args args;
    std::optional<std::string> reason;
  };
  const Case cases[] = {
      {"rlib", with(bin, {"--extern", "bar=t/deps/libbar.rlib"}),
       "what dependency t/deps/libbar.rlib links was not recorded"},
      {"rmeta", with(bin, {"--extern", "bar=t/deps/libbar.rmeta"}),
       "what dependency t/deps/libbar.rmeta links was not recorded"},
      {"test",
       {"--crate-name", "t1", "--test", "-C", "metadata=1", "--out-dir", "t", "--extern",
        "bar=t/deps/libbar.rlib"},
       "what dependency t/deps/libbar.rlib links was not recorded"},
      {"proc-macro",
       {"--crate-name", "m", "--crate-type", "proc-macro", "-C", "metadata=1", "--out-dir", "t",
        "--extern", "bar=t/deps/libbar.rlib"},
       "what dependency t/deps/libbar.rlib links was not recorded"},
      {"shared library needs no record", with(bin, {"--extern", "mac=t/deps/libmac.so"}),
       std::nullopt},
      {"no link emitted", with(bin, {"--emit=metadata", "--extern", "bar=t/deps/libbar.rlib"}),
       std::nullopt},
      {"library", with(kLib, {"--extern", "bar=t/deps/libbar.rlib"}), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto job = prepare(c.args);
    if (c.reason) {
      ASSERT_FALSE(job.has_value());
      EXPECT_EQ(job.error(), (ac::Refusal{"link_not_recorded", *c.reason}));
    } else {
      EXPECT_TRUE(job.has_value()) << job.error();
    }
  }
}

// ------------------------------------------------------- miss reasons

// A lookup under a key that was never stored names the first key line that
// differs from the unit's last stored key.
TEST_F(CacheKeyTest, MissReasonsNameTheChangedKeyLine) {
  write_file(proj_ / "t/libbar.rlib", "bar");
  write_file(proj_ / "t/libbaz.rlib", "baz");
  const fs::path out_env = proj_ / "t/build/foo-1/out";
  write_file(out_env / "gen.rs", "1");
  write_file(proj_ / "sys/libq.a", "!<arch>\nq");
  const Args base = with(
      kLib, {"--extern", "bar=t/libbar.rlib", "-L", (proj_ / "sys").string(), "-l", "static=q"});
  struct Unit {
    Args args;
    std::optional<fs::path> driver;
    std::string version;
  };
  struct Case {
    const char* label;
    std::function<void(Unit&)> change;
    ac::Miss miss;
  };
  const Case cases[] = {
      {"nothing stored for this unit",
       [](Unit& u) {
         u.args = with(u.args, {"-C", "extra-filename=-2"});
       },
       {"new", ""}},
      {"another compiler", [](Unit& u) { u.version += "patched\n"; }, {"compiler", "rustc"}},
      {"a driver now", [this](Unit& u) { u.driver = driver(); }, {"compiler", "driver"}},
      {"an added option",
       [](Unit& u) {
         u.args = with(u.args, {"--cfg", "feature=\"std\""});
       },
       {"arguments", "--cfg"}},
      {"another opt-level",
       [](Unit& u) {
         u.args = with(u.args, {"-C", "opt-level=3"});
       },
       {"arguments", "-Copt-level"}},
      {"a package variable changed",
       [this](Unit&) { env_.set("CARGO_PKG_NAME", "secret-value"); },
       {"environment", "CARGO_PKG_NAME"}},
      {"a variable set",
       [this](Unit&) { env_.set("CARGO_PKG_VERSION", "0.2.0"); },
       {"environment", "CARGO_PKG_VERSION"}},
      {"a variable unset",
       [this](Unit&) { env_.unset("CARGO_PKG_NAME"); },
       {"environment", "CARGO_PKG_NAME"}},
      {"bootstrapping",
       [this](Unit&) { env_.set("RUSTC_BOOTSTRAP", "1"); },
       {"environment", "RUSTC_BOOTSTRAP"}},
      {"build script output",
       [&](Unit&) { write_file(out_env / "gen.rs", "2"); },
       {"input", "<OUT_DIR>"}},
      {"a native library rebuilt",
       [this](Unit&) { write_file(proj_ / "sys/libq.a", "!<arch>\nq, rebuilt"); },
       {"input", "-lstatic=q"}},
      {"a dependency rebuilt",
       [this](Unit&) { write_file(proj_ / "t/libbar.rlib", "bar, rebuilt"); },
       {"dependency", "bar"}},
      {"a dependency added",
       [](Unit& u) {
         u.args = with(u.args, {"--extern", "baz=t/libbaz.rlib"});
       },
       {"dependency", "baz"}},
      {"a dependency dropped",
       [this](Unit& u) {
         u.args = with(kLib, {"-L", (proj_ / "sys").string(), "-l", "static=q"});
       },
       {"dependency", "bar"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir cache;
    env_.set("CARGO_PKG_NAME", "foo");
    env_.set("OUT_DIR", out_env.string());
    Unit unit{base, std::nullopt, kVersion};
    const auto make = [&] {
      return ac::prepare(cache.path(), unit.version, unit.driver, unit.args);
    };
    auto stored = make();
    ASSERT_TRUE(stored.has_value()) << stored.error();
    store_unit(*stored);

    c.change(unit);
    auto changed = make();
    ASSERT_TRUE(changed.has_value()) << changed.error();
    auto looked = changed->lookup();
    ASSERT_FALSE(looked.has_value());
    EXPECT_EQ(looked.error(), c.miss);
    EXPECT_EQ(looked.error().detail.find("secret-value"), std::string::npos);

    // The stored key itself still hits.
    unit = Unit{base, std::nullopt, kVersion};
    env_.set("CARGO_PKG_NAME", "foo");
    env_.unset("CARGO_PKG_VERSION");
    env_.unset("RUSTC_BOOTSTRAP");
    write_file(out_env / "gen.rs", "1");
    write_file(proj_ / "t/libbar.rlib", "bar");
    write_file(proj_ / "sys/libq.a", "!<arch>\nq");
    auto again = make();
    ASSERT_TRUE(again.has_value()) << again.error();
    EXPECT_TRUE(again->lookup().has_value());
  }
}

// ------------------------------------------------- inlining and emit rules

TEST(CacheKeyRules, MirInlining) {
  struct Case {
    const char* opt;
    std::optional<std::string> mir_opt_level;
    std::optional<std::string> inline_mir;
    bool incremental;
    bool inlines;
  };
  using std::nullopt;
  const Case cases[] = {
      // opt-level alone
      {"", nullopt, nullopt, false, false},
      {"0", nullopt, nullopt, false, false},
      {"1", nullopt, nullopt, false, false},
      {"2", nullopt, nullopt, false, true},
      {"3", nullopt, nullopt, false, true},
      {"3", nullopt, nullopt, true, false},
      {"2", nullopt, nullopt, true, false},
      {"s", nullopt, nullopt, false, false},
      {"z", nullopt, nullopt, false, false},
      {"33", nullopt, nullopt, false, false},
      // inline-mir decides before anything else
      {"0", nullopt, "yes", true, true},
      {"3", nullopt, "n", false, false},
      {"3", nullopt, "no", false, false},
      {"3", nullopt, "off", false, false},
      {"3", nullopt, "false", false, false},
      {"0", nullopt, "N", false, true},
      {"0", nullopt, "", false, true},
      {"0", "0", "on", false, true},
      {"3", "3", "no", false, false},
      // mir-opt-level
      {"3", "0", nullopt, false, false},
      {"3", "1", nullopt, false, false},
      {"3", "+1", nullopt, false, false},
      {"0", "3", nullopt, true, true},
      {"0", "4294967295", nullopt, false, true},
      {"0", "4294967296", nullopt, false, true},
      {"0", "", nullopt, false, true},
      {"0", "+", nullopt, false, true},
      {"0", "-", nullopt, false, true},
      {"3", "-1", nullopt, false, true},
      {"3", "++1", nullopt, false, true},
      {"3", "1x", nullopt, false, true},
      {"3", "01", nullopt, false, false},
      // exactly 2 falls back to the opt-level rule
      {"3", "2", nullopt, false, true},
      {"3", "+2", nullopt, false, true},
      {"3", "2", nullopt, true, false},
      {"1", "2", nullopt, false, false},
      {"", "2", nullopt, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "opt=" << c.opt << " mir-opt-level=" << c.mir_opt_level.value_or("(none)")
                 << " inline-mir=" << c.inline_mir.value_or("(none)")
                 << " incremental=" << c.incremental);
    const ac::InliningOptions options{c.opt, c.mir_opt_level, c.inline_mir};
    EXPECT_EQ(ac::mir_inlining(options, c.incremental), c.inlines);
  }
}

TEST(CacheKeyRules, EmitsLink) {
  struct Case {
    std::optional<std::string_view> emit;
    bool links;
  };
  const Case cases[] = {
      {std::nullopt, true},
      {"link", true},
      {"dep-info,metadata,link", true},
      {"link=/tmp/out", true},
      {"metadata,link=x,dep-info", true},
      {"metadata", false},
      {"dep-info,metadata", false},
      {"", false},
      {"linker", false},
      {"mylink", false},
      {"link-args", false},
      {"metadata,", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.emit ? std::string(*c.emit) : "(none)");
    EXPECT_EQ(ac::emits_link(c.emit), c.links);
  }
}

// --------------------------------------------- crate hash or content hash

class CacheKeyDependencies : public CacheKeyTest {
 protected:
  CacheKeyDependencies() {
    write_fake_rmeta(rmeta(), kSvh);
    write_file(proj_ / "t/deps/libbar-9f.rlib", "the archive of bar");
    write_file(proj_ / "t/deps/libbar-9f.kelv-svh", kSvh);
  }
  fs::path rmeta() const { return proj_ / "t/deps/libbar-9f.rmeta"; }
  fs::path rlib() const { return proj_ / "t/deps/libbar-9f.rlib"; }

  // Records what libbar links (nothing), as record_link_inputs would.
  void record_bar_links() {
    struct stat st;
    ASSERT_EQ(::stat(rlib().c_str(), &st), 0);
    util::Json record = {
        {"rlib", rlib().string()}, {"deps", util::Json::array()}, {"native", util::Json::array()}};
    ASSERT_TRUE(
        util::write_json_fast(cache_ / "l" / util::key_digest({ac::fingerprint(st)}), record));
  }
  std::string bar_link_hash() { return util::key_digest({"content=" + blake3_of_file(rlib())}); }

  const std::string kSvh = "0123456789abcdef0fedcba987654321";
};

TEST_F(CacheKeyDependencies, CrateHashOrContentHash) {
  struct Case {
    const char* label;
    bool driver;
    Args extra;
    Lines extra_lines;
    bool svh;
  };
  const Case cases[] = {
      {"no driver", false, {}, {}, false},
      {"no driver at opt-level 0", false, {"-C", "opt-level=0"}, {"-Copt-level=0"}, false},
      {"default opt-level", true, {}, {}, true},
      {"opt-level 0", true, {"-C", "opt-level=0"}, {"-Copt-level=0"}, true},
      {"opt-level 1", true, {"-C", "opt-level=1"}, {"-Copt-level=1"}, true},
      {"opt-level s", true, {"-C", "opt-level=s"}, {"-Copt-level=s"}, true},
      {"opt-level 2", true, {"-C", "opt-level=2"}, {"-Copt-level=2"}, false},
      {"opt-level 3", true, {"-C", "opt-level=3"}, {"-Copt-level=3"}, false},
      {"-O", true, {"-O"}, {"-O"}, false},
      {"incremental at opt-level 3",
       true,
       {"-C", "opt-level=3", "-C", "incremental=/i"},
       {"-Copt-level=3", "-Cincremental"},
       true},
      {"mir-opt-level 0 at opt-level 3",
       true,
       {"-C", "opt-level=3", "-Z", "mir-opt-level=0"},
       {"-Copt-level=3", "-Zmir-opt-level=0"},
       true},
      {"mir-opt-level 3 at opt-level 0",
       true,
       {"-C", "opt-level=0", "-Zmir-opt-level=3"},
       {"-Copt-level=0", "-Zmir-opt-level=3"},
       false},
      {"inline-mir at opt-level 0",
       true,
       {"-C", "opt-level=0", "-Z", "inline-mir"},
       {"-Copt-level=0", "-Zinline-mir"},
       false},
      {"inline-mir=no at opt-level 3",
       true,
       {"-C", "opt-level=3", "-Z", "inline-mir=no"},
       {"-Copt-level=3", "-Zinline-mir=no"},
       true},
      {"enabled inline pass",
       true,
       {"-Z", "mir-enable-passes=-Foo,+Inline"},
       {"-Zmir-enable-passes=-Foo,+Inline"},
       false},
      {"disabled inline pass",
       true,
       {"-Z", "mir-enable-passes=-Inline"},
       {"-Zmir-enable-passes=-Inline"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string extern_line =
        c.svh ? "--extern=bar=svh:" + kSvh : "--extern=bar=sha:" + blake3_of_file(rmeta());
    const Lines expected = concat({head(c.driver, true),
                                   kLibLines,
                                   c.extra_lines,
                                   {"CARGO_MANIFEST_DIR=" + proj_.path().string(), extern_line}});
    const Args args = with(with(kLib, c.extra), {"--extern", "bar=" + rmeta().string()});
    EXPECT_EQ(key_of(args, c.driver ? std::optional(driver()) : std::nullopt),
              util::key_digest(expected));
  }
}

TEST_F(CacheKeyDependencies, StaleCrateHashFileFallsBackToContent) {
  write_file(proj_ / "t/deps/libbar-9f.kelv-svh", "0123456789abcdef0fedcba987654320");
  const Lines expected = concat({head(true, true),
                                 kLibLines,
                                 {"CARGO_MANIFEST_DIR=" + proj_.path().string(),
                                  "--extern=bar=sha:" + blake3_of_file(rlib())}});
  EXPECT_EQ(key_of(with(kLib, {"--extern", "bar=" + rlib().string()}), driver()),
            util::key_digest(expected));
}

TEST_F(CacheKeyDependencies, DriverLineFromTheDriverDirectory) {
  struct Case {
    fs::path driver;
    std::string line;
  };
  const Case cases[] = {
      {"/x/drivers/tc-1/kelv-rustc-driver", "driver=tc-1"},
      {"kelv-rustc-driver", "driver="},
      {"/kelv-rustc-driver", "driver="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver.string());
    Lines expected = {"kelv-artifact-cache-4", "rustc=" + util::sha256_hex(kVersion), c.line,
                      "workspace=" + proj_.path().string()};
    expected.insert(expected.end(), kLibLines.begin(), kLibLines.end());
    expected.push_back("CARGO_MANIFEST_DIR=" + proj_.path().string());
    EXPECT_EQ(key_of(kLib, c.driver), util::key_digest(expected));
  }
}

TEST_F(CacheKeyDependencies, LinkedUnitKeysAndObjectsStage) {
  record_bar_links();
  const Args bin = {"--crate-name",
                    "app",
                    "--edition=2021",
                    "src/main.rs",
                    "--crate-type",
                    "bin",
                    "-C",
                    "metadata=77",
                    "--out-dir",
                    "t/deps",
                    "--extern",
                    "proc_macro",
                    "--extern",
                    "bar=" + rmeta().string()};
  const Lines arg_lines = {"--crate-name=app", "--edition=2021", "src/main.rs", "--crate-type=bin",
                           "-Cmetadata=77"};
  const Lines env_lines = {"CARGO_MANIFEST_DIR=" + proj_.path().string()};

  auto job = prepare(bin, driver());
  ASSERT_TRUE(job.has_value()) << job.error();
  EXPECT_TRUE(job->links);
  EXPECT_EQ(job->stem, "app");
  EXPECT_EQ(
      job->key,
      util::key_digest(concat({head(true, true),
                               arg_lines,
                               env_lines,
                               {"--extern=proc_macro", "--extern=bar=link:" + bar_link_hash()}})));
  ASSERT_TRUE(job->objects_key.has_value());
  EXPECT_EQ(*job->objects_key, util::key_digest(concat({head(true, true),
                                                        arg_lines,
                                                        env_lines,
                                                        {"stage=objects", "--extern=proc_macro",
                                                         "--extern=bar=svh:" + kSvh}})));

  // bar is rebuilt with new code but the same interface: the main key
  // changes, the objects key does not (the unit can be relinked).
  write_file(rlib(), "the archive of bar, rebuilt with a changed function body");
  record_bar_links();
  auto rebuilt = prepare(bin, driver());
  ASSERT_TRUE(rebuilt.has_value()) << rebuilt.error();
  EXPECT_NE(rebuilt->key, job->key);
  EXPECT_EQ(rebuilt->objects_key, job->objects_key);

  // Without a driver, or inlining MIR, there is no objects stage.
  auto plain = prepare(bin);
  ASSERT_TRUE(plain.has_value()) << plain.error();
  EXPECT_TRUE(plain->links);
  EXPECT_FALSE(plain->objects_key.has_value());
  auto inlining = prepare(with(bin, {"-C", "opt-level=3"}), driver());
  ASSERT_TRUE(inlining.has_value()) << inlining.error();
  EXPECT_FALSE(inlining->objects_key.has_value());
  EXPECT_EQ(
      inlining->key,
      util::key_digest(concat({head(true, true),
                               arg_lines,
                               {"-Copt-level=3"},
                               env_lines,
                               {"--extern=proc_macro", "--extern=bar=link:" + bar_link_hash()}})));
}

TEST_F(CacheKeyDependencies, WhichUnitsLinkAndWhichCanBeRelinked) {
  record_bar_links();
  struct Case {
    const char* label;
    Args args;
    bool links;
    bool objects;
  };
  const Args bin = {"--crate-name", "b",          "--crate-type", "bin",
                    "-C",           "metadata=1", "--out-dir",    "t"};
  const Case cases[] = {
      {"lib",
       {"--crate-name", "l", "--crate-type", "lib", "-C", "metadata=1", "--out-dir", "t"},
       false,
       false},
      {"bin",
       {"--crate-name", "b", "--crate-type", "bin", "-C", "metadata=1", "--out-dir", "t"},
       true,
       true},
      {"test", {"--crate-name", "t1", "--test", "-C", "metadata=1", "--out-dir", "t"}, true, true},
      {"proc-macro",
       {"--crate-name", "m", "--crate-type", "proc-macro", "-C", "metadata=1", "--out-dir", "t"},
       true,
       false},
      {"bin emitting metadata only",
       {"--crate-name", "b", "--crate-type", "bin", "--emit=dep-info,metadata", "-C", "metadata=1",
        "--out-dir", "t"},
       false,
       false},
      {"bin emitting link to a path",
       {"--crate-name", "b", "--crate-type", "bin", "--emit=link=/tmp/b", "-C", "metadata=1",
        "--out-dir", "t"},
       true,
       true},
      // Link-time optimisation puts the dependencies' code into the objects.
      {"-C lto", with(bin, {"-C", "lto"}), true, false},
      {"-Clto=fat", with(bin, {"-Clto=fat"}), true, false},
      {"-C lto=thin", with(bin, {"-C", "lto=thin"}), true, false},
      {"-C lto=yes", with(bin, {"-C", "lto=yes"}), true, false},
      {"-C lto=bogus", with(bin, {"-C", "lto=bogus"}), true, false},
      {"-C lto=off", with(bin, {"-C", "lto=off"}), true, true},
      {"the last -C lto counts", with(bin, {"-Clto=fat", "-C", "lto=no"}), true, true},
      {"-C linker-plugin-lto", with(bin, {"-C", "linker-plugin-lto"}), true, true},
      {"target requiring lto", with(bin, {"--target", "amdgcn-amd-amdhsa"}), true, false},
      {"spec requiring lto", with(bin, {"--target=lto.json"}), true, false},
      {"spec not requiring lto", with(bin, {"--target", "plain.json"}), true, true},
      {"spec that is no object", with(bin, {"--target", "broken.json"}), true, false},
  };
  write_file(proj_ / "lto.json", R"({"arch": "x86_64", "requires-lto": true})");
  write_file(proj_ / "plain.json", R"({"arch": "x86_64", "requires-lto": false})");
  write_file(proj_ / "broken.json", "[1, 2");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto job = prepare(with(c.args, {"--extern", "bar=" + rmeta().string()}), driver());
    ASSERT_TRUE(job.has_value()) << job.error();
    EXPECT_EQ(job->links, c.links);
    EXPECT_EQ(job->objects_key.has_value(), c.objects);
  }
}

TEST_F(CacheKeyDependencies, MetadataOnlyBinKeysDependenciesByInterface) {
  // No link record exists: a unit that does not link does not need one.
  const Args bin = {"--crate-name",
                    "b",
                    "--crate-type",
                    "bin",
                    "--emit=metadata",
                    "-C",
                    "metadata=1",
                    "--out-dir",
                    "t",
                    "--extern",
                    "bar=" + rmeta().string()};
  const Lines expected =
      concat({head(true, true),
              {"--crate-name=b", "--crate-type=bin", "--emit=metadata", "-Cmetadata=1",
               "CARGO_MANIFEST_DIR=" + proj_.path().string(), "--extern=bar=svh:" + kSvh}});
  EXPECT_EQ(key_of(bin, driver()), util::key_digest(expected));
}

}  // namespace
}  // namespace kelv
