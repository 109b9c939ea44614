// Hashes of dependency files: crate hashes checked against real and crafted
// metadata, content hashes and their memos, link hashes through link records,
// and the digest of a build script's output directory.
#include "artifact_cache/dep_hashes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/testing.h"
#include "util/error.h"
#include "util/files.h"
#include "util/hash.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
namespace ac = artifact_cache;
using testing::blake3_of_file;
using testing::le_bytes;
using testing::names_in;
using testing::read_file;
using testing::set_mtime;
using testing::stat_of;
using testing::TempDir;
using testing::write_file;

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

fs::path memo_of(const fs::path& cache, const fs::path& file) {
  return cache / "h" / util::key_digest({ac::fingerprint(stat_of(file))});
}

std::string le64(uint64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return out;
}

// Metadata laid out like the compiler's: a 16-byte header ("rust", three zero
// bytes, a version byte, the root offset) followed by `body`, which begins at
// offset 16.
void write_rmeta(const fs::path& path, uint64_t root, const std::string& body, char version = 9) {
  std::string bytes("rust\0\0\0", 7);
  bytes.push_back(version);
  bytes += le64(root);
  bytes += body;
  write_file(path, bytes);
}

// ------------------------------------------------------------ crate hashes

// The crate hash of a library compiled by the real compiler, as its metadata
// dump shows it.
class DepHashRealMetadata : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string rustc = testing::real_rustc();
    if (::access(rustc.c_str(), X_OK) != 0) GTEST_SKIP() << "no rustc at " << rustc;
    write_file(dir_ / "foo.rs", "pub fn answer() -> u32 { 42 }\npub struct S(pub u8);\n");
    const auto built =
        testing::run({.argv = {rustc, "--crate-type", "lib", "--emit=metadata,link", "-C",
                               "metadata=abc", "--crate-name", "foo", (dir_ / "foo.rs").string(),
                               "--out-dir", (dir_ / "D").string()}});
    ASSERT_EQ(built.exit_code, 0) << built.err;
    const auto listed = testing::run(
        {.argv = {rustc, "-Zls=root", rmeta().string()}, .env = {{"RUSTC_BOOTSTRAP", "1"}}});
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    // "Crate info:\nname foo\nhash 93d2...37 stable_crate_id StableCrateId(...)"
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("hash ")) continue;
      std::istringstream words(line.substr(5));
      words >> svh_;
      break;
    }
    ASSERT_FALSE(svh_.empty()) << listed.out;
    ASSERT_LE(svh_.size(), 32u) << svh_;
    ASSERT_TRUE(std::all_of(svh_.begin(), svh_.end(), [](char c) { return std::isxdigit(c); }))
        << svh_;
    svh_ = std::string(32 - svh_.size(), '0') + svh_;
    for (char& c : svh_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }

  fs::path rmeta() const { return dir_ / "D/libfoo.rmeta"; }
  fs::path rlib() const { return dir_ / "D/libfoo.rlib"; }
  fs::path svh_file() const { return dir_ / "D/libfoo.kelv-svh"; }

  TempDir dir_;
  std::string svh_;
};

TEST_F(DepHashRealMetadata, AcceptedSpellingsOfTheCrateHash) {
  std::string no_leading_zeros =
      svh_.substr(std::min(svh_.find_first_not_of('0'), svh_.size() - 1));
  const std::string cases[] = {
      svh_,
      upper(svh_),
      "+" + svh_,
      "  " + svh_ + "  \n",
      "\n\t" + upper(svh_) + "\r\n",
      "+" + upper(svh_) + "\n",
      "0" + svh_,
      "0000" + svh_,
      no_leading_zeros,
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    write_file(svh_file(), text);
    EXPECT_EQ(ac::dependency_svh(rlib()), svh_);
    EXPECT_EQ(ac::dependency_svh(rmeta()), svh_);
  }
}

