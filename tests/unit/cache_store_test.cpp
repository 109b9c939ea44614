// Cache entries: collecting a unit's dynamic dependencies, entry names,
// storing, looking up and restoring, discarding damaged entries, and the
// quick records.
#include <blake3.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/entry_pack.h"
#include "artifact_cache/fetch_claim.h"
#include "artifact_cache/prefetch.h"
#include "artifact_cache/remote_tier.h"
#include "artifact_cache/size_bound.h"
#include "artifact_cache/store.h"
#include "support/hostile.h"
#include "support/servers.h"
#include "support/testing.h"
#include "support/world.h"
#include "util/clock.h"
#include "util/error.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"

namespace kelv::artifact_cache {

inline std::ostream& operator<<(std::ostream& os, const Miss& m) {
  return os << m.category << ": " << m.detail;
}

}  // namespace kelv::artifact_cache

namespace kelv {
namespace {

namespace fs = std::filesystem;
namespace ac = artifact_cache;
using testing::blake3_of;
using testing::EnvVar;
using testing::member_names;
using testing::names_in;
using testing::read_file;
using testing::set_mtime;
using testing::stat_of;
using testing::TempDir;
using testing::write_file;
using Strings = std::vector<std::string>;
using Miss = artifact_cache::Miss;

// Why a lookup missed; a failure when it hit.
Miss miss_of(const std::expected<artifact_cache::LookupHit, Miss>& looked) {
  if (looked) {
    ADD_FAILURE() << "a hit of " << looked->entry;
    return {};
  }
  return looked.error();
}

constexpr uint64_t kSecond = 1000000000ull;

std::string blake3_of_file(const fs::path& path) {
  return blake3_of(read_file(path));
}

// Writes a file as a new inode (never through an existing hard link).
void replace_file(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  fs::remove(path, ec);
  write_file(path, bytes);
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  std::string out;
  size_t pos = 0;
  for (size_t hit; (hit = text.find(from, pos)) != std::string::npos; pos = hit + from.size())
    out += text.substr(pos, hit - pos) + to;
  return out + text.substr(pos);
}

// A workspace library unit "x" (stem "x-1") with a build script output
// directory, compiled at `start_`: its sources predate the compilation, its
// outputs come after.
class CacheUnit : public ::testing::Test {
 public:
  CacheUnit()
      : version_("CARGO_PKG_VERSION", "0.1.0"), foo_("FOO", "bar"), start_(util::now_wall_ns()) {
    proj_ = root_ / "proj";
    out_ = proj_ / "target/debug/deps";
    out_env_ = proj_ / "target/debug/build/x-1/out";
    job_.cache_dir = root_ / "cache";
    job_.key = "0123456789abcdef0123456789abcdef";
    job_.out_dir = out_;
    job_.stem = "x-1";
    job_.cwd = proj_;
    job_.out_dir_env = out_env_;
    job_.workspace_member = true;
    job_.links = false;
    write_source(proj_ / "src/lib.rs",
                 "pub fn x() -> u32 { include!(concat!(env!(\"OUT_DIR\"), \"/gen.rs\")) }\n");
    write_source(out_env_ / "gen.rs", "7");
    write_outputs();
  }

  void write_source(const fs::path& path, const std::string& bytes) {
    write_file(path, bytes);
    set_mtime(path, start_ - 10 * kSecond);
  }

  std::string depinfo() const {
    const std::string o = out_.string(), e = out_env_.string();
    const std::string deps = " src/lib.rs " + e + "/gen.rs\n";
    return o + "/x-1.d:" + deps + "\n" + o + "/libx-1.rlib:" + deps + "\n" + o +
           "/libx-1.rmeta:" + deps + "\nsrc/lib.rs:\n" + e +
           "/gen.rs:\n\n# env-dep:CARGO_PKG_VERSION=0.1.0\n# env-dep:FOO=bar\n# env-dep:OUT_DIR=" +
           e + "\n# env-dep:CARGO_PKG_VERSION=0.1.0\n";
  }

  // The outputs of a compilation, as new files.
  void write_outputs() {
    replace_file(out_ / "libx-1.rlib", "!<arch>\nrlib of x " + std::string(3000, 'r'));
    replace_file(out_ / "libx-1.rmeta", std::string("rust\0\0\0\x09", 8) + "metadata of x");
    replace_file(out_ / "x-1.d", depinfo());
  }

  std::string diagnostics() const {
    return "{\"message\":\"unused variable\",\"file\":\"" + out_env_.string() +
           "/gen.rs\"}\nwarning written to " + out_.string() + "/libx-1.rlib\n";
  }

  // The entry name, computed from its definition.
  std::string expected_entry() const {
    const std::string first = util::key_digest(
        {job_.key, "CARGO_PKG_VERSION=set:0.1.0", "FOO=set:bar", "OUT_DIR=<content>"});
    return util::key_digest({first, "src/lib.rs=" + blake3_of_file(proj_ / "src/lib.rs")});
  }

  fs::path entry_dir() const { return job_.cache_dir / "e" / expected_entry(); }

  void store_ok() {
    auto stored = job_.store(diagnostics(), start_);
    ASSERT_TRUE(stored.has_value()) << stored.error();
    ASSERT_TRUE(fs::exists(entry_dir() / "entry.json"));
  }

  void remove_outputs() {
    for (const char* name : {"libx-1.rlib", "libx-1.rmeta", "x-1.d"}) fs::remove(out_ / name);
  }

  util::Json entry_json() const { return *util::read_json(entry_dir() / "entry.json"); }
  void write_entry_json(const util::Json& j) {
    ASSERT_TRUE(util::write_json_fast(entry_dir() / "entry.json", j));
  }

  // No half-made entry is left in tmp/.
  void expect_tmp_clean() {
    for (const std::string& name : names_in(job_.cache_dir / "tmp"))
      ADD_FAILURE() << "left in tmp/: " << name;
  }

