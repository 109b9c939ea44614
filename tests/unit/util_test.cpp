#include <blake3.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/testing.h"
#include "util/clock.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/hashed_copy.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/utf8.h"

namespace kelv {
namespace {

using testing::blake3_of;
using testing::EnvVar;
using testing::InDir;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string tmp_name_for(const std::string& file_name) {
  return "." + file_name + "." + std::to_string(::getpid()) + ".tmp";
}

// Deterministic bytes that are not a repeating short pattern.
std::string pseudo_random_bytes(size_t n) {
  std::string out(n, '\0');
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x & 0xFF);
  }
  return out;
}

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// ---------------------------------------------------------------- hex, hashes

TEST(UtilHex, LowercaseTwoDigitsPerByte) {
  EXPECT_EQ(util::hex({}), "");
  const unsigned char zero_ab[] = {0x00, 0xAB};
  EXPECT_EQ(util::hex(zero_ab), "00ab");
  const unsigned char mixed[] = {0x0F, 0xF0, 0x7F, 0x80, 0xFF, 0x01};
  EXPECT_EQ(util::hex(mixed), "0ff07f80ff01");
}

TEST(UtilHash, Sha256KnownVectors) {
  struct Case {
    std::string input;
    std::string digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(util::sha256_hex(c.input), c.digest);
    write_file(dir / "f", c.input);
    auto file = util::sha256_file(dir / "f");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(*file, c.digest);
  }
}

TEST(UtilHash, Blake3KnownVectors) {
  TempDir dir;
  write_file(dir / "empty", "");
  write_file(dir / "abc", "abc");
  auto empty = util::blake3_file(dir / "empty");
  auto abc = util::blake3_file(dir / "abc");
  ASSERT_TRUE(empty.has_value());
  ASSERT_TRUE(abc.has_value());
  EXPECT_EQ(*empty, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(*abc, "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
}

// Sizes around both read chunk sizes (64 KiB and 256 KiB) and several chunks long.
TEST(UtilHash, FilesSpanningSeveralChunksHashLikeTheirBytes) {
  TempDir dir;
  for (size_t size : {size_t{65535}, size_t{65536}, size_t{65537}, size_t{262143}, size_t{262144},
                      size_t{262145}, size_t{3 * 262144 + 12345}}) {
    SCOPED_TRACE(size);
    const std::string bytes = pseudo_random_bytes(size);
    write_file(dir / "big", bytes);
    auto sha = util::sha256_file(dir / "big");
    auto b3 = util::blake3_file(dir / "big");
    ASSERT_TRUE(sha.has_value());
    ASSERT_TRUE(b3.has_value());
    EXPECT_EQ(*sha, util::sha256_hex(bytes));
    EXPECT_EQ(*b3, blake3_of(bytes));
  }
}

// A copy is hashed from what it holds, across chunk boundaries, whichever way
// the platform copies: within one file system (a clone where it offers one)
// and from another one (/dev/shm, where the bytes go through the buffer they
// are hashed from).
TEST(UtilHashedCopy, TheCopyHoldsTheBytesItsHashNames) {
  TempDir dir;
  std::vector<fs::path> sources = {dir / "source"};
  if (fs::is_directory("/dev/shm"))
    sources.push_back(fs::path("/dev/shm") / ("kelv-hashed-copy-" + std::to_string(::getpid())));
  for (const fs::path& source : sources) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{262144}, size_t{3 * 262144 + 12345}}) {
      SCOPED_TRACE(source.string() + " " + std::to_string(size));
      const std::string bytes = pseudo_random_bytes(size);
      write_file(source, bytes);
      const fs::path target = dir / "copy";
      fs::remove(target);
      util::Fd in = util::open_regular(source.c_str());
      auto copy = util::copy_hashed(in.get(), target);
      ASSERT_TRUE(copy.has_value()) << util::os_error(copy.error());
      EXPECT_EQ(copy->blake3, blake3_of(bytes));
      EXPECT_EQ(read_file(target), bytes);
      EXPECT_EQ(static_cast<size_t>(copy->source.st_size), size);
      // The copy stands on its own.
      write_file(source, "changed");
      EXPECT_EQ(read_file(target), bytes);
    }
    fs::remove(source);
  }
  // An existing target is an error and is left as it was.
  write_file(dir / "source", "new");
  write_file(dir / "taken", "old");
  util::Fd in = util::open_regular((dir / "source").c_str());
  auto refused = util::copy_hashed(in.get(), dir / "taken");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().value(), EEXIST);
  EXPECT_EQ(read_file(dir / "taken"), "old");
}