TEST_F(DepHashRealMetadata, RejectedCrateHashFiles) {
  std::string stale = svh_;
  stale[31] = stale[31] == '0' ? '1' : '0';
  std::string stale_high = svh_;
  stale_high[0] = stale_high[0] == 'f' ? 'e' : 'f';
  const std::string cases[] = {
      stale,
      stale_high,
      "",
      " \n",
      "+",
      "-",
      "-" + svh_,
      "++" + svh_,
      "0x" + svh_,
      svh_ + "g",
      svh_.substr(0, 16) + " " + svh_.substr(16),
      "1" + svh_,  // 33 significant digits: more than 128 bits
      "not a hash",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    write_file(svh_file(), text);
    EXPECT_EQ(ac::dependency_svh(rlib()), std::nullopt);
  }
}

TEST_F(DepHashRealMetadata, OnlyLibraryPathsWithTheirMetadata) {
  write_file(svh_file(), svh_);
  ASSERT_EQ(ac::dependency_svh(rlib()), svh_);
  // Other names, even beside a good crate hash file.
  write_file(dir_ / "D/libfoo.so", "shared");
  EXPECT_EQ(ac::dependency_svh(dir_ / "D/libfoo.so"), std::nullopt);
  EXPECT_EQ(ac::dependency_svh(dir_ / "D/libfoo"), std::nullopt);
  EXPECT_EQ(ac::dependency_svh(dir_ / "D/libfoo.kelv-svh"), std::nullopt);
  // A missing crate hash file.
  fs::remove(svh_file());
  EXPECT_EQ(ac::dependency_svh(rlib()), std::nullopt);
  // A crate hash file without the metadata it is checked against.
  write_file(svh_file(), svh_);
  fs::remove(rmeta());
  EXPECT_EQ(ac::dependency_svh(rlib()), std::nullopt);
}

TEST(DepHashSvh, ResultIsZeroPadded) {
  TempDir dir;
  const std::string hash = "000000000000000000000000000000ab";
  write_rmeta(dir / "libz.rmeta", 16, le_bytes(hash) + "tail");
  const std::string spellings[] = {"ab", "AB", "+ab", "00ab", hash, "  aB\n"};
  for (const std::string& text : spellings) {
    SCOPED_TRACE(text);
    write_file(dir / "libz.kelv-svh", text);
    EXPECT_EQ(ac::dependency_svh(dir / "libz.rmeta"), hash);
  }
  // The largest hash there is.
  const std::string ones(32, 'f');
  write_rmeta(dir / "libz.rmeta", 16, le_bytes(ones));
  write_file(dir / "libz.kelv-svh", upper(ones));
  EXPECT_EQ(ac::dependency_svh(dir / "libz.rmeta"), ones);
}

TEST(DepHashSvh, MetadataLayout) {
  TempDir dir;
  const std::string hash = "1234567890abcdef1234567890abcdef";
  const std::string le = le_bytes(hash);
  write_file(dir / "libm.kelv-svh", hash);
  const fs::path rmeta = dir / "libm.rmeta";
  struct Case {
    const char* label;
    std::string bytes;
    bool found;
  };
  const std::string header7("rust\0\0\0", 7);
  const std::string filler(100, 'x');
  std::vector<Case> cases = {
      {"hash right after the root", header7 + "\x09" + le64(116) + filler + le, true},
      {"any version byte", header7 + "\xff" + le64(16) + le, true},
      {"hash inside the window", header7 + "\x09" + le64(16) + filler + le + filler, true},
      {"hash only before the root", header7 + "\x09" + le64(40) + le + filler, false},
      {"root past the end", header7 + "\x09" + le64(1000) + le, false},
      {"big-endian hash", header7 + "\x09" + le64(16) + std::string(le.rbegin(), le.rend()) + "pad",
       false},
      {"wrong magic", std::string("rusx\0\0\0\x09", 8) + le64(16) + le, false},
      {"nonzero after magic", std::string("rust\0\x01\0\x09", 8) + le64(16) + le, false},
      {"short header", std::string("rust\0\0\0", 7), false},
      {"empty file", "", false},
  };
  // The window read at the root is 65536 bytes long.
  const uint64_t root = 64;
  std::string prefix = header7 + "\x09" + le64(root) + std::string(root - 16, 'p');
  cases.push_back({"hash ending at the window's end",
                   prefix + std::string(65536 - 16, 'w') + le + "after", true});
  cases.push_back({"hash ending one byte past the window",
                   prefix + std::string(65536 - 15, 'w') + le + "after", false});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(rmeta, c.bytes);
    EXPECT_EQ(ac::dependency_svh(rmeta).has_value(), c.found);
    if (c.found) {
      EXPECT_EQ(ac::dependency_svh(dir / "libm.rlib"), hash);
    }
  }
}