  TempDir root_;
  EnvVar version_, foo_;
  uint64_t start_;
  fs::path proj_, out_, out_env_;
  ac::Job job_;
};

// ------------------------------------------------------------ entry names

TEST(CacheEntryName, WorkedExample) {
  TempDir cwd, cache;
  EnvVar version("CARGO_PKG_VERSION", "0.1.0");
  write_file(cwd / "src/lib.rs", "pub fn f() {}");
  const std::string key = "fedcba9876543210fedcba9876543210";
  const Strings env_deps = {"CARGO_PKG_VERSION", "OUT_DIR"};
  const Strings inputs = {"<OUT_DIR>/x.rs", "src/lib.rs"};
  const std::string first =
      util::key_digest({key, "CARGO_PKG_VERSION=set:0.1.0", "OUT_DIR=<content>"});
  const std::string expected =
      util::key_digest({first, "src/lib.rs=" + blake3_of_file(cwd / "src/lib.rs")});
  EXPECT_EQ(ac::entry_name(cache.path(), key, env_deps, inputs, {}, cwd.path()), expected);

  version.set(std::nullopt);
  const std::string first_unset =
      util::key_digest({key, "CARGO_PKG_VERSION=unset", "OUT_DIR=<content>"});
  EXPECT_EQ(ac::entry_name(cache.path(), key, env_deps, inputs, {}, cwd.path()),
            util::key_digest({first_unset, "src/lib.rs=" + blake3_of_file(cwd / "src/lib.rs")}));
  // Set to the empty text is not unset.
  version.set("");
  EXPECT_EQ(
      ac::entry_name(cache.path(), key, env_deps, inputs, {}, cwd.path()),
      util::key_digest({util::key_digest({key, "CARGO_PKG_VERSION=set:", "OUT_DIR=<content>"}),
                        "src/lib.rs=" + blake3_of_file(cwd / "src/lib.rs")}));
}

TEST(CacheEntryName, SpanDepsAndUnreadableDependencies) {
  TempDir cwd, cache;
  write_file(cwd / "src/lib.rs", "code");
  write_file(cwd / "deps/libdep.rmeta", "dep metadata");
  const std::string key = "00000000000000000000000000000001";
  const Strings spans = {(cwd / "deps/libdep.rmeta").string()};
  const std::string expected = util::key_digest(
      {util::key_digest({key}), "spans-of=" + blake3_of_file(cwd / "deps/libdep.rmeta"),
       "src/lib.rs=" + blake3_of_file(cwd / "src/lib.rs")});
  EXPECT_EQ(ac::entry_name(cache.path(), key, {}, Strings{"src/lib.rs"}, spans, cwd.path()),
            expected);
  // Inputs below OUT_DIR need not exist here: their content is in the key.
  EXPECT_TRUE(ac::entry_name(cache.path(), key, {}, Strings{"<OUT_DIR>/gone.rs"}, {}, cwd.path())
                  .has_value());
  EXPECT_EQ(ac::entry_name(cache.path(), key, {}, Strings{"src/gone.rs"}, {}, cwd.path()),
            std::nullopt);
  EXPECT_EQ(
      ac::entry_name(cache.path(), key, {}, {}, Strings{(cwd / "gone.rmeta").string()}, cwd.path()),
      std::nullopt);
}

// ------------------------------------------------------- dep-info inputs

TEST_F(CacheUnit, CollectInputs) {
  auto in = ac::collect_inputs(job_, start_);
  ASSERT_TRUE(in.has_value()) << in.error();
  EXPECT_EQ(in->env_deps, (Strings{"CARGO_PKG_VERSION", "FOO", "OUT_DIR"}));
  EXPECT_EQ(in->inputs, (Strings{"<OUT_DIR>/gen.rs", "src/lib.rs"}));
}

TEST_F(CacheUnit, CollectInputsLineFormats) {
  write_source(proj_ / "src/a b.rs", "");
  write_source(proj_ / "src/c.rs", "");
  replace_file(out_ / "x-1.d", "# a comment: with colon and space\r\n" + out_.string() +
                                   "/x-1.d: src/c.rs src/a\\ b.rs\tsrc/c.rs\r\n\r\nsrc/c.rs:\r\n"
                                   "# env-dep:NO_VALUE\r\n# env-dep:A=1=2\r\n");
  auto in = ac::collect_inputs(job_, start_);
  ASSERT_TRUE(in.has_value()) << in.error();
  EXPECT_EQ(in->env_deps, (Strings{"A", "NO_VALUE"}));
  EXPECT_EQ(in->inputs, (Strings{"src/a b.rs", "src/c.rs"}));
}

TEST_F(CacheUnit, CollectInputsErrors) {
  const std::string enoent = util::os_error(ENOENT);
  struct Case {
    const char* label;
    std::optional<std::string> depinfo;  // absent: no dep-info file
    std::string error;
  };
  const Case cases[] = {
      {"no dep-info", std::nullopt, "no dep-info: " + enoent},
      {"only comments", "# env-dep:FOO=bar\n", "dep-info lists no inputs"},
      {"no colon and space", "x-1.d:src/lib.rs\n", "dep-info lists no inputs"},
      {"missing input", "x-1.d: src/lib.rs src/gone.rs\n",
       "input src/gone.rs is unreadable: " + enoent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove(out_ / "x-1.d");
    if (c.depinfo) write_file(out_ / "x-1.d", *c.depinfo);
    auto in = ac::collect_inputs(job_, start_);
    ASSERT_FALSE(in.has_value());
    EXPECT_EQ(in.error(), c.error);
  }
}

TEST_F(CacheUnit, InputChangedDuringTheCompilation) {
  set_mtime(proj_ / "src/lib.rs", start_ - 1);
  EXPECT_TRUE(ac::collect_inputs(job_, start_).has_value());
  set_mtime(proj_ / "src/lib.rs", start_);
  auto in = ac::collect_inputs(job_, start_);
  ASSERT_FALSE(in.has_value());
  EXPECT_EQ(in.error(), "src/lib.rs changed during the compilation");

  auto stored = job_.store(diagnostics(), start_);
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(stored.error(), "src/lib.rs changed during the compilation");
  EXPECT_TRUE(names_in(job_.cache_dir / "e").empty());
  EXPECT_FALSE(fs::exists(job_.key_record(job_.key)));
  expect_tmp_clean();
}

TEST_F(CacheUnit, RegistryCrateHasNoInputs) {
  job_.workspace_member = false;
  // Its dep-info names files that are not there: they are not looked at.
  replace_file(out_ / "x-1.d",
               "x-1.d: /registry/src/lib.rs /registry/src/gone.rs\n\n# env-dep:FOO=bar\n");
  auto in = ac::collect_inputs(job_, start_);
  ASSERT_TRUE(in.has_value()) << in.error();
  EXPECT_EQ(in->env_deps, Strings{"FOO"});
  EXPECT_TRUE(in->inputs.empty());

  ASSERT_TRUE(job_.store("", start_).has_value());
  const std::string name = util::key_digest({util::key_digest({job_.key, "FOO=set:bar"})});
  EXPECT_TRUE(fs::exists(job_.cache_dir / "e" / name / "entry.json"));
  const auto record = util::read_json(job_.key_record(job_.key));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ((*record)["inputs"], util::Json::array());
}

// ------------------------------------------------------------ store

TEST_F(CacheUnit, StoreWritesEntryAndKeyRecord) {
  store_ok();
  const fs::path dir = entry_dir();
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"entry.json", "stderr", "libx-1.rlib",
                                                  "libx-1.rmeta", "x-1.d"}));
  EXPECT_EQ(read_file(dir / "stderr"), diagnostics());
  for (const char* name : {"libx-1.rlib", "libx-1.rmeta", "x-1.d"})
    EXPECT_EQ(read_file(dir / name), read_file(out_ / name)) << name;
  // Libraries are hard-linked, the dep-info is copied.
  EXPECT_EQ(stat_of(dir / "libx-1.rlib").st_ino, stat_of(out_ / "libx-1.rlib").st_ino);
  EXPECT_NE(stat_of(dir / "x-1.d").st_ino, stat_of(out_ / "x-1.d").st_ino);

  const util::Json entry = entry_json();
  EXPECT_EQ(member_names(entry), (Strings{"files", "executable", "hashes", "out_dir", "out_dir_env",
                                          "env_deps", "inputs", "stored_at", "compile_ns"}));
  EXPECT_EQ(entry["files"], util::Json::array({"libx-1.rlib", "libx-1.rmeta", "x-1.d"}));
  EXPECT_EQ(entry["executable"], util::Json::array());
  EXPECT_EQ(member_names(entry["hashes"]), (Strings{"libx-1.rlib", "libx-1.rmeta", "x-1.d"}));
  for (const char* name : {"libx-1.rlib", "libx-1.rmeta", "x-1.d"})
    EXPECT_EQ(entry["hashes"][name], blake3_of_file(out_ / name)) << name;
  EXPECT_EQ(entry["out_dir"], out_.string());
  EXPECT_EQ(entry["out_dir_env"], out_env_.string());
  EXPECT_EQ(entry["env_deps"], util::Json::array({"CARGO_PKG_VERSION", "FOO", "OUT_DIR"}));
  EXPECT_EQ(entry["inputs"], util::Json::array({"<OUT_DIR>/gen.rs", "src/lib.rs"}));
  ASSERT_TRUE(entry["stored_at"].is_string());
  EXPECT_EQ(entry["stored_at"].get<std::string>().size(), 24u);  // YYYY-MM-DDTHH:MM:SS.mmmZ
  // From the compilation's start to the store.
  ASSERT_TRUE(entry["compile_ns"].is_number_unsigned());
  EXPECT_GT(entry["compile_ns"].get<uint64_t>(), 0u);
  EXPECT_LE(entry["compile_ns"].get<uint64_t>(), util::now_wall_ns() - start_);

  // Indented, with a trailing newline.
  const std::string text = read_file(dir / "entry.json");
  EXPECT_TRUE(text.starts_with("{\n  \"files\": [\n")) << text;
  EXPECT_TRUE(text.ends_with("}\n"));

  const auto record = util::read_json(job_.key_record(job_.key));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(member_names(*record), (Strings{"env_deps", "inputs", "span_deps", "env_digests",
                                            "span_hashes", "input_hashes"}));
  EXPECT_EQ((*record)["env_deps"], entry["env_deps"]);
  EXPECT_EQ((*record)["inputs"], entry["inputs"]);
  EXPECT_EQ((*record)["span_deps"], util::Json::array());
  // What a later miss compares: digests of the variables' values (OUT_DIR's
  // content is the key's), the inputs' content hashes (not those below
  // OUT_DIR), never a value itself.
  EXPECT_EQ(member_names((*record)["env_digests"]), (Strings{"CARGO_PKG_VERSION", "FOO"}));
  EXPECT_EQ((*record)["env_digests"]["FOO"], util::key_digest({job_.key, "FOO=set:bar"}));
  EXPECT_EQ((*record)["span_hashes"], util::Json::object());
  EXPECT_EQ((*record)["input_hashes"],
            util::Json({{"src/lib.rs", blake3_of_file(proj_ / "src/lib.rs")}}));
  EXPECT_EQ(read_file(job_.key_record(job_.key)).find("0.1.0"), std::string::npos);