TEST(UtilHash, UnreadableFilesGiveThePlatformError) {
  TempDir dir;
  auto missing_sha = util::sha256_file(dir / "missing");
  auto missing_b3 = util::blake3_file(dir / "missing");
  ASSERT_FALSE(missing_sha.has_value());
  ASSERT_FALSE(missing_b3.has_value());
  EXPECT_EQ(missing_sha.error().value(), ENOENT);
  EXPECT_EQ(missing_b3.error().value(), ENOENT);

  auto dir_sha = util::sha256_file(dir.path());
  auto dir_b3 = util::blake3_file(dir.path());
  ASSERT_FALSE(dir_sha.has_value());
  ASSERT_FALSE(dir_b3.has_value());
  EXPECT_EQ(dir_sha.error().value(), EISDIR);
  EXPECT_EQ(dir_b3.error().value(), EISDIR);
}

TEST(UtilKeyDigest, KnownValues) {
  EXPECT_EQ(util::key_digest({"abc"}), "ce91dc5eec0139adf091900d225971d6");
  // No texts at all: the SHA-256 of nothing.
  EXPECT_EQ(util::key_digest({}), "e3b0c44298fc1c149afbf4c8996fb924");
  // One empty text still feeds its eight-byte length.
  EXPECT_EQ(util::key_digest({""}), "af5570f5a1810b7af78caf4bc70a660f");
  EXPECT_EQ(util::key_digest({"", ""}), "374708fff7719dd5979ec875d56cd228");
  // A length above 255 needs more than the lowest length byte.
  const std::string long_text(300, 'x');
  EXPECT_EQ(util::key_digest({long_text}), "ef14726c73a1a906e4313238a29409fa");
}

TEST(UtilKeyDigest, LengthPrefixSeparatesTexts) {
  EXPECT_EQ(util::key_digest({"a", "bc"}), "9a8acca1b6c6c0befd3fbc756aed625d");
  EXPECT_EQ(util::key_digest({"ab", "c"}), "43ee655579de01ca739b3f95c1c2d3f4");
  EXPECT_NE(util::key_digest({"a", "bc"}), util::key_digest({"ab", "c"}));
  EXPECT_NE(util::key_digest({"abc"}), util::key_digest({"abc", ""}));
  EXPECT_NE(util::key_digest({"x", "y"}), util::key_digest({"y", "x"}));
}

TEST(UtilKeyDigest, SpanAndListFormsAgree) {
  const std::vector<std::string_view> texts = {"/out/dir", "crate-1234",
                                               std::string_view("\0z", 2)};
  const std::string digest = util::key_digest(std::span<const std::string_view>(texts));
  EXPECT_EQ(digest, util::key_digest({"/out/dir", "crate-1234", std::string_view("\0z", 2)}));
  EXPECT_EQ(digest.size(), 32u);
  EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
}

// ---------------------------------------------------------------- home

TEST(UtilHome, KelvHomeRules) {
  TempDir tmp;
  EnvVar kelv_home("KELV_HOME"), home("HOME"), profile("USERPROFILE");
  EnvVar tmpdir("TMPDIR", tmp.path().string());
  const fs::path temp_kelv = tmp.path() / "kelv";

  struct Case {
    const char* what;
    std::optional<std::string> kelv_home, home, profile;
    fs::path expected;
  };
  const Case cases[] = {
      {"KELV_HOME wins as is", "/x", "/u", "/w", "/x"},
      {"KELV_HOME with a trailing slash is kept", "/x/", "/u", std::nullopt, "/x/"},
      {"empty KELV_HOME is ignored", "", "/u", "/w", "/u/.kelv"},
      {"HOME", std::nullopt, "/u", "/w", "/u/.kelv"},
      {"USERPROFILE when HOME is unset", std::nullopt, std::nullopt, "/w", "/w/.kelv"},
      {"empty HOME skips USERPROFILE", std::nullopt, "", "/w", temp_kelv},
      {"empty USERPROFILE", std::nullopt, std::nullopt, "", temp_kelv},
      {"nothing set", std::nullopt, std::nullopt, std::nullopt, temp_kelv},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kelv_home.set(c.kelv_home);
    home.set(c.home);
    profile.set(c.profile);
    EXPECT_EQ(util::kelv_home(), c.expected);
  }
}