// ------------------------------------------------------------ content hash

TEST(DepHashContent, FingerprintIsDeviceInodeSizeAndMtime) {
  TempDir dir;
  write_file(dir / "f", "12345");
  set_mtime(dir / "f", 1700000000123456789ull);
  const struct stat st = stat_of(dir / "f");
  EXPECT_EQ(ac::fingerprint(st),
            std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":5:1700000000123456789");
}

TEST(DepHashContent, MemoNamedFromTheFileIdentity) {
  TempDir cache, dir;
  write_file(dir / "libx.rlib", "library bytes");
  auto hash = ac::content_hash(cache.path(), dir / "libx.rlib");
  ASSERT_TRUE(hash.has_value());
  EXPECT_EQ(*hash, blake3_of_file(dir / "libx.rlib"));
  const fs::path memo = memo_of(cache.path(), dir / "libx.rlib");
  // The digits and the file they describe, each on a line.
  EXPECT_EQ(read_file(memo), *hash + "\n" + (dir / "libx.rlib").string() + "\n");
  EXPECT_EQ(names_in(cache / "h"), std::set<std::string>{memo.filename().string()});

  // A later call takes the memo instead of the file: a memo holding other
  // digits (either case) is believed.
  const std::string planted(64, 'a');
  write_file(memo, planted + "\n/anywhere\n");
  EXPECT_EQ(ac::content_hash(cache.path(), dir / "libx.rlib"), planted);
  write_file(memo, upper(std::string(64, 'b')));
  EXPECT_EQ(ac::content_hash(cache.path(), dir / "libx.rlib"), upper(std::string(64, 'b')));
}

TEST(DepHashContent, MalformedMemoIsRecomputed) {
  TempDir cache, dir;
  write_file(dir / "libx.rlib", "library bytes");
  const std::string good = blake3_of_file(dir / "libx.rlib");
  const fs::path memo = memo_of(cache.path(), dir / "libx.rlib");
  const std::string cases[] = {
      std::string(63, 'a'),
      std::string(65, 'a'),
      std::string(63, 'a') + "g",
      std::string(64, 'a') + "\n",
      std::string(64, 'a') + "\n/no/end",
      "",
      "not a hash",
  };
  for (const std::string& bad : cases) {
    SCOPED_TRACE(bad);
    write_file(memo, bad);
    EXPECT_EQ(ac::content_hash(cache.path(), dir / "libx.rlib"), good);
    EXPECT_EQ(read_file(memo).substr(0, 65), good + "\n");
  }
  // A memo that is a directory cannot be read, and cannot be replaced.
  fs::remove(memo);
  fs::create_directories(memo / "sub");
  auto hash = ac::content_hash(cache.path(), dir / "libx.rlib");
  EXPECT_FALSE(hash.has_value());
}

TEST(DepHashContent, NewContentOrNewTimeGivesANewMemo) {
  TempDir cache, dir;
  const fs::path lib = dir / "libx.rlib";
  write_file(lib, "version one");
  set_mtime(lib, 1700000000000000000ull);
  const std::string one = *ac::content_hash(cache.path(), lib);
  const fs::path memo_one = memo_of(cache.path(), lib);

  // Same size, new content, new time.
  write_file(lib, "version two");
  set_mtime(lib, 1700000001000000000ull);
  const fs::path memo_two = memo_of(cache.path(), lib);
  EXPECT_NE(memo_two, memo_one);
  const std::string two = *ac::content_hash(cache.path(), lib);
  EXPECT_EQ(two, blake3_of_file(lib));
  EXPECT_NE(two, one);
  EXPECT_EQ(read_file(memo_one).substr(0, 64), one);  // memos stay until swept
  EXPECT_EQ(read_file(memo_two).substr(0, 64), two);

  // Touching the time alone also gives a new memo (same hash).
  set_mtime(lib, 1700000002000000001ull);
  const fs::path memo_three = memo_of(cache.path(), lib);
  EXPECT_NE(memo_three, memo_two);
  EXPECT_FALSE(fs::exists(memo_three));
  EXPECT_EQ(ac::content_hash(cache.path(), lib), two);
  EXPECT_TRUE(fs::exists(memo_three));
  EXPECT_EQ(names_in(cache / "h").size(), 3u);
}