  // The library hashes went through the content memo.
  const std::string memo = util::key_digest({ac::fingerprint(stat_of(out_ / "libx-1.rlib"))});
  EXPECT_EQ(read_file(job_.cache_dir / "h" / memo).substr(0, 64),
            entry["hashes"]["libx-1.rlib"].get<std::string>());
  expect_tmp_clean();
}

TEST_F(CacheUnit, OnlyOutputsOfThisCompilationAreStored) {
  // More than a second before the start: left by an earlier build.
  set_mtime(out_ / "libx-1.rlib", start_ - kSecond - 1);
  // Exactly a second before still counts as this compilation's.
  set_mtime(out_ / "libx-1.rmeta", start_ - kSecond);
  // A directory under a candidate's name is not an output.
  fs::create_directories(out_ / "x-1");
  store_ok();
  EXPECT_EQ(entry_json()["files"], util::Json::array({"libx-1.rmeta", "x-1.d"}));
  EXPECT_FALSE(fs::exists(entry_dir() / "libx-1.rlib"));
}

TEST_F(CacheUnit, CandidatesInOrderWithExecutableBits) {
  for (const char* name :
       {"x-1.exe", "x-1", "x-1.dll", "libx-1.dylib", "libx-1.so", "libx-1.kelv-svh"})
    write_file(out_ / name, std::string("output ") + name);
  fs::permissions(out_ / "x-1", fs::perms(0755));
  fs::permissions(out_ / "libx-1.rmeta", fs::perms(0700));
  fs::permissions(out_ / "libx-1.rlib", fs::perms(0644));
  // Not candidates.
  write_file(out_ / "x-1.rlink", "not stored");
  write_file(out_ / "libx-1.kelv-span-deps-not", "not stored");
  store_ok();
  const util::Json entry = entry_json();
  EXPECT_EQ(entry["files"],
            util::Json::array({"libx-1.rlib", "libx-1.rmeta", "libx-1.kelv-svh", "libx-1.so",
                               "libx-1.dylib", "x-1.dll", "x-1", "x-1.exe", "x-1.d"}));
  EXPECT_EQ(entry["executable"], util::Json::array({"libx-1.rmeta", "x-1"}));
}

TEST_F(CacheUnit, NothingButDepInfoIsNotStored) {
  fs::remove(out_ / "libx-1.rlib");
  fs::remove(out_ / "libx-1.rmeta");
  auto stored = job_.store(diagnostics(), start_);
  ASSERT_FALSE(stored.has_value());
  EXPECT_EQ(stored.error(), "the compilation left no output to cache");
  EXPECT_TRUE(names_in(job_.cache_dir / "e").empty());
  expect_tmp_clean();
}

TEST_F(CacheUnit, FailedStoreRemovesItsTemporaryDirectory) {
  // The content memo cannot be written: hashing the stored library fails.
  write_file(job_.cache_dir / "h", "not a directory");
  auto stored = job_.store(diagnostics(), start_);
  ASSERT_FALSE(stored.has_value());
  EXPECT_FALSE(stored.error().empty());
  expect_tmp_clean();
  EXPECT_FALSE(fs::exists(job_.key_record(job_.key)));
  fs::remove(job_.cache_dir / "h");

  // The entries directory cannot be made: publishing fails.
  write_file(job_.cache_dir / "e", "not a directory");
  stored = job_.store(diagnostics(), start_);
  ASSERT_FALSE(stored.has_value());
  EXPECT_FALSE(stored.error().empty());
  expect_tmp_clean();
  EXPECT_FALSE(fs::exists(job_.key_record(job_.key)));
}

TEST_F(CacheUnit, StaleTemporaryDirectoryOfThisProcessIsReplaced) {
  const fs::path tmp =
      job_.cache_dir / "tmp" / (expected_entry() + "-" + std::to_string(::getpid()));
  write_file(tmp / "leftover", "from a failed store");
  store_ok();
  EXPECT_FALSE(fs::exists(tmp));
  EXPECT_FALSE(fs::exists(entry_dir() / "leftover"));
}

TEST_F(CacheUnit, StoringAnExistingEntryOnlyWritesTheKeyRecord) {
  store_ok();
  const std::string entry_before = read_file(entry_dir() / "entry.json");
  fs::remove(job_.key_record(job_.key));
  auto again = job_.store("other diagnostics", start_);
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_TRUE(fs::exists(job_.key_record(job_.key)));
  EXPECT_EQ(read_file(entry_dir() / "entry.json"), entry_before);
  EXPECT_EQ(read_file(entry_dir() / "stderr"), diagnostics());
}

TEST_F(CacheUnit, SpanDepsSelectTheEntry) {
  write_file(root_ / "deps/libdep.rmeta", "dep metadata v1");
  const std::string span = (root_ / "deps/libdep.rmeta").string();
  write_file(out_ / "libx-1.kelv-span-deps", "\n" + span + "\r\n\n");
  {
    auto stored = job_.store(diagnostics(), start_);
    ASSERT_TRUE(stored.has_value()) << stored.error();
  }
  const auto record = util::read_json(job_.key_record(job_.key));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ((*record)["span_deps"], util::Json::array({span}));
  const std::string first = util::key_digest(
      {job_.key, "CARGO_PKG_VERSION=set:0.1.0", "FOO=set:bar", "OUT_DIR=<content>"});
  const std::string name = util::key_digest({first, "spans-of=" + blake3_of_file(span),
                                             "src/lib.rs=" + blake3_of_file(proj_ / "src/lib.rs")});
  EXPECT_TRUE(fs::exists(job_.cache_dir / "e" / name / "entry.json"));

  remove_outputs();
  auto hit = job_.lookup();
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->entry, name);
  // The crate whose spans the metadata carries changed: a miss.
  replace_file(span, "dep metadata v2");
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"dependency", span}));
  fs::remove(span);
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"dependency", span}));
}

TEST_F(CacheUnit, StaleSpanDepsFileIsIgnored) {
  write_file(root_ / "deps/libdep.rmeta", "dep metadata");
  write_file(out_ / "libx-1.kelv-span-deps", (root_ / "deps/libdep.rmeta").string() + "\n");
  set_mtime(out_ / "libx-1.kelv-span-deps", start_ - 2 * kSecond);
  store_ok();  // the plain entry name: no span deps
  const auto record = util::read_json(job_.key_record(job_.key));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ((*record)["span_deps"], util::Json::array());
}

TEST_F(CacheUnit, TwoProcessesStoringAtOnce) {
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(go[1]);
      char byte;
      (void)::read(go[0], &byte, 1);  // both start together when the pipe closes
      const auto stored = job_.store(diagnostics(), start_);
      ::_exit(stored.has_value() ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(names_in(job_.cache_dir / "e"), std::set<std::string>{expected_entry()});
  EXPECT_EQ(names_in(entry_dir()), (std::set<std::string>{"entry.json", "stderr", "libx-1.rlib",
                                                          "libx-1.rmeta", "x-1.d"}));
  EXPECT_TRUE(fs::exists(job_.key_record(job_.key)));
  expect_tmp_clean();
}

// ------------------------------------------------------------ lookup

TEST_F(CacheUnit, LookupRestoresTheOutputs) {
  const std::string rlib = read_file(out_ / "libx-1.rlib");
  const std::string rmeta = read_file(out_ / "libx-1.rmeta");
  const std::string dep_info = read_file(out_ / "x-1.d");
  store_ok();
  remove_outputs();
  set_mtime(entry_dir() / "entry.json", 1000000000ull * kSecond);

  auto hit = job_.lookup();
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->entry, expected_entry());
  EXPECT_EQ(hit->stderr_text, diagnostics());
  EXPECT_EQ(hit->foreign_out_dir, std::nullopt);
  EXPECT_EQ(hit->stored_compile_ns, entry_json()["compile_ns"].get<uint64_t>());
  EXPECT_EQ(read_file(out_ / "libx-1.rlib"), rlib);
  EXPECT_EQ(read_file(out_ / "libx-1.rmeta"), rmeta);
  EXPECT_EQ(read_file(out_ / "x-1.d"), dep_info);
  EXPECT_EQ(stat_of(out_ / "libx-1.rlib").st_mode & 0111, 0u);

  // Restored libraries have content memos; the dep-info has none.
  for (const char* name : {"libx-1.rlib", "libx-1.rmeta"}) {
    const fs::path memo =
        job_.cache_dir / "h" / util::key_digest({ac::fingerprint(stat_of(out_ / name))});
    ASSERT_TRUE(fs::exists(memo)) << name;
    EXPECT_EQ(read_file(memo).substr(0, 64), blake3_of_file(out_ / name));
  }
  EXPECT_FALSE(fs::exists(job_.cache_dir / "h" /
                          util::key_digest({ac::fingerprint(stat_of(out_ / "x-1.d"))})));
  // The hit was recorded on entry.json.
  EXPECT_GT(util::mtime_ns(stat_of(entry_dir() / "entry.json")), 1000000000ull * kSecond);
  // A restored file is a file of its own, not a link into the entry.
  EXPECT_NE(stat_of(out_ / "libx-1.rlib").st_ino, stat_of(entry_dir() / "libx-1.rlib").st_ino);

  // A temporary file left by an earlier process of this number is replaced,
  // and a missing output directory is made.
  remove_outputs();
  const fs::path stale = out_ / (".libx-1.rlib." + std::to_string(::getpid()) + ".tmp");
  write_file(stale, "stale");
  ASSERT_TRUE(job_.lookup().has_value());
  EXPECT_EQ(read_file(out_ / "libx-1.rlib"), rlib);
  EXPECT_FALSE(fs::exists(stale));
  fs::remove_all(out_);
  ASSERT_TRUE(job_.lookup().has_value());
  EXPECT_EQ(read_file(out_ / "libx-1.rmeta"), rmeta);
  EXPECT_EQ(read_file(out_ / "x-1.d"), dep_info);
}