TEST(UtilHome, MemoDirIsBelowTheHome) {
  EnvVar kelv_home("KELV_HOME", "/k");
  EXPECT_EQ(util::memo_dir("rustc"), fs::path("/k/cache/memo/rustc"));
  kelv_home.set(std::nullopt);
  EnvVar home("HOME", "/u");
  EXPECT_EQ(util::memo_dir("rustc"), fs::path("/u/.kelv/cache/memo/rustc"));
}

// ---------------------------------------------------------------- paths

TEST(UtilPaths, CanonResolvesLinksAndKeepsMissingPaths) {
  TempDir dir;
  write_file(dir / "real" / "f.rs", "");
  fs::create_directory_symlink(dir / "real", dir / "link");
  EXPECT_EQ(util::canon(dir / "link" / "f.rs"), dir.path() / "real" / "f.rs");
  EXPECT_EQ(util::canon(dir / "real" / ".." / "real" / "f.rs"), dir.path() / "real" / "f.rs");
  {
    InDir in(dir.path());
    EXPECT_EQ(util::canon("link/f.rs"), dir.path() / "real" / "f.rs");
    // Missing: exactly the path given, relative or not.
    EXPECT_EQ(util::canon("no/such/../thing"), fs::path("no/such/../thing"));
  }
  const fs::path missing = dir.path() / "link" / "missing" / ".." / "x";
  EXPECT_EQ(util::canon(missing), missing);
}

TEST(UtilPaths, PathStrReplacesInvalidBytes) {
  EXPECT_EQ(util::path_str("/a/b\xC3\xA9"), "/a/b\xC3\xA9");
  EXPECT_EQ(util::path_str("/a/\xFF"
                           "b"),
            std::string("/a/") + kReplacement + "b");
}

TEST(UtilPaths, WhichSkipsDirectoriesAndNonExecutables) {
  TempDir dir;
  fs::create_directories(dir / "d1" / "cc");     // a directory named cc
  write_file(dir / "d2" / "cc", "#!/bin/sh\n");  // not executable
  fs::permissions(dir / "d2" / "cc", fs::perms::owner_read | fs::perms::owner_write);
  write_file(dir / "d3" / "cc", "#!/bin/sh\n");  // executable by others only
  fs::permissions(dir / "d3" / "cc", fs::perms::owner_read | fs::perms::others_exec);
  write_file(dir / "d4" / "cc", "#!/bin/sh\n");
  fs::permissions(dir / "d4" / "cc", fs::perms::owner_all);

  const std::string d = dir.path().string();
  EnvVar path("PATH", d + "/d1:" + d + "/missing:" + d + "/d2:" + d + "/d3:" + d + "/d4");
  EXPECT_EQ(util::which("cc"), dir.path() / "d3" / "cc");
  path.set(d + "/d1:" + d + "/d2:" + d + "/d4");
  EXPECT_EQ(util::which("cc"), dir.path() / "d4" / "cc");
  path.set(d + "/d1:" + d + "/d2");
  EXPECT_EQ(util::which("cc"), std::nullopt);
  path.set(std::nullopt);
  EXPECT_EQ(util::which("cc"), std::nullopt);
}

TEST(UtilPaths, WhichSkipsEmptyEntriesAndKeepsLinksAsFormed) {
  TempDir dir;
  write_file(dir / "here" / "tool", "");
  fs::permissions(dir / "here" / "tool", fs::perms::owner_all);
  write_file(dir / "real" / "tool", "");
  fs::permissions(dir / "real" / "tool", fs::perms::owner_all);
  fs::create_directories(dir / "bin");
  fs::create_symlink(dir / "real" / "tool", dir / "bin" / "tool");
  fs::create_directories(dir / "dangling");
  fs::create_symlink(dir / "nowhere", dir / "dangling" / "tool");

  // An empty entry is not the current directory, even when that holds the program.
  InDir in(dir / "here");
  const std::string d = dir.path().string();
  EnvVar path("PATH", "::" + d + "/dangling::" + d + "/bin:");
  EXPECT_EQ(util::which("tool"), dir.path() / "bin" / "tool");
}