TEST(DepHashContent, HardLinksShareOneMemo) {
  TempDir cache, dir;
  write_file(dir / "a.rlib", "shared bytes");
  fs::create_hard_link(dir / "a.rlib", dir / "b.rlib");
  const auto a = ac::content_hash(cache.path(), dir / "a.rlib");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(memo_of(cache.path(), dir / "a.rlib"), memo_of(cache.path(), dir / "b.rlib"));
  // b finds a's memo: a planted value shows it was not recomputed.
  write_file(memo_of(cache.path(), dir / "a.rlib"), std::string(64, 'c'));
  EXPECT_EQ(ac::content_hash(cache.path(), dir / "b.rlib"), std::string(64, 'c'));
  EXPECT_EQ(names_in(cache / "h").size(), 1u);
}

TEST(DepHashContent, SymbolicLinksAreFollowed) {
  TempDir cache, dir;
  write_file(dir / "target.rlib", "target bytes");
  fs::create_symlink(dir / "target.rlib", dir / "link.rlib");
  EXPECT_EQ(ac::content_hash(cache.path(), dir / "link.rlib"), blake3_of_file(dir / "target.rlib"));
  EXPECT_TRUE(fs::exists(memo_of(cache.path(), dir / "target.rlib")));
}

TEST(DepHashContent, Errors) {
  TempDir cache, dir;
  auto missing = ac::content_hash(cache.path(), dir / "missing.rlib");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().value(), ENOENT);
  EXPECT_FALSE(fs::exists(cache / "h"));

  // The memo cannot be written: the whole operation fails.
  write_file(dir / "lib.rlib", "bytes");
  write_file(cache / "h", "a file where the memo directory should be");
  EXPECT_FALSE(ac::content_hash(cache.path(), dir / "lib.rlib").has_value());
}

TEST(DepHashContent, RecordContentMemo) {
  TempDir cache, dir;
  write_file(dir / "libx.rlib", "bytes");
  const std::string known(64, 'd');
  ASSERT_TRUE(ac::record_content_memo(cache.path(), dir / "libx.rlib", known));
  EXPECT_EQ(read_file(memo_of(cache.path(), dir / "libx.rlib")).substr(0, 64), known);
  EXPECT_EQ(ac::content_hash(cache.path(), dir / "libx.rlib"), known);
  EXPECT_FALSE(ac::record_content_memo(cache.path(), dir / "missing", known).has_value());
}

// ------------------------------------------------------------ link hashes

// A "deps" array of [name, path] pairs.
util::Json deps_of(std::initializer_list<std::pair<std::string, fs::path>> pairs) {
  util::Json deps = util::Json::array();
  for (const auto& [name, path] : pairs) deps.push_back(util::Json::array({name, path.string()}));
  return deps;
}

class DepHashLink : public ::testing::Test {
 protected:
  // Writes the link record of `rlib` listing `deps` ([name, path] pairs)
  // and `native` ([what, path or null] pairs).
  void record(const fs::path& rlib, const util::Json& deps,
              const util::Json& native = util::Json::array()) {
    util::Json r = {{"rlib", rlib.string()}, {"deps", deps}, {"native", native}};
    ASSERT_TRUE(util::write_json_fast(record_path(rlib), r));
  }
  fs::path record_path(const fs::path& rlib) const {
    return cache_ / "l" / util::key_digest({ac::fingerprint(stat_of(rlib))});
  }
  std::optional<std::string> link_hash(const fs::path& path) {
    ac::LinkMemo memo;
    return ac::link_hash(cache_.path(), path, memo);
  }
  std::string content(const fs::path& path) { return blake3_of_file(path); }