TEST_F(CacheUnit, LookupRestoresExecutables) {
  job_.stem = "app-2";
  job_.links = true;
  replace_file(out_ / "app-2",
               "\x7f"
               "ELF executable");
  fs::permissions(out_ / "app-2", fs::perms(0700));
  replace_file(out_ / "app-2.d", "app-2: src/lib.rs\n");
  ASSERT_TRUE(job_.store("", start_).has_value());
  fs::remove(out_ / "app-2");
  fs::remove(out_ / "app-2.d");
  auto hit = job_.lookup();
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(read_file(out_ / "app-2"),
            "\x7f"
            "ELF executable");
  EXPECT_EQ(stat_of(out_ / "app-2").st_mode & 07777, 0755u);
  EXPECT_EQ(stat_of(out_ / "app-2.d").st_mode & 0111, 0u);
}

TEST_F(CacheUnit, LookupFromAnotherOutputDirectoryRewritesPaths) {
  store_ok();
  ac::Job other = job_;
  other.out_dir = root_ / "elsewhere/target/release/deps";
  other.out_dir_env = root_ / "elsewhere/target/release/build/x-9/out";
  auto hit = other.lookup();
  ASSERT_TRUE(hit.has_value());
  const auto moved = [&](std::string text) {
    text = replace_all(text, out_.string(), other.out_dir.string());
    return replace_all(text, out_env_.string(), other.out_dir_env->string());
  };
  EXPECT_EQ(hit->stderr_text, moved(diagnostics()));
  EXPECT_NE(hit->stderr_text, diagnostics());
  EXPECT_EQ(read_file(other.out_dir / "x-1.d"), moved(depinfo()));
  EXPECT_EQ(read_file(other.out_dir / "libx-1.rlib"), read_file(out_ / "libx-1.rlib"));
  // The crate read OUT_DIR, which now differs.
  EXPECT_EQ(hit->foreign_out_dir, out_env_.string());

  other.out_dir_env.reset();
  hit = other.lookup();
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->foreign_out_dir, out_env_.string());
}

TEST_F(CacheUnit, LookupMissesWhenDependenciesChange) {
  store_ok();
  const std::string name = expected_entry();
  ASSERT_TRUE(job_.lookup().has_value());

  // An edited source, then edited back.
  write_file(proj_ / "src/lib.rs", "pub fn x() -> u32 { 8 }\n");
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"input", "src/lib.rs"}));
  write_file(proj_ / "src/lib.rs",
             "pub fn x() -> u32 { include!(concat!(env!(\"OUT_DIR\"), \"/gen.rs\")) }\n");
  auto back = job_.lookup();
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->entry, name);

  // A variable read through env!.
  foo_.set("baz");
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"environment", "FOO"}));
  foo_.set(std::nullopt);
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"environment", "FOO"}));
  foo_.set("bar");
  EXPECT_TRUE(job_.lookup().has_value());

  // A deleted input: a miss, and the entry stays.
  fs::rename(proj_ / "src/lib.rs", proj_ / "src/lib.rs.away");
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"input", "src/lib.rs"}));
  EXPECT_TRUE(fs::exists(job_.cache_dir / "e" / name / "entry.json"));
  fs::rename(proj_ / "src/lib.rs.away", proj_ / "src/lib.rs");
  EXPECT_TRUE(job_.lookup().has_value());

  // The build script output changing is the key's business, not the entry's.
  write_file(out_env_ / "gen.rs", "9");
  EXPECT_TRUE(job_.lookup().has_value());

  // A key record written without the digests cannot say which changed.
  const util::Json record = *util::read_json(job_.key_record(job_.key));
  util::Json older = record;
  for (const char* member : {"env_digests", "span_hashes", "input_hashes"}) older.erase(member);
  ASSERT_TRUE(util::write_json_fast(job_.key_record(job_.key), older));
  EXPECT_TRUE(job_.lookup().has_value());
  foo_.set("baz");
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"input", ""}));
  foo_.set("bar");

  // Nothing changed, but the entry is gone (trimmed).
  ASSERT_TRUE(util::write_json_fast(job_.key_record(job_.key), record));
  ASSERT_TRUE(ac::discard(job_.cache_dir, entry_dir()));
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"new", "the entry was removed"}));
}

TEST_F(CacheUnit, LookupMissesWithoutUsableKeyRecord) {
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"new", ""}));  // nothing stored
  store_ok();
  // A Job made by hand has no key lines to compare.
  ac::Job other_key = job_;
  other_key.key = "ffffffffffffffffffffffffffffffff";
  EXPECT_EQ(miss_of(other_key.lookup()), (Miss{"new", ""}));

  write_file(job_.key_record(job_.key), "this is not JSON");
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"new", ""}));
  EXPECT_TRUE(fs::exists(entry_dir()));
  write_file(job_.key_record(job_.key), "[1, 2]");
  EXPECT_EQ(miss_of(job_.lookup()), (Miss{"new", ""}));
  EXPECT_TRUE(fs::exists(entry_dir()));
}

