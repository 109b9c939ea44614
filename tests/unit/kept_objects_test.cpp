// Kept object files and relinking from them, and the link records that tie a
// library to the libraries it was compiled against.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/job.h"
#include "artifact_cache/relink.h"
#include "support/testing.h"
#include "util/clock.h"
#include "util/error.h"
#include "util/files.h"
#include "util/hash.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
namespace ac = artifact_cache;
using testing::blake3_of_file;
using testing::EnvVar;
using testing::InDir;
using testing::member_names;
using testing::read_file;
using testing::set_mtime;
using testing::stat_of;
using testing::TempDir;
using testing::write_file;
using Args = std::vector<std::string>;

constexpr uint64_t kSecond = 1000000000ull;

std::string fingerprint_of(const fs::path& path) {
  return ac::fingerprint(stat_of(path));
}

// An executable unit "app" (stem "app-1f") compiled through the driver at
// `start_`, which kept its two codegen units' objects and wrote the .rlink.
class KeptUnit : public ::testing::Test {
 public:
  KeptUnit() : foo_("FOO", "1"), start_(util::now_wall_ns()) {
    proj_ = root_ / "proj";
    out_ = proj_ / "target/debug/deps";
    job_.cache_dir = root_ / "cache";
    job_.key = "0123456789abcdef0123456789abcdef";
    job_.out_dir = out_;
    job_.stem = "app-1f";
    job_.cwd = proj_;
    job_.objects_key = "abababababababababababababababab";
    job_.workspace_member = true;
    job_.links = true;
    write_file(proj_ / "src/main.rs", "fn main() { println!(\"{}\", env!(\"FOO\")); }\n");
    set_mtime(proj_ / "src/main.rs", start_ - 10 * kSecond);
    write_file(out_ / "app-1f.d",
               out_.string() + "/app-1f: src/main.rs\n\n" + out_.string() +
                   "/app-1f.d: src/main.rs\n\nsrc/main.rs:\n\n# env-dep:FOO=1\n");
    // Made in reverse order: the record sorts them.
    write_file(kept() / obj1(), "object 1");
    write_file(kept() / obj0(), "object 0");
    write_rlink({obj_path(obj0()), obj_path(obj1()), obj_path(obj0())});
  }

  fs::path kept() const { return out_ / "app-1f.kelv-objects"; }
  fs::path rlink() const { return out_ / "app-1f.rlink"; }
  fs::path relink_record() const { return out_ / "app-1f.kelv-relink"; }
  static std::string obj0() { return "app-1f.app.8c3b2a-cgu.0.rcgu.o"; }
  static std::string obj1() { return "app-1f.app.8c3b2a-cgu.1.rcgu.o"; }
  std::string obj_path(const std::string& name) const { return out_.string() + "/" + name; }

  // A link-only input naming `paths` among binary data.
  void write_rlink(const std::vector<std::string>& paths) {
    std::string bytes("RLNK\0\x01\x02", 7);
    for (const std::string& p : paths) {
      bytes.push_back(static_cast<char>(p.size()));
      bytes += p;
      bytes += std::string("\0\xff", 2);
    }
    bytes += "crate info";
    std::error_code ec;
    fs::remove(rlink(), ec);
    write_file(rlink(), bytes);
  }

  std::string expected_key2() const {
    return util::key_digest({util::key_digest({*job_.objects_key, "FOO=set:1"}),
                             "src/main.rs=" + blake3_of_file(proj_ / "src/main.rs")});
  }

  void record_ok() {
    auto recorded = job_.record_kept_objects(start_);
    ASSERT_TRUE(recorded.has_value()) << recorded.error();
    ASSERT_TRUE(fs::exists(relink_record()));
  }

  util::Json relink_json() const { return *util::read_json(relink_record()); }
  void write_relink_json(const util::Json& j) const {
    ASSERT_TRUE(util::write_json_fast(relink_record(), j));
  }

  TempDir root_;
  EnvVar foo_;
  uint64_t start_;
  fs::path proj_, out_;
  ac::Job job_;
};