  TempDir cache_, dir_;
};

TEST_F(DepHashLink, SharedLibraryIsItsContentHash) {
  write_file(dir_ / "libmac.so", "proc macro");
  write_file(dir_ / "libmac.dylib", "proc macro on macOS");
  ac::LinkMemo memo;
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "libmac.so", memo), content(dir_ / "libmac.so"));
  EXPECT_EQ(memo[(dir_ / "libmac.so").string()], content(dir_ / "libmac.so"));
  EXPECT_EQ(link_hash(dir_ / "libmac.dylib"), content(dir_ / "libmac.dylib"));
  EXPECT_EQ(link_hash(dir_ / "missing.so"), std::nullopt);
}

TEST_F(DepHashLink, LibraryWithItsRecordedDependencies) {
  write_file(dir_ / "libcore.rlib", "core");
  write_file(dir_ / "libbar.rlib", "bar");
  write_file(dir_ / "libbaz.rlib", "baz");
  write_file(dir_ / "libmac.so", "macro");
  write_file(dir_ / "libapp.rlib", "app");
  write_file(dir_ / "libapp.rmeta", "app metadata");
  record(dir_ / "libcore.rlib", util::Json::array());
  // bar and baz both pull in core: a diamond, not a cycle.
  record(dir_ / "libbar.rlib", deps_of({{"core", dir_ / "libcore.rlib"}}));
  record(dir_ / "libbaz.rlib", deps_of({{"core", dir_ / "libcore.rmeta"}}));
  record(dir_ / "libapp.rlib", deps_of({{"bar", dir_ / "libbar.rlib"},
                                        {"priv:baz", dir_ / "libbaz.rlib"},
                                        {"mac", dir_ / "libmac.so"}}));

  const std::string core = util::key_digest({"content=" + content(dir_ / "libcore.rlib")});
  const std::string bar =
      util::key_digest({"content=" + content(dir_ / "libbar.rlib"), "core=" + core});
  const std::string baz =
      util::key_digest({"content=" + content(dir_ / "libbaz.rlib"), "core=" + core});
  const std::string app =
      util::key_digest({"content=" + content(dir_ / "libapp.rlib"), "bar=" + bar, "priv:baz=" + baz,
                        "mac=" + content(dir_ / "libmac.so")});

  EXPECT_EQ(link_hash(dir_ / "libcore.rlib"), core);
  ac::LinkMemo memo;
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "libapp.rlib", memo), app);
  EXPECT_EQ(memo[(dir_ / "libcore.rlib").string()], core);
  EXPECT_EQ(memo[(dir_ / "libbar.rlib").string()], bar);
  // A metadata path stands for its archive.
  EXPECT_EQ(link_hash(dir_ / "libapp.rmeta"), app);
  ac::LinkMemo memo2;
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "libapp.rmeta", memo2), app);
  EXPECT_EQ(memo2.count((dir_ / "libapp.rlib").string()), 1u);
  EXPECT_EQ(memo2.count((dir_ / "libapp.rmeta").string()), 0u);
}

TEST_F(DepHashLink, MemoMapIsConsulted) {
  write_file(dir_ / "libbar.rlib", "bar");
  ac::LinkMemo memo;
  memo[(dir_ / "libbar.rlib").string()] = "from the memo";
  // No link record exists: the value can only come from the map.
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "libbar.rlib", memo), "from the memo");
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "libbar.rmeta", memo), "from the memo");

  record(dir_ / "libbar.rlib", util::Json::array());
  ac::LinkMemo fresh;
  const auto first = ac::link_hash(cache_.path(), dir_ / "libbar.rlib", fresh);
  ASSERT_TRUE(first.has_value());
  fs::remove(record_path(dir_ / "libbar.rlib"));
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "libbar.rlib", fresh), first);
}