TEST_F(CacheUnit, DamagedEntryIsDiscarded) {
  const std::string enoent = util::os_error(ENOENT);
  struct Case {
    const char* label;
    std::function<void(CacheUnit&)> damage;
    std::string detail;
  };
  const Case cases[] = {
      {"corrupted stored byte",
       [](CacheUnit& t) {
         const fs::path f = t.entry_dir() / "libx-1.rlib";
         std::string bytes = read_file(f);
         bytes[bytes.size() / 2] ^= 0x20;
         replace_file(f, bytes);
       },
       "libx-1.rlib does not have the content it was stored with"},
      {"missing stored file", [](CacheUnit& t) { fs::remove(t.entry_dir() / "libx-1.rmeta"); },
       "libx-1.rmeta is unreadable: " + enoent},
      {"missing stderr", [](CacheUnit& t) { fs::remove(t.entry_dir() / "stderr"); },
       "stderr is unreadable: " + enoent},
      {"no recorded hash",
       [](CacheUnit& t) {
         util::Json j = t.entry_json();
         j["hashes"].erase("x-1.d");
         t.write_entry_json(j);
       },
       "x-1.d does not have the content it was stored with"},
      {"hash in upper case",
       [](CacheUnit& t) {
         util::Json j = t.entry_json();
         std::string h = j["hashes"]["libx-1.rmeta"];
         for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         j["hashes"]["libx-1.rmeta"] = h;
         t.write_entry_json(j);
       },
       "libx-1.rmeta does not have the content it was stored with"},
      {"hash not text",
       [](CacheUnit& t) {
         util::Json j = t.entry_json();
         j["hashes"]["libx-1.rlib"] = 5;
         t.write_entry_json(j);
       },
       "libx-1.rlib does not have the content it was stored with"},
      {"hashes not an object",
       [](CacheUnit& t) {
         util::Json j = t.entry_json();
         j["hashes"] = util::Json::array();
         t.write_entry_json(j);
       },
       "libx-1.rlib does not have the content it was stored with"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_outputs();
    store_ok();
    c.damage(*this);
    remove_outputs();
    EXPECT_EQ(miss_of(job_.lookup()), (Miss{"damaged", c.detail}));
    EXPECT_FALSE(fs::exists(entry_dir()));
    EXPECT_TRUE(fs::exists(job_.key_record(job_.key)));
    expect_tmp_clean();
    // The next store publishes a fresh entry under the same name, which hits.
    write_outputs();
    store_ok();
    remove_outputs();
    EXPECT_TRUE(job_.lookup().has_value());
    std::error_code ec;
    fs::remove_all(job_.cache_dir / "e", ec);
  }
}

TEST_F(CacheUnit, UnreadableEntryRecordIsAPlainMiss) {
  store_ok();
  const std::string text = read_file(entry_dir() / "entry.json");
  write_file(entry_dir() / "entry.json", text.substr(0, text.size() / 2));
  remove_outputs();
  const Miss unreadable{"damaged", "entry.json is unreadable"};
  EXPECT_EQ(miss_of(job_.lookup()), unreadable);
  EXPECT_TRUE(fs::exists(entry_dir()));  // nothing removed
  EXPECT_FALSE(fs::exists(out_ / "libx-1.rlib"));

  write_file(entry_dir() / "entry.json", "[\"not an object\"]");
  EXPECT_EQ(miss_of(job_.lookup()), unreadable);
  fs::remove(entry_dir() / "entry.json");
  EXPECT_EQ(miss_of(job_.lookup()), unreadable);
  EXPECT_TRUE(fs::exists(entry_dir()));
}

// A published entry whose record does not parse is damaged for good: the
// next store of the unit replaces it, after which lookups hit again.
TEST_F(CacheUnit, StoreReplacesAnEntryWhoseRecordDoesNotParse) {
  store_ok();
  const std::string text = read_file(entry_dir() / "entry.json");
  write_file(entry_dir() / "entry.json", text.substr(0, text.size() / 2));
  remove_outputs();
  EXPECT_FALSE(job_.lookup().has_value());
  write_outputs();
  store_ok();
  // A whole record again (its compile time may differ by a digit).
  EXPECT_EQ(member_names(entry_json()), member_names(util::Json::parse(text)));
  remove_outputs();
  EXPECT_TRUE(job_.lookup().has_value());
  EXPECT_TRUE(fs::exists(out_ / "libx-1.rlib"));
}

TEST_F(CacheUnit, EntryWithoutFilesStillReplaysDiagnostics) {
  store_ok();
  util::Json j = entry_json();
  j.erase("files");
  write_entry_json(j);
  remove_outputs();
  auto hit = job_.lookup();
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->stderr_text, diagnostics());
  EXPECT_FALSE(fs::exists(out_ / "libx-1.rlib"));

  // Elements that are not text are skipped.
  j["files"] = util::Json::array({1, nullptr, "x-1.d"});
  write_entry_json(j);
  hit = job_.lookup();
  ASSERT_TRUE(hit.has_value());
  EXPECT_TRUE(fs::exists(out_ / "x-1.d"));
  EXPECT_FALSE(fs::exists(out_ / "libx-1.rlib"));
}

// A tampered entry naming files outside its directory must never make the
// lookup write outside the output directory.
TEST_F(CacheUnit, TamperedFileNamesNeverLeaveTheOutputDirectory) {
  const std::string evil_bytes = "planted by someone else";
  const std::string evil_hash = blake3_of(evil_bytes);
  const fs::path victim = root_ / "victim";
  struct Case {
    const char* label;
    std::string name;
    // Where a lookup that trusted the name would read the stored bytes and
    // write the restored file.
    std::function<fs::path(CacheUnit&)> stored_at;
    std::function<fs::path(CacheUnit&)> written_at;
  };
  const Case cases[] = {
      {"parent directory", "../evil", [](CacheUnit& t) { return t.job_.cache_dir / "e/evil"; },
       [](CacheUnit& t) { return t.out_.parent_path() / "evil"; }},
      {"subdirectory", "sub/evil", [](CacheUnit& t) { return t.entry_dir() / "sub/evil"; },
       [](CacheUnit& t) { return t.out_ / "sub/evil"; }},
      {"absolute path", victim.string(), [victim](CacheUnit&) { return victim; },
       [victim](CacheUnit&) { return victim; }},
      {"NUL inside", std::string("nul\0.rlib", 9),
       [](CacheUnit& t) { return t.entry_dir() / "nul"; },
       [](CacheUnit& t) { return t.out_ / "nul"; }},
      {"dot dot", "..", [](CacheUnit& t) { return t.job_.cache_dir / "e"; },
       [](CacheUnit& t) { return t.out_.parent_path(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_outputs();
    store_ok();
    const fs::path stored = c.stored_at(*this), written = c.written_at(*this);
    const bool plant = !fs::is_directory(stored);
    if (plant) write_file(stored, evil_bytes);
    const std::string written_before =
        fs::is_regular_file(written) ? read_file(written) : std::string("(absent)");
    util::Json j = entry_json();
    j["files"].push_back(c.name);
    j["hashes"][c.name] = evil_hash;
    j["executable"].push_back(c.name);
    write_entry_json(j);
    remove_outputs();

    EXPECT_EQ(miss_of(job_.lookup()),
              (Miss{"damaged", "entry.json names a file outside the entry"}));
    EXPECT_FALSE(fs::exists(entry_dir()));
    if (plant && written != stored) {
      EXPECT_FALSE(fs::exists(written)) << written;
    }
    if (written == stored) {
      EXPECT_EQ(read_file(written), written_before);
      EXPECT_EQ(stat_of(written).st_mode & 0111, 0u);
    }
    std::error_code ec;
    if (plant) fs::remove(stored, ec);
    fs::remove_all(job_.cache_dir / "e", ec);
  }
}

// A plain name is not enough: only the files the unit itself writes are
// restored, or an entry could overwrite another crate's library in deps/.
TEST_F(CacheUnit, EntriesRestoreOnlyTheUnitsOwnOutputs) {
  const std::string evil = "another crate's library, replaced";
  for (const std::string name : {"libvictim-9.rlib", "libx-2.rlib", "x-1", "x-1.exe", "libx-1"}) {
    SCOPED_TRACE(name);
    write_outputs();
    store_ok();
    write_file(entry_dir() / name, evil);
    write_file(out_ / name, "the victim");
    util::Json j = entry_json();
    j["files"].push_back(name);
    j["hashes"][name] = blake3_of(evil);
    write_entry_json(j);
    remove_outputs();
    EXPECT_EQ(miss_of(job_.lookup()),
              (Miss{"damaged", "entry.json names " + name + ", which the unit does not write"}));
    EXPECT_EQ(read_file(out_ / name), "the victim");
    EXPECT_FALSE(fs::exists(out_ / "libx-1.rlib"));
    std::error_code ec;
    fs::remove_all(job_.cache_dir / "e", ec);
    fs::remove(out_ / name, ec);
  }
}

// Names in "executable" are read from the record too: a name that is not a
// plain file name marks the entry as damaged even when "files" is clean.
TEST_F(CacheUnit, TamperedExecutableNamesMakeTheEntryDamaged) {
  const std::string names[] = {"../x-1.d", "sub/x", std::string("x\0y", 3)};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    write_outputs();
    store_ok();
    util::Json j = entry_json();
    j["executable"].push_back(name);
    write_entry_json(j);
    remove_outputs();
    EXPECT_EQ(miss_of(job_.lookup()),
              (Miss{"damaged", "entry.json names a file outside the entry"}));
    EXPECT_FALSE(fs::exists(entry_dir()));
    std::error_code ec;
    fs::remove_all(job_.cache_dir / "e", ec);
  }
}

TEST_F(CacheUnit, MalformedMemoOfAnOutputIsRecomputed) {
  const fs::path memo =
      job_.cache_dir / "h" / util::key_digest({ac::fingerprint(stat_of(out_ / "libx-1.rlib"))});
  write_file(memo, "123");
  store_ok();
  EXPECT_EQ(entry_json()["hashes"]["libx-1.rlib"], blake3_of_file(out_ / "libx-1.rlib"));
  EXPECT_EQ(read_file(memo).substr(0, 64), blake3_of_file(out_ / "libx-1.rlib"));
  remove_outputs();
  EXPECT_TRUE(job_.lookup().has_value());
}

// ------------------------------------------------------------ rewrite

// A tampered entry must not make the replayed diagnostics grow without
// bound: each pair's output is final.
TEST(CacheRewritePaths, GrowthIsBoundedByTheLongestReplacement) {
  const std::string slashes(1 << 16, '/');
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"/", "/home/dev/project/target/debug/deps"}, {"/", "/home/dev/project/target/out"}};
  EXPECT_EQ(ac::rewrite_paths(slashes, pairs).size(), slashes.size() * pairs[0].second.size());
}