TEST(UtilPaths, QuotedEscapes) {
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"plain/path.rs", "\"plain/path.rs\""},
      {"", "\"\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nnext\ttab", "\"line\\nnext\\ttab\""},
      {"esc\x1b", "\"esc\\u{1b}\""},
      {"caf\xC3\xA9 \xE2\x82\xAC", "\"caf\xC3\xA9 \xE2\x82\xAC\""},
      {"bad\x80"
       "byte",
       "\"bad\\x80byte\""},
      {"\x90\x91", "\"\\x90\\x91\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(util::quoted(c.bytes), c.expected);
  }
}

TEST(UtilPaths, QuotedEscapesEachByteOfATruncatedSequence) {
  // Hex digits may be written in either case; compare case-insensitively.
  auto lower = [](std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
  };
  EXPECT_EQ(lower(util::quoted("a\xE2\x82"
                               "b")),
            "\"a\\xe2\\x82b\"");
  EXPECT_EQ(lower(util::quoted("\xFF")), "\"\\xff\"");
}

TEST(UtilPaths, StartsWithPathComparesComponents) {
  struct Case {
    const char* path;
    const char* dir;
    bool expected;
  };
  const Case cases[] = {
      {"/k/cargo/registry/src/x.rs", "/k/cargo/registry", true},
      {"/k/cargo/registry", "/k/cargo/registry", true},
      {"/k/cargo/registryx/src/x.rs", "/k/cargo/registry", false},
      {"/k/cargo", "/k/cargo/registry", false},
      {"/k/cargo/registry/x", "/k/cargo/registry/", true},
      {"/k//cargo/registry/x", "/k/cargo/registry", true},
      {"/K/cargo/registry/x", "/k/cargo/registry", false},
      {"k/cargo/registry/x", "/k/cargo/registry", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " under " + c.dir);
    EXPECT_EQ(util::starts_with_path(c.path, c.dir), c.expected);
  }
}

// The path equal to a directory written with a trailing separator (once
// stepped past the end of the path's components).
TEST(UtilPaths, StartsWithPathAtADirectoryWithATrailingSeparator) {
  EXPECT_TRUE(util::starts_with_path("/k/cargo/registry", "/k/cargo/registry/"));
  EXPECT_TRUE(util::starts_with_path("/k", "/k/"));
}

// ---------------------------------------------------------------- clock

TEST(UtilClock, Iso8601) {
  struct Case {
    uint64_t ns;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1999999999, "1970-01-01T00:00:01.999Z"},  // milliseconds truncated
      {1709251199999999999ull, "2024-02-29T23:59:59.999Z"},
      {1709251200000000000ull, "2024-03-01T00:00:00.000Z"},
      {951782400000000000ull, "2000-02-29T00:00:00.000Z"},  // divisible by 400: a leap year
      {4107542399999999999ull, "2100-02-28T23:59:59.999Z"},
      {4107542400000000000ull, "2100-03-01T00:00:00.000Z"},  // 2100 is not a leap year
      {946684799000000000ull, "1999-12-31T23:59:59.000Z"},
      {18446744073709551615ull, "2554-07-21T23:34:33.709Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ns);
    EXPECT_EQ(util::iso8601(c.ns), c.text);
  }
}

TEST(UtilClock, MtimeNs) {
  struct stat st {};
  util::platform::mtime_of(st) = {1, 5};
  EXPECT_EQ(util::mtime_ns(st), 1000000005u);
  util::platform::mtime_of(st) = {-1, 0};
  EXPECT_EQ(util::mtime_ns(st), 0u);

  TempDir dir;
  write_file(dir / "f", "x");
  const struct timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "f").c_str(), times, 0), 0);
  struct stat real {};
  ASSERT_EQ(::stat((dir / "f").c_str(), &real), 0);
  EXPECT_EQ(util::mtime_ns(real), 1700000000123456789ull);
}

TEST(UtilPlatform, PipeEndsAreClosedOnExec) {
  int fds[2] = {-1, -1};
  ASSERT_TRUE(util::platform::pipe_cloexec(fds).has_value());
  for (int fd : fds) {
    EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ::close(fd);
  }
}