TEST_F(DepHashLink, MissingPiecesGiveNoHash) {
  write_file(dir_ / "libbar.rlib", "bar");
  write_file(dir_ / "libdep.rlib", "dep");
  record(dir_ / "libdep.rlib", util::Json::array());
  const std::string dep = (dir_ / "libdep.rlib").string();
  // No record at all.
  EXPECT_EQ(link_hash(dir_ / "libbar.rlib"), std::nullopt);
  // A metadata file whose archive does not exist.
  write_file(dir_ / "libonly.rmeta", "metadata only");
  EXPECT_EQ(link_hash(dir_ / "libonly.rmeta"), std::nullopt);

  struct Case {
    const char* label;
    std::string record_text;
  };
  const Case cases[] = {
      {"not JSON", "{\"deps\": ["},
      {"not an object", "[]"},
      {"no deps", "{\"rlib\": \"x\"}"},
      {"deps not an array", "{\"deps\": {}}"},
      {"element not an array", "{\"deps\": [\"core\"]}"},
      {"element too short", "{\"deps\": [[\"core\"]]}"},
      {"name not text", "{\"deps\": [[1, \"" + dep + "\"]]}"},
      {"path not text", "{\"deps\": [[\"dep\", 2]]}"},
      {"dependency missing", "{\"deps\": [[\"dep\", \"" + dep + "\"], [\"gone\", \"" +
                                 (dir_ / "libgone.rlib").string() + "\"]]}"},
      {"dependency without record",
       "{\"deps\": [[\"bar\", \"" + (dir_ / "libbar.rmeta").string() + "\"]], \"native\": []}"},
      {"no native files, as records before them", "{\"deps\": []}"},
      {"native files not a list", "{\"deps\": [], \"native\": {}}"},
      {"native file without a path", "{\"deps\": [], \"native\": [[\"-lz\"]]}"},
      {"native path not text", "{\"deps\": [], \"native\": [[\"-lz\", 3]]}"},
      {"native file missing",
       "{\"deps\": [], \"native\": [[\"-lz\", \"" + (dir_ / "libz.so").string() + "\"]]}"},
  };
  write_file(dir_ / "libtop.rlib", "top");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(record_path(dir_ / "libtop.rlib"), c.record_text);
    EXPECT_EQ(link_hash(dir_ / "libtop.rlib"), std::nullopt);
  }
  // Extra members of an element are ignored.
  write_file(record_path(dir_ / "libtop.rlib"),
             "{\"deps\": [[\"dep\", \"" + dep + "\", \"extra\"]], \"native\": []}");
  EXPECT_EQ(
      link_hash(dir_ / "libtop.rlib"),
      util::key_digest({"content=" + content(dir_ / "libtop.rlib"),
                        "dep=" + util::key_digest({"content=" + content(dir_ / "libdep.rlib")})}));
}

TEST_F(DepHashLink, NativeFilesAsTheyAreNow) {
  write_file(dir_ / "libsys.rlib", "sys");
  write_file(dir_ / "libz.so", "zlib");
  record(dir_ / "libsys.rlib", util::Json::array(),
         util::Json::array({util::Json::array({"-lz", (dir_ / "libz.so").string()}),
                            util::Json::array({"-lgone", nullptr})}));
  const auto hash = [&] {
    return util::key_digest({"content=" + content(dir_ / "libsys.rlib"),
                             "native:-lz=sha:" + content(dir_ / "libz.so"),
                             "native:-lgone=absent"});
  };
  EXPECT_EQ(link_hash(dir_ / "libsys.rlib"), hash());
  // The system's library replaced after the rlib was made.
  const auto before = hash();
  write_file(dir_ / "libz.so", "another zlib");
  EXPECT_EQ(link_hash(dir_ / "libsys.rlib"), hash());
  EXPECT_NE(hash(), before);
}