TEST_F(KeptUnit, PathsOfTheUnitsFiles) {
  EXPECT_EQ(job_.rlink_path(), out_ / "app-1f.rlink");
  EXPECT_EQ(job_.kept_objects(), out_ / "app-1f.kelv-objects");
}

TEST_F(KeptUnit, RecordThenRelink) {
  write_file(kept() / "app-1f.app.unreferenced.rcgu.o", "kept but not named");
  record_ok();

  const util::Json record = relink_json();
  EXPECT_EQ(member_names(record), (std::vector<std::string>{"key2", "files", "depinfo"}));
  const std::string depinfo = read_file(out_ / "app-1f.d");
  EXPECT_EQ(record["depinfo"], depinfo);
  EXPECT_EQ(record["key2"], expected_key2());
  util::Json files = util::Json::array();
  files.push_back(util::Json::array({"app-1f.rlink", fingerprint_of(rlink())}));
  for (const std::string& name : {obj0(), obj1(), std::string("app-1f.app.unreferenced.rcgu.o")})
    files.push_back(util::Json::array({name, fingerprint_of(kept() / name)}));
  EXPECT_EQ(record["files"], files);
  const std::string text = read_file(relink_record());
  EXPECT_TRUE(text.starts_with("{\n  \"key2\": ")) << text;
  EXPECT_TRUE(text.ends_with("}\n"));

  const auto objects = util::read_json(job_.key_record(*job_.objects_key));
  ASSERT_TRUE(objects.has_value());
  EXPECT_EQ(*objects, util::Json::parse(R"({"env_deps": ["FOO"], "inputs": ["src/main.rs"]})"));
  EXPECT_EQ(member_names(*objects), (std::vector<std::string>{"env_deps", "inputs"}));

  // A stale object in the output directory is replaced by the kept one, and
  // the dep-info of the kept compilation is written again (a relink writes
  // none of its own).
  write_file(out_ / obj0(), "stale object from an older build");
  write_file(out_ / "app-1f.d", "dep-info of another state of the sources");
  EXPECT_EQ(job_.prepare_relink(), rlink());
  EXPECT_EQ(read_file(out_ / "app-1f.d"), depinfo);
  for (const std::string& name : {obj0(), obj1(), std::string("app-1f.app.unreferenced.rcgu.o")}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(fs::exists(out_ / name));
    EXPECT_EQ(stat_of(out_ / name).st_ino, stat_of(kept() / name).st_ino);
  }
  EXPECT_EQ(read_file(out_ / obj0()), "object 0");
  // Ready again the next time.
  EXPECT_EQ(job_.prepare_relink(), rlink());
}