TEST(UtilClock, NowWallNsFollowsTheSystemClock) {
  auto ns_now = [] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  };
  const uint64_t before = ns_now();
  const uint64_t now = util::now_wall_ns();
  const uint64_t after = ns_now();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

// ---------------------------------------------------------------- files

TEST(UtilFiles, WriteAtomicToABareNameUsesTheCurrentDirectory) {
  TempDir dir;
  InDir in(dir.path());
  // Occupy the temporary name with a directory: the write must then fail,
  // which shows the name it goes through.
  const std::string tmp = tmp_name_for("out.json");
  fs::create_directory(dir / tmp);
  auto blocked = util::write_atomic("out.json", "{}");
  EXPECT_FALSE(blocked.has_value());
  EXPECT_FALSE(fs::exists(dir / "out.json"));
  fs::remove(dir / tmp);

  auto ok = util::write_atomic("out.json", "{\"a\":1}");
  ASSERT_TRUE(ok.has_value()) << ok.error().message();
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"out.json"});
  EXPECT_EQ(read_file(dir / "out.json"), "{\"a\":1}");
}

TEST(UtilFiles, WriteAtomicNamesTheTemporaryLossily) {
  TempDir dir;
  const std::string name = "out\xFF.json";
  fs::create_directory(dir / tmp_name_for(std::string("out") + kReplacement + ".json"));
  EXPECT_FALSE(util::write_atomic(dir / name, "x").has_value());
  EXPECT_FALSE(fs::exists(dir / name));
}

TEST(UtilFiles, WriteAtomicReplacesAndCreatesParents) {
  TempDir dir;
  const fs::path target = dir / "a" / "b" / "c.txt";
  ASSERT_TRUE(util::write_atomic(target, "first version, longer").has_value());
  EXPECT_EQ(read_file(target), "first version, longer");
  ASSERT_TRUE(util::write_atomic(target, "second").has_value());
  EXPECT_EQ(read_file(target), "second");
  ASSERT_TRUE(util::write_atomic(target, "").has_value());
  EXPECT_EQ(read_file(target), "");
  EXPECT_EQ(names_in(dir / "a" / "b"), std::set<std::string>{"c.txt"});
  // A leftover temporary file of this process is simply overwritten.
  write_file(dir / "a" / "b" / tmp_name_for("c.txt"), "stale stale stale stale");
  ASSERT_TRUE(util::write_atomic(target, "third").has_value());
  EXPECT_EQ(read_file(target), "third");
  EXPECT_EQ(names_in(dir / "a" / "b"), std::set<std::string>{"c.txt"});
}

TEST(UtilFiles, WriteAtomicFailedRenameLeavesNothingBehind) {
  TempDir dir;
  const fs::path target = dir / "target";
  write_file(target / "inside", "keep");  // a non-empty directory in the way
  auto r = util::write_atomic(target, "new content");
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(read_file(target / "inside"), "keep");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"target"});
  EXPECT_EQ(names_in(target), std::set<std::string>{"inside"});
}

TEST(UtilFiles, WriteAtomicFailsWhenTheParentCannotBeCreated) {
  TempDir dir;
  write_file(dir / "file", "x");
  auto r = util::write_atomic(dir / "file" / "sub" / "out.json", "{}");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(read_file(dir / "file"), "x");
}

TEST(UtilFiles, WriteJsonFastLayout) {
  struct Case {
    const char* what;
    util::Json value;
    std::string text;
  };
  util::Json nested = util::Json::object();
  nested["zeta"] = 1;
  nested["alpha"] = util::Json::array({1, util::Json::object({{"c", "x\ny\"\\"}})});
  nested["empty_object"] = util::Json::object();
  nested["empty_array"] = util::Json::array();
  nested["n"] = nullptr;
  nested["t"] = true;
  nested["neg"] = -42;
  nested["big"] = 18446744073709551615ull;
  const Case cases[] = {
      {"empty object", util::Json::object(), "{}\n"},
      {"empty array", util::Json::array(), "[]\n"},
      {"integer", util::Json(5), "5\n"},
      {"string", util::Json("a\tb"), "\"a\\tb\"\n"},
      {"nested", nested,
       "{\n"
       "  \"zeta\": 1,\n"
       "  \"alpha\": [\n"
       "    1,\n"
       "    {\n"
       "      \"c\": \"x\\ny\\\"\\\\\"\n"
       "    }\n"
       "  ],\n"
       "  \"empty_object\": {},\n"
       "  \"empty_array\": [],\n"
       "  \"n\": null,\n"
       "  \"t\": true,\n"
       "  \"neg\": -42,\n"
       "  \"big\": 18446744073709551615\n"
       "}\n"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(util::write_json_fast(dir / "v.json", c.value).has_value());
    EXPECT_EQ(read_file(dir / "v.json"), c.text);
    auto back = util::read_json(dir / "v.json");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, c.value);
  }
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"v.json"});
}