TEST(CacheRewritePaths, PairsApplyInOrder) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* label;
    std::string bytes;
    Pairs pairs;
    std::string text;
  };
  const Case cases[] = {
      {"every occurrence", "/a/x and /a/y", {{"/a", "/b"}}, "/b/x and /b/y"},
      {"empty from skipped", "text", {{"", "X"}}, "text"},
      {"same from and to skipped", "/a/x", {{"/a", "/a"}}, "/a/x"},
      {"what one pair wrote is not rewritten again", "ab", {{"a", "b"}, {"b", "c"}}, "bc"},
      {"the first pair wins at a position",
       "/a/deps /a",
       {{"/a/deps", "/n/deps"}, {"/a", "/o"}},
       "/n/deps /o"},
      {"left to right without overlaps", "aaa", {{"aa", "b"}}, "ba"},
      {"replacement containing the pattern", "a-a", {{"a", "aa"}}, "aa-aa"},
      {"no pairs", "unchanged", {}, "unchanged"},
      {"invalid UTF-8 replaced",
       "a\xff"
       "b /o",
       {{"/o", "/n"}},
       "a\xEF\xBF\xBD"
       "b /n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ac::rewrite_paths(c.bytes, c.pairs), c.text);
  }
}

// ------------------------------------------------------------ discard

TEST(CacheDiscard, MovesTheEntryAwayAndDeletesIt) {
  TempDir cache;
  const fs::path entry = cache / "e/0123456789abcdef0123456789abcdef";
  write_file(entry / "entry.json", "{}");
  write_file(entry / "libx.rlib", "bytes");
  EXPECT_TRUE(ac::discard(cache.path(), entry));
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_TRUE(names_in(cache / "tmp").empty());
}

TEST(CacheDiscard, MissingEntryIsFalse) {
  TempDir cache;
  EXPECT_FALSE(ac::discard(cache.path(), cache / "e/00000000000000000000000000000000"));
  EXPECT_TRUE(fs::is_directory(cache / "tmp"));
  EXPECT_TRUE(names_in(cache / "tmp").empty());
  // tmp/ cannot be made.
  TempDir other;
  write_file(other / "tmp", "a file");
  write_file(other / "e/x/entry.json", "{}");
  EXPECT_FALSE(ac::discard(other.path(), other / "e/x"));
  EXPECT_TRUE(fs::exists(other / "e/x/entry.json"));
}

TEST(CacheDiscard, TwoProcessesDiscardingOneEntry) {
  TempDir cache;
  const fs::path entry = cache / "e/0123456789abcdef0123456789abcdef";
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    for (int i = 0; i < 200; ++i) write_file(entry / ("f" + std::to_string(i)), "bytes");
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(go[1]);
        char byte;
        (void)::read(go[0], &byte, 1);
        ::_exit(ac::discard(cache.path(), entry) ? 0 : 1);
      }
      children.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);
    int moved = 0;
    for (pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status));
      if (WEXITSTATUS(status) == 0) ++moved;
    }
    EXPECT_EQ(moved, 1);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(names_in(cache / "tmp").empty());
  }
}

// ------------------------------------------------------------ quick records

TEST(CacheQuick, RecordPerOutputDirectoryAndStem) {
  TempDir cache;
  ac::Job job;
  job.cache_dir = cache.path();
  job.key = "0123456789abcdef0123456789abcdef";
  job.out_dir = "/w/target/debug/deps";
  job.stem = "app-1f";

  EXPECT_FALSE(job.known_quick());
  EXPECT_FALSE(fs::exists(cache / "q"));
  ASSERT_TRUE(job.remember_quick().has_value());
  const fs::path record = cache / "q" / util::key_digest({"/w/target/debug/deps", "app-1f"});
  ASSERT_TRUE(fs::exists(record));
  EXPECT_EQ(read_file(record), "");
  EXPECT_EQ(names_in(cache / "q"), std::set<std::string>{record.filename().string()});
  EXPECT_TRUE(job.known_quick());

  ac::Job same = job;
  same.key = "ffffffffffffffffffffffffffffffff";  // another key: the same record
  same.objects_key = "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee";
  EXPECT_TRUE(same.known_quick());
  ac::Job other_dir = job;
  other_dir.out_dir = "/w/target/release/deps";
  EXPECT_FALSE(other_dir.known_quick());
  ac::Job other_suffix = job;
  other_suffix.stem = "app-2e";
  EXPECT_FALSE(other_suffix.known_quick());

  ASSERT_TRUE(job.remember_quick().has_value());  // again: still one record
  EXPECT_EQ(names_in(cache / "q").size(), 1u);
  same.forget_quick();
  EXPECT_FALSE(job.known_quick());
  job.forget_quick();  // nothing to remove
  EXPECT_FALSE(job.known_quick());
}

TEST(CacheQuick, UnwritableCache) {
  TempDir dir;
  write_file(dir / "cache", "a file");
  ac::Job job;
  job.cache_dir = dir / "cache";
  job.out_dir = "/w";
  job.stem = "s";
  EXPECT_FALSE(job.remember_quick().has_value());
  EXPECT_FALSE(job.known_quick());
  job.forget_quick();
}

// ------------------------------------------------------------ remote objects
// An entry travels as one pack; what comes back from a server is checked
// whole before any of it is written.
TEST_F(CacheUnit, EntryPackRoundTripAndTampering) {
  store_ok();
  const std::string entry = expected_entry();
  TempDir written;
  auto packed = ac::write_pack(entry_dir(), job_.key, entry, written / "pack");
  ASSERT_TRUE(packed.has_value()) << packed.error();
  const std::string pack = read_file(written / "pack");
  ASSERT_EQ(pack.size(), *packed);
  {
    TempDir into;
    ASSERT_TRUE(ac::unpack_entry(pack, job_.key, entry, into.path()).has_value());
    EXPECT_EQ(names_in(into.path()), names_in(entry_dir()));
    for (const std::string& name : names_in(entry_dir()))
      EXPECT_EQ(read_file(into / name), read_file(entry_dir() / name)) << name;
  }
  const size_t body = pack.find('\n', pack.find('\n') + 1) + 1;
  const auto in_header = [&](const std::string& from, const std::string& to) {
    return replace_all(pack.substr(0, body), from, to) + pack.substr(body);
  };
  std::string flipped = pack;
  flipped.back() ^= 1;
  struct Row {
    const char* what;
    std::string bytes;
    std::string key, entry;
    const char* error;
  };
  const Row rows[] = {
      {"truncated", pack.substr(0, pack.size() - 1), job_.key, entry, "truncated"},
      {"extended", pack + "x", job_.key, entry, "more than it describes"},
      {"a byte changed", flipped, job_.key, entry, "recorded content"},
      {"another entry's name", pack, job_.key, std::string(32, 'f'), "another entry"},
      {"another key", pack, std::string(32, 'e'), entry, "another entry"},
      {"a name leaving the entry", in_header("\"libx-1.rlib\"", "\"../x1.rlib\""), job_.key, entry,
       "outside the entry"},
      {"a name twice", in_header("\"libx-1.rmeta\"", "\"libx-1.rlib\""), job_.key, entry, "twice"},
      {"not a pack", "<html>403 Forbidden</html>", job_.key, entry, "not an entry"},
      {"no header", "kelv-entry 1\n{", job_.key, entry, "header"},
  };
  for (const Row& row : rows) {
    TempDir into;
    auto unpacked = ac::unpack_entry(row.bytes, row.key, row.entry, into.path());
    ASSERT_FALSE(unpacked.has_value()) << row.what;
    EXPECT_NE(unpacked.error().find(row.error), std::string::npos)
        << row.what << ": " << unpacked.error();
    EXPECT_TRUE(names_in(into.path()).empty()) << row.what;
  }
  // A record that does not describe the files the pack holds: the entry is
  // not packed here, and a pack that carries one is refused.
  util::Json record = entry_json();
  record["hashes"]["libx-1.rlib"] = std::string(64, '0');
  write_entry_json(record);
  auto refused = ac::write_pack(entry_dir(), job_.key, entry, written / "refused");
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().find("libx-1.rlib does not have the content"), std::string::npos);
  EXPECT_FALSE(fs::exists(written / "refused"));
  util::Json header = *util::parse_json(pack.substr(13, body - 14));
  const std::string record_text = read_file(entry_dir() / "entry.json");
  const size_t record_size = header["files"][0]["size"].get<size_t>();
  header["files"][0]["size"] = record_text.size();
  header["files"][0]["blake3"] = util::blake3_hex(record_text);
  const std::string lying =
      "kelv-entry 1\n" + header.dump() + "\n" + record_text + pack.substr(body + record_size);
  TempDir into;
  auto unpacked = ac::unpack_entry(lying, job_.key, entry, into.path());
  ASSERT_FALSE(unpacked.has_value());
  EXPECT_NE(unpacked.error().find("does not match libx-1.rlib"), std::string::npos);
}