TEST_F(DepHashLink, CyclesEndWithoutAHash) {
  write_file(dir_ / "liba.rlib", "a");
  write_file(dir_ / "libb.rlib", "b");
  write_file(dir_ / "libself.rlib", "self");
  record(dir_ / "liba.rlib", deps_of({{"b", dir_ / "libb.rlib"}}));
  record(dir_ / "libb.rlib", deps_of({{"a", dir_ / "liba.rmeta"}}));
  record(dir_ / "libself.rlib", deps_of({{"me", dir_ / "libself.rlib"}}));
  EXPECT_EQ(link_hash(dir_ / "liba.rlib"), std::nullopt);
  EXPECT_EQ(link_hash(dir_ / "libb.rlib"), std::nullopt);
  EXPECT_EQ(link_hash(dir_ / "libself.rlib"), std::nullopt);
  // The same memo map, used again, still gives no hash for either.
  ac::LinkMemo memo;
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "liba.rlib", memo), std::nullopt);
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "liba.rlib", memo), std::nullopt);
  EXPECT_EQ(ac::link_hash(cache_.path(), dir_ / "libb.rlib", memo), std::nullopt);
}

// ------------------------------------------------------ build script output

TEST(DepHashOutDir, FilesByRelativePath) {
  TempDir out;
  write_file(out / "a", "first");
  write_file(out / "a-b", "second");
  write_file(out / "sub/gen.rs", "pub const X: u8 = 1;");
  write_file(out / "sub/deeper/data.bin", std::string("\0\1\2", 3));
  // Sorted as whole lines: "a-b=" before "a=" ('-' sorts before '=').
  const std::vector<std::string> lines = {
      "a-b=" + blake3_of_file(out / "a-b"),
      "a=" + blake3_of_file(out / "a"),
      "sub/deeper/data.bin=" + blake3_of_file(out / "sub/deeper/data.bin"),
      "sub/gen.rs=" + blake3_of_file(out / "sub/gen.rs"),
  };
  const auto digest = ac::out_dir_digest(out.path());
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(*digest, util::key_digest(lines));
  EXPECT_EQ(digest->size(), 32u);
}

TEST(DepHashOutDir, WhatChangesTheDigest) {
  TempDir out;
  write_file(out / "gen.rs", "one");
  const auto before = ac::out_dir_digest(out.path());
  ASSERT_TRUE(before.has_value());

  fs::create_directories(out / "empty/nested");
  EXPECT_EQ(ac::out_dir_digest(out.path()), before);

  write_file(out / "empty/nested/new.rs", "");
  const auto added = ac::out_dir_digest(out.path());
  EXPECT_NE(added, before);
  fs::remove(out / "empty/nested/new.rs");
  EXPECT_EQ(ac::out_dir_digest(out.path()), before);

  write_file(out / "gen.rs", "two");
  EXPECT_NE(ac::out_dir_digest(out.path()), before);
  write_file(out / "gen.rs", "one");
  EXPECT_EQ(ac::out_dir_digest(out.path()), before);
  fs::rename(out / "gen.rs", out / "other.rs");
  EXPECT_NE(ac::out_dir_digest(out.path()), before);
}

TEST(DepHashOutDir, EmptyDirectory) {
  TempDir out;
  EXPECT_EQ(ac::out_dir_digest(out.path()), util::key_digest(std::vector<std::string>{}));
}

TEST(DepHashOutDir, SymbolicLinksAndErrors) {
  TempDir out, elsewhere;
  write_file(elsewhere / "real.rs", "real content");
  fs::create_symlink(elsewhere / "real.rs", out / "link.rs");
  EXPECT_EQ(ac::out_dir_digest(out.path()),
            util::key_digest({"link.rs=" + blake3_of_file(elsewhere / "real.rs")}));

  fs::create_directories(out / "sub");
  fs::create_symlink(out / "nowhere", out / "sub/dangling.rs");
  EXPECT_EQ(ac::out_dir_digest(out.path()), std::nullopt);

  EXPECT_EQ(ac::out_dir_digest(out / "missing"), std::nullopt);
  EXPECT_EQ(ac::out_dir_digest(elsewhere / "real.rs"), std::nullopt);
}

TEST(DepHashOutDir, TrailingSlashNamesTheSameDirectory) {
  TempDir out;
  write_file(out / "sub/gen.rs", "x");
  const auto plain = ac::out_dir_digest(out.path());
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(ac::out_dir_digest(out.path().string() + "/"), plain);
}

}  // namespace
}  // namespace kelv