TEST_F(KeptUnit, ChangesDisableTheRelink) {
  struct Case {
    const char* label;
    std::function<void(KeptUnit&)> change;
  };
  const Case cases[] = {
      {"nothing changed", [](KeptUnit&) {}},
      {"kept object touched",
       [](KeptUnit& t) { set_mtime(t.kept() / obj1(), t.start_ + 5 * kSecond); }},
      {"kept object removed", [](KeptUnit& t) { fs::remove(t.kept() / obj0()); }},
      {"rlink rewritten",
       [](KeptUnit& t) {
         t.write_rlink({t.obj_path(obj0()), t.obj_path(obj1()), t.obj_path(obj0()), "more"});
       }},
      {"source edited",
       [](KeptUnit& t) {
         write_file(t.proj_ / "src/main.rs", "fn main() { println!(\"changed\"); }");
       }},
      {"source deleted", [](KeptUnit& t) { fs::remove(t.proj_ / "src/main.rs"); }},
      {"variable changed", [](KeptUnit& t) { t.foo_.set("2"); }},
      {"variable unset", [](KeptUnit& t) { t.foo_.set(std::nullopt); }},
      {"objects key changed",
       [](KeptUnit& t) { t.job_.objects_key = "cdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd"; }},
      {"no objects key", [](KeptUnit& t) { t.job_.objects_key.reset(); }},
      {"objects key record missing",
       [](KeptUnit& t) { fs::remove(t.job_.key_record(*t.job_.objects_key)); }},
      {"objects key record not JSON",
       [](KeptUnit& t) { write_file(t.job_.key_record(*t.job_.objects_key), "{"); }},
      {"relink record missing", [](KeptUnit& t) { fs::remove(t.relink_record()); }},
      {"relink record not JSON", [](KeptUnit& t) { write_file(t.relink_record(), "nope"); }},
      {"key2 differs",
       [](KeptUnit& t) {
         util::Json j = t.relink_json();
         j["key2"] = "00000000000000000000000000000000";
         t.write_relink_json(j);
       }},
      {"key2 not text",
       [](KeptUnit& t) {
         util::Json j = t.relink_json();
         j["key2"] = 1;
         t.write_relink_json(j);
       }},
      {"files empty",
       [](KeptUnit& t) {
         util::Json j = t.relink_json();
         j["files"] = util::Json::array();
         t.write_relink_json(j);
       }},
      {"files not an array",
       [](KeptUnit& t) {
         util::Json j = t.relink_json();
         j["files"] = util::Json::object();
         t.write_relink_json(j);
       }},
      {"element too short",
       [](KeptUnit& t) {
         util::Json j = t.relink_json();
         j["files"][1] = util::Json::array({obj0()});
         t.write_relink_json(j);
       }},
      {"dep-info missing (a record of an older version)",
       [](KeptUnit& t) {
         util::Json j = t.relink_json();
         j.erase("depinfo");
         t.write_relink_json(j);
       }},
      {"dep-info not text",
       [](KeptUnit& t) {
         util::Json j = t.relink_json();
         j["depinfo"] = util::Json::array();
         t.write_relink_json(j);
       }},
      {"fingerprint not text",
       [](KeptUnit& t) {
         util::Json j = t.relink_json();
         j["files"][2][1] = 7;
         t.write_relink_json(j);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ac::Job saved = job_;
    foo_.set("1");
    write_file(proj_ / "src/main.rs", "fn main() { println!(\"{}\", env!(\"FOO\")); }\n");
    set_mtime(proj_ / "src/main.rs", start_ - 10 * kSecond);
    write_file(kept() / obj0(), "object 0");
    write_file(kept() / obj1(), "object 1");
    write_rlink({obj_path(obj0()), obj_path(obj1()), obj_path(obj0())});
    record_ok();

    c.change(*this);
    const bool unchanged = std::string_view(c.label) == "nothing changed";
    EXPECT_EQ(job_.prepare_relink().has_value(), unchanged);
    job_ = saved;
  }
}

TEST_F(KeptUnit, RecordErrors) {
  const std::string enoent = util::os_error(ENOENT);
  const std::string r = rlink().string();
  const std::string other_objects =
      r + " names object files other than this unit's in its output directory";
  struct Case {
    const char* label;
    std::function<void(KeptUnit&)> setup;
    std::string error;
  };
  const Case cases[] = {
      {"no objects key", [](KeptUnit& t) { t.job_.objects_key.reset(); }, "not relinkable"},
      {"no dep-info", [](KeptUnit& t) { fs::remove(t.out_ / "app-1f.d"); },
       "no dep-info: " + enoent},
      {"dep-info not UTF-8",
       [](KeptUnit& t) {
         const fs::path d = t.out_ / "app-1f.d";
         write_file(d, read_file(d) + "# env-dep:BAR=\xff\n");
       },
       (out_ / "app-1f.d").string() + " is not UTF-8"},
      {"source saved during the compilation",
       [](KeptUnit& t) { set_mtime(t.proj_ / "src/main.rs", t.start_ + 1); },
       "src/main.rs changed during the compilation"},
      {"missing source", [](KeptUnit& t) { fs::remove(t.proj_ / "src/main.rs"); },
       "input src/main.rs is unreadable: " + enoent},
      {"no objects directory", [](KeptUnit& t) { fs::remove_all(t.kept()); },
       "the driver kept no objects (" + kept().string() + ": " + enoent + ")"},
      {"no rlink", [](KeptUnit& t) { fs::remove(t.rlink()); }, r + " is unreadable: " + enoent},
      {"object of another crate",
       [](KeptUnit& t) {
         t.write_rlink({t.obj_path(obj0()), t.obj_path(obj1()),
                        t.out_.string() + "/other-2e.other.0001-cgu.0.rcgu.o"});
       },
       other_objects},
      {"object in another directory",
       [](KeptUnit& t) {
         t.write_rlink({t.obj_path(obj0()), "/elsewhere/deps/app-1f.app.8c3b2a-cgu.1.rcgu.o"});
       },
       other_objects},
      {"no objects named", [](KeptUnit& t) { t.write_rlink({}); }, other_objects},
      {"object name with a suffix",
       [](KeptUnit& t) { t.write_rlink({t.obj_path(obj0()) + ".tmp"}); }, other_objects},
      {"object not kept", [](KeptUnit& t) { fs::remove(t.kept() / obj1()); },
       r + " names " + obj1() + ", which was not kept"},
      {"first missing object in order",
       [](KeptUnit& t) {
         fs::remove(t.kept() / obj1());
         fs::remove(t.kept() / obj0());
       },
       r + " names " + obj0() + ", which was not kept"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ac::Job saved = job_;
    write_file(proj_ / "src/main.rs", "fn main() { println!(\"{}\", env!(\"FOO\")); }\n");
    set_mtime(proj_ / "src/main.rs", start_ - 10 * kSecond);
    write_file(out_ / "app-1f.d",
               out_.string() + "/app-1f: src/main.rs\n\nsrc/main.rs:\n\n# env-dep:FOO=1\n");
    write_file(kept() / obj0(), "object 0");
    write_file(kept() / obj1(), "object 1");
    write_rlink({obj_path(obj0()), obj_path(obj1())});
    // A record from an earlier compilation is removed first.
    write_file(relink_record(), "{\"key2\": \"old\", \"files\": []}");

    c.setup(*this);
    auto recorded = job_.record_kept_objects(start_);
    ASSERT_FALSE(recorded.has_value());
    EXPECT_EQ(recorded.error(), c.error);
    if (job_.objects_key) {
      EXPECT_FALSE(fs::exists(relink_record()));
    }
    EXPECT_FALSE(job_.prepare_relink().has_value());
    job_ = saved;
  }
}

// A tampered relink record must not make the relink read or write outside
// the unit's directories.
TEST_F(KeptUnit, TamperedRelinkRecordCreatesNothingOutside) {
  const fs::path victim = root_ / "victim";
  struct Case {
    const char* label;
    size_t position;  // 0: the .rlink element
    std::string name;
    fs::path checked;  // the file whose fingerprint the record carries
    fs::path outside;  // what a trusting relink would create or replace
  };
  const Case cases[] = {
      {"object in the parent directory", 1, "../evil", out_ / "evil", out_.parent_path() / "evil"},
      {"object in a subdirectory", 1, "sub/evil", kept() / "sub/evil", out_ / "sub/evil"},
      {"absolute object", 1, victim.string(), victim, victim},
      {"object with NUL", 1, std::string("nul\0.rcgu.o", 11), kept() / "nul", out_ / "nul"},
      {"rlink in the parent directory", 0, "../app-1f.rlink", out_.parent_path() / "app-1f.rlink",
       out_.parent_path() / "app-1f.rlink"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    record_ok();
    write_file(c.checked, "planted");
    util::Json j = relink_json();
    const util::Json element = util::Json::array({c.name, fingerprint_of(c.checked)});
    if (c.position == 0)
      j["files"][0] = element;
    else
      j["files"].push_back(element);
    write_relink_json(j);
    const std::optional<struct stat> before =
        fs::exists(c.outside) ? std::optional(stat_of(c.outside)) : std::nullopt;

    EXPECT_EQ(job_.prepare_relink(), std::nullopt);
    if (c.outside != c.checked) {
      EXPECT_FALSE(fs::exists(c.outside)) << c.outside;
    } else {
      // Still the same file, not replaced by a link.
      ASSERT_TRUE(before.has_value());
      ASSERT_TRUE(fs::exists(c.outside));
      EXPECT_EQ(stat_of(c.outside).st_ino, before->st_ino);
      EXPECT_EQ(stat_of(c.outside).st_nlink, 1u);
    }
    std::error_code ec;
    fs::remove(c.checked, ec);
  }
}

TEST_F(KeptUnit, ForgetKeptObjects) {
  record_ok();
  ASSERT_TRUE(fs::exists(rlink()));
  job_.forget_kept_objects();
  EXPECT_FALSE(fs::exists(relink_record()));
  EXPECT_FALSE(fs::exists(rlink()));
  EXPECT_FALSE(fs::exists(kept()));
  EXPECT_TRUE(fs::exists(out_ / "app-1f.d"));
  job_.forget_kept_objects();  // nothing left: no complaint
  EXPECT_FALSE(job_.prepare_relink().has_value());
}

// ------------------------------------------------------------ link records

class KeptLinkInputs : public ::testing::Test {
 protected:
  KeptLinkInputs() : in_cwd_(cwd_.path()) {}

  fs::path record_of(const fs::path& rlib) const {
    return cache_ / "l" / util::key_digest({ac::fingerprint(stat_of(rlib))});
  }

  TempDir cache_, out_, cwd_;
  InDir in_cwd_;
};

TEST_F(KeptLinkInputs, LibraryRecordsItsDependencies) {
  write_file(out_ / "libfoo-1a.rlib", "foo archive");
  const Args args = {"--crate-name",
                     "foo",
                     "--edition=2021",
                     "src/lib.rs",
                     "--crate-type",
                     "lib",
                     "-C",
                     "extra-filename=-1a",
                     "--out-dir",
                     out_.path().string(),
                     "--extern",
                     "proc_macro",
                     "--extern",
                     "priv:bar=/d/libbar.rlib",
                     "--extern",
                     "baz=deps/libbaz.rmeta",
                     "-C",
                     "metadata=1a"};
  const std::vector<ac::NativeInput> natives = {{"-lz", "/usr/lib/libz.so"}, {"-lgone", {}}};
  auto recorded = ac::record_link_inputs(cache_.path(), args, natives);
  ASSERT_TRUE(recorded.has_value()) << recorded.error();
  const fs::path path = record_of(out_ / "libfoo-1a.rlib");
  const auto record = util::read_json(path);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(member_names(*record), (std::vector<std::string>{"rlib", "deps", "native"}));
  EXPECT_EQ((*record)["rlib"], (out_ / "libfoo-1a.rlib").string());
  util::Json deps = util::Json::array();
  deps.push_back(util::Json::array({"priv:bar", "/d/libbar.rlib"}));
  deps.push_back(util::Json::array({"baz", (cwd_ / "deps/libbaz.rmeta").string()}));
  EXPECT_EQ((*record)["deps"], deps);
  EXPECT_EQ((*record)["native"],
            util::Json::parse(R"([["-lz", "/usr/lib/libz.so"], ["-lgone", null]])"));
  EXPECT_TRUE(read_file(path).ends_with("}\n"));
  EXPECT_EQ(fs::directory_iterator(cache_ / "l")->path(), path);
}

TEST_F(KeptLinkInputs, OptionSpellings) {
  write_file(out_ / "libfoo-2b.rlib", "foo archive");
  const Args args = {"--crate-name=bar",
                     "--crate-namefoo",
                     "--out-dir=" + out_.path().string(),
                     "-Cextra-filename=-9",
                     "-C=extra-filename=-2b",
                     "--extern=a=/x/liba.rlib",
                     "--externb=/x/libb.rlib",
                     "-C",
                     "metadata=2b",
                     "--extern"};
  ASSERT_TRUE(ac::record_link_inputs(cache_.path(), args, std::nullopt).has_value());
  const auto record = util::read_json(record_of(out_ / "libfoo-2b.rlib"));
  ASSERT_TRUE(record.has_value());
  util::Json deps = util::Json::array();
  deps.push_back(util::Json::array({"a", "/x/liba.rlib"}));
  deps.push_back(util::Json::array({"b", "/x/libb.rlib"}));
  EXPECT_EQ((*record)["deps"], deps);
}

TEST_F(KeptLinkInputs, RelativeOutputDirectory) {
  write_file(cwd_ / "t/deps/libfoo.rlib", "foo archive");
  ASSERT_TRUE(ac::record_link_inputs(
                  cache_.path(),
                  Args{"--crate-name", "foo", "--out-dir", "t/deps", "--extern", "x=/x/libx.rlib"},
                  std::nullopt)
                  .has_value());
  const auto record = util::read_json(record_of(cwd_ / "t/deps/libfoo.rlib"));
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ((*record)["rlib"], "t/deps/libfoo.rlib");
}

TEST_F(KeptLinkInputs, NothingToRecord) {
  write_file(out_ / "libfoo.rlib", "a library of another unit");
  struct Case {
    const char* label;
    Args args;
  };
  const Case cases[] = {
      {"bin unit without its rlib",
       {"--crate-name", "app", "--crate-type", "bin", "--out-dir", out_.path().string(), "--extern",
        "foo=" + (out_ / "libfoo.rlib").string()}},
      {"other extra-filename",
       {"--crate-name", "foo", "-C", "extra-filename=-3", "--out-dir", out_.path().string()}},
      {"no output directory", {"--crate-name", "foo", "--extern", "a=/x/liba.rlib"}},
      {"no crate name", {"--out-dir", out_.path().string(), "--extern", "a=/x/liba.rlib"}},
      {"nothing", {}},
      {"options without values", {"--crate-name", "foo", "--out-dir"}},
      // Native inputs that no cache job resolved: dependents must not link it unkeyed.
      {"native library", {"--crate-name", "foo", "--out-dir", out_.path().string(), "-l", "z"}},
      {"native directory",
       {"--crate-name", "foo", "--out-dir", out_.path().string(), "-Lnative=/x"}},
      {"link argument",
       {"--crate-name", "foo", "--out-dir", out_.path().string(), "-Clink-arg=x.o"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto recorded = ac::record_link_inputs(cache_.path(), c.args, std::nullopt);
    EXPECT_TRUE(recorded.has_value()) << recorded.error();
    EXPECT_FALSE(fs::exists(cache_ / "l"));
  }
}

TEST_F(KeptLinkInputs, UnwritableCacheIsAnError) {
  write_file(out_ / "libfoo.rlib", "foo");
  write_file(cache_ / "l", "a file");
  auto recorded = ac::record_link_inputs(
      cache_.path(), Args{"--crate-name", "foo", "--out-dir", out_.path().string()}, std::nullopt);
  ASSERT_FALSE(recorded.has_value());
  EXPECT_FALSE(recorded.error().empty());
}

TEST_F(KeptLinkInputs, LinkHashFollowsTheRecords) {
  write_file(out_ / "libbar.rlib", "bar archive");
  write_file(out_ / "libbar.rmeta", "bar metadata");
  write_file(out_ / "libfoo.rlib", "foo archive");
  ASSERT_TRUE(ac::record_link_inputs(cache_.path(),
                                     Args{"--crate-name", "bar", "--out-dir", out_.path().string(),
                                          "--extern", "proc_macro"},
                                     std::nullopt)
                  .has_value());
  ASSERT_TRUE(ac::record_link_inputs(cache_.path(),
                                     Args{"--crate-name", "foo", "--out-dir", out_.path().string(),
                                          "--extern", "bar=" + (out_ / "libbar.rmeta").string()},
                                     std::nullopt)
                  .has_value());
  const std::string bar = util::key_digest({"content=" + blake3_of_file(out_ / "libbar.rlib")});
  const std::string foo =
      util::key_digest({"content=" + blake3_of_file(out_ / "libfoo.rlib"), "bar=" + bar});
  ac::LinkMemo memo;
  EXPECT_EQ(ac::link_hash(cache_.path(), out_ / "libfoo.rlib", memo), foo);
}

}  // namespace
}  // namespace kelv