// A build list from the server names plain keys and entries, or nothing.
TEST(CacheBuildList, RoundTripAndRefusals) {
  const std::vector<ac::ListedUnit> units = {{"k1", "e1"}, {"k2", "e2"}};
  EXPECT_EQ(ac::parse_build_list(ac::build_list_text(units)), units);
  // A key or an entry named again is left out.
  EXPECT_EQ(ac::parse_build_list(R"({"units": [["k1", "e1"], ["k1", "e3"], ["k3", "e1"], )"
                                 R"(["k2", "e2"]]})"),
            units);
  for (const char* text : {"", "[]", R"({"units": {}})", R"({"units": [["k"]]})",
                           R"({"units": [["k", 1]]})", R"({"units": [["../k", "e"]]})",
                           R"({"units": [["k", ".e"]]})", R"({"units": [["k", "e/f"]]})"})
    EXPECT_FALSE(ac::parse_build_list(text)) << text;
}

TEST(CacheRemoteSettings, FromTheEnvironment) {
  struct Row {
    std::optional<std::string> address, mode, timeout;
    std::string error;  // empty: accepted
  };
  const Row rows[] = {
      {std::nullopt, std::nullopt, std::nullopt, ""},
      {"redis://127.0.0.1:6379", std::nullopt, std::nullopt, ""},
      {"http://u:s3cr3t@h:8080/c", "read-only", "500", ""},
      {"redis://h", "read-write", std::nullopt, ""},
      {"redis://h", "readonly", std::nullopt, "KELV_REMOTE_CACHE_MODE must be"},
      {"redis://h", std::nullopt, "0", "KELV_REMOTE_TIMEOUT_MS must be"},
      {"redis://h", std::nullopt, "2s", "KELV_REMOTE_TIMEOUT_MS must be"},
      {"redis://h", std::nullopt, "3600000", ""},
      {"redis://h", std::nullopt, "3600001", "KELV_REMOTE_TIMEOUT_MS must be"},
      {"redis://h", std::nullopt, "9999999999", "KELV_REMOTE_TIMEOUT_MS must be"},
      {"ftp://u:s3cr3t@h/", std::nullopt, std::nullopt, "KELV_REMOTE_CACHE"},
  };
  for (const Row& row : rows) {
    EnvVar address("KELV_REMOTE_CACHE", row.address), mode("KELV_REMOTE_CACHE_MODE", row.mode),
        timeout("KELV_REMOTE_TIMEOUT_MS", row.timeout);
    auto remote = ac::Remote::from_env();
    const std::string what = row.address.value_or("(unset)");
    if (!row.error.empty()) {
      ASSERT_FALSE(remote.has_value()) << what;
      EXPECT_NE(remote.error().find(row.error), std::string::npos) << remote.error();
      EXPECT_EQ(remote.error().find("s3cr3t"), std::string::npos) << remote.error();
      continue;
    }
    ASSERT_TRUE(remote.has_value()) << what << ": " << remote.error();
    EXPECT_EQ(remote->has_value(), row.address.has_value()) << what;
    if (!*remote) continue;
    EXPECT_EQ((*remote)->read_only, row.mode == "read-only") << what;
    EXPECT_EQ((*remote)->program.filename(),
              row.address->starts_with("redis") ? "kelv-remote-redis" : "kelv-remote");
    EXPECT_EQ((*remote)->server.display.find("s3cr3t"), std::string::npos);
    if (row.timeout) {
      EXPECT_EQ((*remote)->limits.io_timeout.count(), std::stoi(*row.timeout));
    }
  }
}

// ---- The remote tier against hostile servers

using testing::HostileServer;
using testing::Protocol;

ac::Remote remote_at(const std::string& url) {
  auto server = remote::parse_server_url(url);
  if (!server) throw std::runtime_error(server.error());
  return ac::Remote{.server = *server, .address = url, .program = testing::remote_exe()};
}