TEST(UtilFiles, WriteJsonFastFailureKeepsTheTarget) {
  TempDir dir;
  write_file(dir / "v.json" / "inside", "");
  EXPECT_FALSE(util::write_json_fast(dir / "v.json", util::Json::object()).has_value());
  EXPECT_TRUE(fs::is_directory(dir / "v.json"));
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"v.json"});
}

TEST(UtilFiles, ReadJsonAllowsOnlyWhitespaceAfterTheDocument) {
  struct Case {
    std::string text;
    bool parses;
  };
  const Case cases[] = {
      {"{\"a\":1}", true},    {" \t\r\n{\"a\":1} \n\t\r\n", true},
      {"{\"a\":1}x", false},  {"{\"a\":1} \nx", false},
      {"{\"a\":1}{}", false}, {"{\"a\":1},", false},
      {"{\"a\":1}\f", false}, {"", false},
      {"   \n", false},       {"{\"a\":", false},
      {"[1,]", false},        {"// comment\n{}", false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    write_file(dir / "f.json", c.text);
    auto v = util::read_json(dir / "f.json");
    EXPECT_EQ(v.has_value(), c.parses);
    EXPECT_EQ(util::parse_json(c.text).has_value(), c.parses);
    if (c.parses && v) {
      EXPECT_EQ((*v)["a"], 1);
    }
  }
  EXPECT_FALSE(util::read_json(dir / "missing.json").has_value());
  EXPECT_FALSE(util::read_json(dir.path()).has_value());
}

// A file cut short by a crash can end in zero bytes; a zero byte is not
// whitespace, so such a file is not a valid record.
// The JSON lexer alone would take the NUL for the end of the input.
TEST(UtilFiles, ReadJsonRejectsTrailingZeroBytes) {
  TempDir dir;
  for (const std::string& text : {std::string("{\"a\":1}\0", 8), std::string("{\"a\":1}\0x", 9),
                                  std::string("{\"a\":1} \0\0\0\0", 12)}) {
    SCOPED_TRACE(::testing::PrintToString(text));
    write_file(dir / "f.json", text);
    EXPECT_FALSE(util::read_json(dir / "f.json").has_value());
    EXPECT_FALSE(util::parse_json(text).has_value());
  }
}

// ---------------------------------------------------------------- utf8, errors

TEST(UtilUtf8, LossyReplacesEachMaximalInvalidSubpart) {
  const std::string R = kReplacement;
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last code point
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},
      {"a\xF0\x9F"
       "b",
       "a" + R + "b"},                      // truncated four-byte sequence: one
      {"\xC0\xAF", R + R},                  // overlong lead byte: each byte
      {"\xE0\x80\xAF", R + R + R},          // overlong three-byte form
      {"\xF0\x80\x80", R + R + R},          // overlong four-byte form
      {"\xED\xA0\x80", R + R + R},          // surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xE2\x82", R},                      // truncated at the end
      {"\xC2"
       "A",
       R + "A"},
      {"\xFF\xFE", R + R},
      {"\x80\xBF", R + R},  // lone continuation bytes
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + R + R + R + "b" + R + "c" + R + R + "d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    EXPECT_EQ(util::lossy(c.bytes), c.text);
    EXPECT_EQ(util::is_utf8(c.bytes), c.bytes == c.text);
  }
}

TEST(UtilError, OsErrorShowsTextAndNumber) {
  EXPECT_EQ(util::os_error(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(util::os_error(util::error_of(EACCES)), "Permission denied (os error 13)");
}

}  // namespace
}  // namespace kelv