// A key record from the server decides what the wrapper reads and hashes,
// and the entry name it then asks for tells the server what it read.
TEST_F(CacheUnit, RemoteKeyRecordsNameOnlyTheUnitsOwnSources) {
  job_.package_dir = proj_;
  write_file(root_ / "outside.txt", "the user's secret");
  const fs::path big = proj_ / "big.bin";
  { std::ofstream(big).close(); }
  fs::resize_file(big, (uint64_t{1} << 30) + 1);  // sparse
  std::vector<std::string> many;
  for (int i = 0; i < 16385; ++i) many.push_back(fmt::format("src/{}.rs", i));
  struct Row {
    const char* label;
    util::Json record;
    std::string lookup, reason;  // reason: a part of it
  };
  const Row rows[] = {
      {"secret variable", {{"env_deps", {"FOO", "SECRET_TOKEN"}}}, "damaged", "SECRET_TOKEN"},
      {"kelv's variable", {{"env_deps", {"KELV_REMOTE_CACHE_FILE"}}}, "damaged", "KELV_REMOTE"},
      {"absolute outside", {{"inputs", {(root_ / "outside.txt").string()}}}, "damaged", "outside"},
      {"relative outside", {{"inputs", {"../outside.txt"}}}, "damaged", "outside"},
      {"through src", {{"inputs", {"src/../../outside.txt"}}}, "damaged", "outside"},
      {"foreign span dep",
       {{"span_deps", {(root_ / "outside.txt").string()}}},
       "damaged",
       "does not use"},
      {"too many inputs", {{"inputs", many}}, "damaged", "more files"},
      {"4 GiB sparse input", {{"inputs", {"big.bin"}}}, "damaged", "more bytes"},
      {"own sources",
       {{"env_deps", {"FOO", "OUT_DIR", "CARGO_PKG_VERSION", "FOO"}},
        {"inputs", {"src/lib.rs", "<OUT_DIR>/gen.rs", "src/lib.rs"}}},
       "miss",
       "no entry for the unit's inputs"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const HostileServer server(
        Protocol::redis,
        HostileServer::serving({{"kelv1/m/" + job_.key, row.record.dump()}}, Protocol::redis));
    const ac::RemoteOutcome got = ac::fetch_from_remote(job_, remote_at(server.url()));
    EXPECT_EQ(got.lookup, row.lookup) << got.reason;
    EXPECT_NE(got.reason.find(row.reason), std::string::npos) << got.reason;
    const auto requests = server.requests();
    EXPECT_EQ(requests.size(), row.lookup == "miss" ? 2u : 1u);
    if (row.lookup == "miss") {
      EXPECT_EQ(requests.back().object(), "kelv1/e/" + expected_entry());
    }
    EXPECT_FALSE(fs::exists(job_.key_record(job_.key))) << "a refused record was kept";
  }
}

// Failures reach as far as they go: one refused object leaves the server
// alone, refused reads leave writes alone, a server that is down is skipped
// for both. What the server said is stored and shown scrubbed, printable
// and short, even with a user name that occurs in every message.
TEST_F(CacheUnit, RemoteFailuresReachAsFarAsTheyGo) {
  struct Row {
    const char* label;
    testing::Answer answer;  // none: nothing listens
    bool read_skipped, write_skipped;
  };
  auto status = [](int code, std::string body = "") {
    return [code, body](const testing::Request&, testing::Peer& peer) {
      peer.send(testing::http_reply(code, body));
    };
  };
  const Row rows[] = {
      {"413 for the record", status(413), false, false},
      {"403 for reads", status(403), true, false},
      {"500 with a page", status(500, "\x1b[2J" + std::string(5000, 'e')), true, false},
      {"server down", nullptr, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::error_code ec;
    fs::remove_all(job_.cache_dir / "r", ec);
    std::optional<HostileServer> server;
    testing::ClosedPort closed;
    if (row.answer) server.emplace(Protocol::http, row.answer);
    const uint16_t port = server ? server->port() : closed.port();
    const ac::Remote remote = remote_at(fmt::format("http://ed:pw@127.0.0.1:{}/c", port));
    const ac::RemoteOutcome got = ac::fetch_from_remote(job_, remote);
    EXPECT_EQ(got.lookup, "failed");
    EXPECT_EQ(got.reason.find("ed"), std::string::npos) << got.reason;
    const auto read = ac::recent_remote_failure(job_.cache_dir, remote, ac::Direction::read);
    const auto write = ac::recent_remote_failure(job_.cache_dir, remote, ac::Direction::write);
    EXPECT_EQ(read.has_value(), row.read_skipped);
    EXPECT_EQ(write.has_value(), row.write_skipped);
    for (const auto& why : {read, write}) {
      if (!why) continue;
      EXPECT_EQ(why->find('\x1b'), std::string::npos) << *why;
      EXPECT_LT(why->size(), 400u) << *why;
    }
    if (read) {
      // A marker from the future is stale.
      for (const auto& e : fs::directory_iterator(job_.cache_dir / "r"))
        set_mtime(e.path(), util::now_wall_ns() + 3600 * kSecond);
      EXPECT_FALSE(ac::recent_remote_failure(job_.cache_dir, remote, ac::Direction::read));
    }
  }
}

// A unit whose key the prefetcher has claimed waits for what it brings
// instead of fetching the same entry beside it; a claim that comes to
// nothing, or whose holder has ended, leaves the unit to ask the server.
TEST_F(CacheUnit, RemoteLookupWaitsForThePrefetchersClaim) {
  store_ok();
  const std::string record = read_file(job_.key_record(job_.key));
  struct Row {
    const char* label;
    bool holder_alive, brings;
    std::string lookup;
    size_t requests;
  };
  const Row rows[] = {
      {"the prefetcher brings it", true, true, "hit", 0},
      {"the prefetcher finds nothing", true, false, "miss", 1},
      {"its holder has ended", false, false, "miss", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    fs::remove(job_.key_record(job_.key));
    const TempDir stage;
    const HostileServer server(Protocol::redis, HostileServer::serving({}, Protocol::redis));
    ac::Remote remote = remote_at(server.url());
    remote.prefetched = stage.path();
    remote.limits.max_object_bytes = 1 << 20;  // a wait bounded by a few seconds
    std::thread prefetcher;
    if (row.holder_alive) {
      auto claim = std::make_shared<ac::FetchClaim>(ac::FetchClaim::take(stage.path(), job_.key));
      ASSERT_TRUE(claim->held());
      EXPECT_FALSE(ac::FetchClaim::take(stage.path(), job_.key).held());
      prefetcher = std::thread([&, claim]() mutable {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (row.brings) write_file(stage / (job_.key + ".json"), record);
        claim.reset();
      });
    } else {
      const pid_t ended = ::fork();
      if (ended == 0) ::_exit(0);
      ::waitpid(ended, nullptr, 0);
      write_file(stage / (job_.key + ".claim"), std::to_string(ended));
    }
    const uint64_t start = util::mono_ns();
    const ac::RemoteOutcome got = ac::fetch_from_remote(job_, remote);
    if (prefetcher.joinable()) prefetcher.join();
    EXPECT_EQ(got.lookup, row.lookup) << got.reason;
    EXPECT_EQ(got.prefetched, row.brings);
    EXPECT_EQ(server.requests().size(), row.requests);
    EXPECT_LT(util::mono_ns() - start, 4 * kSecond) << "waited for a claim of nobody's";
    if (row.holder_alive) {
      EXPECT_FALSE(fs::exists(stage / (job_.key + ".claim")));
    }
  }
}

// Keeping the cache in bounds: least recently used entries first, records
// removed only when nothing can use them, one trimmer at a time.
TEST(CacheUpkeep, SweepRemovesOnlyWhatNothingCanUse) {
  TempDir cache, files;
  constexpr uint64_t day = ac::day_ns;
  const uint64_t now = util::now_wall_ns();
  write_file(files / "libx.rlib", "library");
  const std::string live = (files / "libx.rlib").string();
  const std::string live_name = util::key_digest({ac::fingerprint(stat_of(live))});
  const std::string hash(64, 'a');
  struct Row {
    std::string path;  // below the cache
    std::string content;
    uint64_t age_ns;
    bool removed;
  };
  const std::vector<Row> rows = {
      {"h/" + live_name, hash + "\n" + live + "\n", 90 * day, false},
      {"h/" + std::string(64, '1'), hash + "\n" + live + "\n", 0, true},  // the file changed
      {"h/" + std::string(64, '2'), hash + "\n/gone/libx.rlib\n", 0, true},
      {"h/" + std::string(64, '3'), hash, 31 * day, true},  // older memos name no file
      {"h/" + std::string(64, '4'), hash, 29 * day, false},
      {"l/" + live_name, R"({"rlib": ")" + live + "\"}", 90 * day, false},
      {"l/" + std::string(64, '5'), R"({"rlib": "/gone/libx.rlib"})", 0, true},
      {"m/" + std::string(32, 'a') + ".json", "{}", 31 * day, true},
      {"m/" + std::string(32, 'b') + ".json", "{}", 4 * day, false},
      {"m/" + std::string(32, 'c') + ".json", "{}", 7 * day, true},  // before the horizon
      {"q/x", "", 31 * day, true},
      {"q/y", "", 29 * day, false},
      {"u/x.json", "{}", 31 * day, true},
      {"s/x", "/usr/lib\n", 31 * day, true},
      {"r/x.read", "", 2 * day, true},
      {"r/y.read", "", 0, false},
      {"tmp/discard-1-x/lib.rlib", "", 0, true},
      {"tmp/" + std::string(32, 'd') + "-1/lib.rlib", "", 0, false},  // may be assembling now
      {"tmp/" + std::string(32, 'e') + "-1/lib.rlib", "", 2 * day, true},
      {"e/" + std::string(32, 'f') + "/entry.json", "{}", 90 * day, false},  // trims remove entries
  };
  for (const Row& row : rows) {
    write_file(cache / row.path, row.content);
    set_mtime(cache / row.path, now - row.age_ns);
    if (row.path.starts_with("tmp/")) set_mtime((cache / row.path).parent_path(), now - row.age_ns);
  }
  ac::sweep_records(cache.path(), now, now - 5 * day);
  for (const Row& row : rows) {
    const fs::path top =
        row.path.starts_with("tmp/") ? (cache / row.path).parent_path() : cache / row.path;
    EXPECT_EQ(!fs::exists(top), row.removed) << row.path;
  }
}

TEST(CacheUpkeep, TrimsLeastRecentlyUsedFirstAndOnceWhenRacing) {
  TempDir cache;
  const uint64_t now = util::now_wall_ns();
  const auto make_entries = [&] {
    for (int i = 0; i < 8; ++i) {
      const fs::path e = cache / "e" / fmt::format("{:032x}", i);
      write_file(e / "lib.rlib", std::string(10000, 'x'));
      write_file(e / "entry.json", "{}");
      set_mtime(e / "entry.json", now - (10 - i) * kSecond);  // entry 0 used longest ago
    }
  };
  make_entries();
  const uint64_t total = ac::walk_cache(cache.path()).total_bytes;
  const auto trim = ac::trim_now(cache.path(), total - 25000, now);
  ASSERT_TRUE(trim.has_value()) << trim.error();
  EXPECT_EQ(trim->removed, 3u);
  EXPECT_EQ(trim->horizon_ns, now - 8 * kSecond);
  EXPECT_EQ(names_in(cache / "e").size(), 5u);
  EXPECT_FALSE(fs::exists(cache / "e" / fmt::format("{:032x}", 2)));
  EXPECT_TRUE(fs::exists(cache / "e" / fmt::format("{:032x}", 3)));
  EXPECT_EQ(ac::CacheUse::load(cache.path()).last_trim->removed, 3u);

  // Four builds end at once over a bound of half the cache: the one that
  // trims brings it to nine tenths of the bound, the others find it there.
  fs::remove_all(cache / "e");
  write_file(cache / "use.json", R"({"bytes": "lots", "walked_at_ns": -1, "last_trim": []})");
  make_entries();
  const uint64_t bound = ac::walk_cache(cache.path()).total_bytes / 2;
  const auto ran = testing::race(4, [&](size_t) {
    auto kept = ac::keep_in_bound(cache.path(), bound, 0, now);
    return kept.has_value() && kept->trimmed;
  });
  EXPECT_EQ(std::count(ran.begin(), ran.end(), true), 1);
  const uint64_t after = ac::walk_cache(cache.path()).total_bytes;
  EXPECT_LE(after, bound);
  EXPECT_GE(after + 10100, ac::trim_target(bound));  // not one entry more than needed
  EXPECT_NEAR(static_cast<double>(ac::CacheUse::load(cache.path()).bytes),
              static_cast<double>(after), 1000);  // but for use.json itself

  // Within the bound, a build's additions are counted without a walk.
  auto counted = ac::keep_in_bound(cache.path(), bound, 7, now + kSecond);
  ASSERT_TRUE(counted.has_value());
  EXPECT_FALSE(counted->trimmed);
  EXPECT_EQ(counted->use.bytes, ac::CacheUse::load(cache.path()).bytes);
  EXPECT_NEAR(static_cast<double>(counted->use.bytes), static_cast<double>(after + 7), 1000);
}

}  // namespace
}  // namespace kelv
