// A cache, settings and arguments written to do harm: records naming paths
// outside the output directory, planted symbolic links, directories and
// FIFOs where files belong, huge and deeply nested JSON, bytes that are not
// UTF-8. The wrapper must never write outside the output directory and the
// cache, never hang, and never change the compiler's result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iostream>

#include "artifact_cache/dep_hashes.h"
#include "support/world.h"
#include "util/clock.h"
#include "util/hash.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::CrateUnit;
using util::Json;

// The size of a huge record: thousands of times a genuine one, and what the
// wrapper still parses and hits with.
constexpr size_t kHuge = 16 << 20;

// Long enough for any of these units (a few hundred milliseconds each, and
// the sanitizer build's parsing of the huge records), short enough to keep
// the suite quick when one hangs.
#if defined(KELV_SANITIZED)
constexpr auto kLimit = std::chrono::seconds(180);
#else
constexpr auto kLimit = std::chrono::seconds(20);
#endif

std::string deep_array(size_t levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

class HostileCache : public ::testing::Test, protected testing::World {
 protected:
  HostileCache() : World("world/project") {}

  void SetUp() override {
    write_sources(
        {{"alpha", "pub fn f(x: u32) -> u32 { x * 3 + 1 }\npub fn g(x: u64) -> u64 { x ^ 77 }\n"},
         {"delta", "pub fn delta(x: u32) -> u32 { alpha::f(x) + 2 }\n"},
         {"zeta", testing::alpha_printer_source}});
    // Things outside the output directory and the cache that must stay as they are.
    testing::write_file(world / "outside/secret.txt", "do not touch\n");
    testing::write_file(world / "outside/dir/a.txt", "a\n");
    testing::write_file(world / "outside/dir/sub/b.txt", "b\n");
    testing::write_file(world / "outside/files-none.json", R"({"files": []})");
    testing::write_file(world / "target/keep.txt", "a sibling of the output directories\n");
    ASSERT_EQ(::mkfifo((world / "outside/fifo").c_str(), 0644), 0);

    // A cache holding alpha, delta and zeta, copied afresh for each case.
    const fs::path out = world / "target/out-prime";
    for (const CrateUnit* u : {&alpha, &delta, &zeta}) {
      auto primed = unit(*u, pristine, out, {.limit = kLimit});
      ASSERT_EQ(primed.cache_result(), "stored") << u->crate << ": " << primed.describe();
      if (u == &alpha) {
        const auto names = testing::entry_names(pristine);
        ASSERT_EQ(names.size(), 1u);
        alpha_entry = names[0];
        for (const auto& e : fs::directory_iterator(pristine / "m"))
          if (!e.path().filename().native().starts_with("."))
            alpha_key_record = e.path().filename();
      }
    }
    fs::remove_all(out);
    for (const CrateUnit* u : {&alpha, &delta, &zeta})
      ASSERT_EQ(reference(*u).exit_code, 0) << reference(*u).stderr_text;
    before = world_snapshot();
  }

  // The world without the output directories: everything the wrapper must
  // leave alone (the caches and event directories are elsewhere).
  std::map<std::string, std::string> world_snapshot() {
    auto snap = testing::snapshot_tree(world, true);
    std::erase_if(snap, [](const auto& kv) { return kv.first.starts_with("target/out-"); });
    return snap;
  }

  // Content, type and mode of everything outside must be unchanged;
  // modification times are compared separately.
  void expect_world_unchanged(const std::string& where) {
    const auto after = world_snapshot();
    const auto strip = [](std::map<std::string, std::string> snap) {
      for (auto& [path, d] : snap) d = d.substr(0, d.find(" mtime "));
      return snap;
    };
    for (const std::string& d : testing::snapshot_diff(strip(before), strip(after)))
      ADD_FAILURE() << where << ": outside the output directory and the cache: " << d;
    for (const std::string& d : testing::snapshot_diff(before, after))
      touched_outside.push_back(where + ": " + d);
    before = after;
  }

  fs::path fresh_cache(const std::string& name) {
    const fs::path cache = dir / "caches" / name;
    fs::create_directories(cache.parent_path());
    fs::copy(pristine, cache, fs::copy_options::recursive);
    return cache;
  }

  fs::path entry(const fs::path& cache) const { return cache / "e" / alpha_entry; }
  fs::path key_record(const fs::path& cache) const { return cache / "m" / alpha_key_record; }

  Json entry_record(const fs::path& cache) const {
    return util::read_json(entry(cache) / "entry.json").value();
  }
  void write_json(const fs::path& path, const Json& value) {
    testing::write_file(path, value.dump(2));
  }

  // Runs the unit with the cache (or the settings text given) into a fresh
  // output directory below world/target.
  testing::UnitResult run(const CrateUnit& u, const fs::path& cache, const std::string& tag,
                          std::optional<std::string> settings = std::nullopt,
                          std::optional<uint64_t> address_space = std::nullopt) {
    return unit(u, cache, out_dir(tag),
                {.settings = settings, .limit = kLimit, .address_space = address_space});
  }
  fs::path out_dir(const std::string& tag) const { return world / "target" / ("out-" + tag); }

  // run(), then expect_compiler_result() for it.
  testing::UnitResult checked(const CrateUnit& u, const fs::path& cache, const std::string& tag) {
    return checked_unit(u, cache, out_dir(tag), tag, {.limit = kLimit});
  }
  // The unit ended as a fresh compilation would, in time.
  void expect_compiler_result(const CrateUnit& u, const std::string& tag,
                              const testing::UnitResult& result) {
    World::expect_compiler_result(u, out_dir(tag), result, tag);
  }

  void TearDown() override {
    if (!touched_outside.empty()) {
      std::cout << "[ note     ] modification times changed outside the output directory and "
                   "the cache:"
                << std::endl;
      for (const std::string& t : touched_outside) std::cout << "             " << t << std::endl;
    }
  }

  fs::path world = dir / "world";
  fs::path pristine = dir / "pristine-cache";
  std::string alpha_entry;
  fs::path alpha_key_record;
  std::map<std::string, std::string> before;
  std::vector<std::string> touched_outside;
  const CrateUnit alpha = testing::lib("alpha");
  const CrateUnit delta = testing::lib("delta").linking(alpha);
  const CrateUnit zeta = testing::bin("zeta", "zz").linking(alpha);
};

std::string blake3_of(const fs::path& scratch, const std::string& bytes) {
  testing::write_file(scratch, bytes);
  auto hash = util::blake3_file(scratch);
  fs::remove(scratch);
  return hash.value();
}

// The entry record names files outside the output directory, each with the
// hash of content planted where a careless reader would find it.
TEST_F(HostileCache, EntryRecordNamesOutsideTheOutputDirectory) {
  const std::string evil = "planted by a hostile cache\n";
  const std::string evil_hash = blake3_of(dir / "scratch", evil);
  const fs::path absolute_target = world / "outside/absolute-target";
  const std::vector<std::pair<std::string, std::string>> names = {
      {"parent", "../escape"},
      {"grandparent", "../../escape"},
      {"absolute", absolute_target.native()},
      {"nul", std::string("lib\0evil", 8)},
      {"dot", "."},
      {"dotdot", ".."},
      {"empty", ""},
      {"subdir", "sub/escape"},
  };
  for (const auto& [tag, name] : names) {
    const fs::path cache = fresh_cache(tag);
    // Plant the content at the path a reader of "<entry>/<name>" would open.
    const std::string c_name = name.substr(0, name.find('\0'));
    const fs::path planted = name.starts_with("/") ? fs::path(name) : entry(cache) / c_name;
    if (tag != "dot" && tag != "dotdot" && tag != "empty") {
      if (name.starts_with("/")) {
        // Read and written at the same path: a careless restore would
        // replace the file (new inode and time) with the same bytes.
        testing::write_file(absolute_target, evil);
        before = world_snapshot();
      } else {
        testing::write_file(planted, evil);
      }
    }
    Json record = entry_record(cache);
    record["files"].insert(record["files"].begin(), name);
    record["hashes"][name] = evil_hash;
    write_json(entry(cache) / "entry.json", record);
    auto result = checked(alpha, cache, "names-" + tag);
    EXPECT_NE(result.cache_result(), "hit") << tag;
    expect_world_unchanged("files " + tag);
    EXPECT_FALSE(fs::exists(out_dir("names-" + tag) / "lib")) << tag;
  }
  // The same through the "executable" list: no mode changes outside.
  const fs::path cache = fresh_cache("executable");
  Json record = entry_record(cache);
  record["executable"] =
      Json::array({"../../outside/secret.txt", (world / "outside/dir/a.txt").native()});
  write_json(entry(cache) / "entry.json", record);
  checked(alpha, cache, "executable");
  expect_world_unchanged("executable");
}

// Key records with huge arrays, names outside the project, wrong types.
TEST_F(HostileCache, HostileKeyRecordsOnlyMiss) {
  const Json genuine = util::read_json(key_record(pristine)).value();
  std::vector<std::pair<std::string, Json>> records;
  {
    Json r = genuine;
    Json inputs = Json::array();
    for (int i = 0; i < 50000; ++i) inputs.push_back("src/alpha.rs");
    r["inputs"] = std::move(inputs);
    records.emplace_back("50k-inputs", std::move(r));
  }
  {
    Json r = genuine;
    Json env = Json::array();
    for (int i = 0; i < 50000; ++i) env.push_back("KELV_HOSTILE_" + std::to_string(i));
    r["env_deps"] = std::move(env);
    records.emplace_back("50k-env-deps", std::move(r));
  }
  {
    Json r = genuine;
    r["inputs"] = Json::array({"../outside/secret.txt", (world / "outside/secret.txt").native(),
                               "../outside/dir", "src/alpha.rs"});
    r["span_deps"] = Json::array({(world / "outside/secret.txt").native(), "../outside/dir"});
    records.emplace_back("outside-paths", std::move(r));
  }
  {
    Json r = genuine;
    r["inputs"] = Json::array(
        {1, nullptr, Json::object({{"a", 1}}), Json::array({"src/alpha.rs"}), true, -5.5});
    r["env_deps"] = "not an array";
    r["span_deps"] = Json::object({{"x", "y"}});
    records.emplace_back("wrong-types", std::move(r));
  }
  records.emplace_back("not-an-object", Json::array({genuine}));
  {
    // Still the genuine dependencies, plus 16 MB of padding and a deep
    // member: it parses, so it hits.
    Json r = genuine;
    r["padding"] = std::string(kHuge, 'p');
    records.emplace_back("16MB-hit", std::move(r));
  }
  for (const auto& [tag, record] : records) {
    const fs::path cache = fresh_cache(tag);
    write_json(key_record(cache), record);
    const auto t0 = std::chrono::steady_clock::now();
    auto result = run(alpha, cache, "key-" + tag);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    expect_compiler_result(alpha, "key-" + tag, result);
    if (tag == "16MB-hit") {
      EXPECT_EQ(result.cache_result(), "hit") << result.describe();
    }
    expect_world_unchanged("key record " + tag);
    std::cout << "[ figures  ] key record " << tag << ": " << result.cache_result() << " in "
              << seconds << " s" << std::endl;
  }
}

// Huge and deeply nested JSON as settings, key record and entry record.
TEST_F(HostileCache, HugeAndDeeplyNestedJson) {
  const std::string deep = deep_array(100000);
  const std::string deep_objects = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += "{\"a\":";
    s += "1";
    s += std::string(100000, '}');
    return s;
  }();
  // Records that are not objects at all: both miss.
  for (const auto& [tag, text] : std::vector<std::pair<std::string, std::string>>{
           {"deep-array", deep},
           {"deep-objects", deep_objects},
           {"deep-unclosed", std::string(100000, '[')},
           {"16MB-string", "\"" + std::string(kHuge, 's') + "\""}}) {
    for (const std::string which : {"key", "entry"}) {
      const fs::path cache = fresh_cache(which + "-" + tag);
      testing::write_file(which == "key" ? key_record(cache) : entry(cache) / "entry.json", text);
      auto result = run(alpha, cache, which + "-" + tag);
      if (which == "entry" && tag == "deep-objects") {
        // An object without "files": by design a hit that restores no file
        // and replays the stored diagnostics, so only the process is checked.
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.outcome.exit_code, 0) << result.describe();
      } else {
        expect_compiler_result(alpha, which + "-" + tag, result);
      }
      expect_world_unchanged(which + " " + tag);
    }
  }
  // Genuine records with more members nested 100k levels deep (written as
  // text: the test's own serialiser would recurse that deep). Parsing such a
  // document, or copying the nested value when the object's member vector
  // grows, would recurse until the stack runs out.
  for (const std::string which : {"key", "entry"}) {
    const fs::path cache = fresh_cache(which + "-deep-member");
    const fs::path path = which == "key" ? key_record(cache) : entry(cache) / "entry.json";
    std::string text = util::read_json(path).value().dump();
    text.pop_back();  // the closing brace
    text += ", \"deep\": " + deep + ", \"deeper\": " + deep_objects + "}";
    testing::write_file(path, text);
    auto result = checked(alpha, cache, which + "-deep-member");
    std::cout << "[ figures  ] " << which
              << " record with a member 100k levels deep: " << result.cache_result() << std::endl;
    expect_world_unchanged(which + " deep member");
  }
  // A 16 MB entry record that is otherwise genuine hits.
  {
    const fs::path cache = fresh_cache("entry-16MB-hit");
    Json record = entry_record(cache);
    record["padding"] = std::string(kHuge, 'p');
    write_json(entry(cache) / "entry.json", record);
    auto result = checked(alpha, cache, "entry-16MB-hit");
    EXPECT_EQ(result.cache_result(), "hit") << result.describe();
  }
  // Settings: a file that cannot be used stops the build with one FAIL line
  // and status 2; one that can is used. Never a crash or a hang.
  const std::string cache_text = (dir / "caches/settings").native();
  for (const auto& [tag, text] : std::vector<std::pair<std::string, std::string>>{
           {"deep-array", deep},
           {"deep-objects", deep_objects},
           {"deep-in-member",
            R"({"artifact_cache": ")" + cache_text +
                R"(", "min_link_store_ns": 0, "early_cutoff": false, "linker_dir": )" + deep + "}"},
           {"deep-unknown-member",
            R"({"min_link_store_ns": 0, "early_cutoff": false, "x": )" + deep + "}"},
           {"16MB-member",
            R"({"artifact_cache": ")" + cache_text +
                R"(", "min_link_store_ns": 0, "early_cutoff": false, "linker_dir": ")" +
                std::string(kHuge, 'l') + "\"}"},
           {"16MB-whitespace", std::string(kHuge, ' ') + R"({"artifact_cache": ")" + cache_text +
                                   R"(", "min_link_store_ns": 0, "early_cutoff": false})"}}) {
    auto result = run(alpha, fs::path(), "settings-" + tag, text);
    EXPECT_FALSE(result.timed_out) << tag;
    EXPECT_EQ(result.outcome.signal, 0) << tag << ": " << result.describe();
    if (result.outcome.exit_code == 2) {
      EXPECT_NE(result.outcome.err.find("FAIL"), std::string::npos) << tag << result.describe();
      EXPECT_LT(result.outcome.err.size(), 4096u) << tag;
    } else {
      expect_compiler_result(alpha, "settings-" + tag, result);
    }
    std::cout << "[ figures  ] settings " << tag << ": exit " << result.outcome.exit_code << " "
              << result.outcome.err.substr(0, result.outcome.err.find('\n')).substr(0, 160)
              << std::endl;
    expect_world_unchanged("settings " + tag);
  }
}

// Symbolic links planted in the cache lead nowhere outside it.
TEST_F(HostileCache, PlantedSymlinksAreNotFollowedOutward) {
  const fs::path rlib = alpha.rlib();
  {
    // A stored file pointing at a file outside, and at /etc/passwd.
    for (const auto& [tag, target] : std::vector<std::pair<std::string, fs::path>>{
             {"file-outside", world / "outside/secret.txt"},
             {"etc-passwd", "/etc/passwd"},
             {"dir-outside", world / "outside/dir"},
             {"dangling", world / "outside/nothing-here"}}) {
      const fs::path cache = fresh_cache("link-" + tag);
      fs::remove(entry(cache) / rlib);
      fs::create_symlink(target, entry(cache) / rlib);
      struct stat passwd_before = {}, passwd_after = {};
      ::stat("/etc/passwd", &passwd_before);
      auto result = run(alpha, cache, "link-" + tag);
      ::stat("/etc/passwd", &passwd_after);
      expect_compiler_result(alpha, "link-" + tag, result);
      EXPECT_NE(result.cache_result(), "hit") << tag;
      EXPECT_EQ(util::mtime_ns(passwd_before), util::mtime_ns(passwd_after));
      expect_world_unchanged("stored file linked to " + tag);
    }
  }
  {
    // The entry directory itself a link to a damaged copy outside: the
    // discard moves the link, never what it points to.
    const fs::path cache = fresh_cache("entry-link-damaged");
    const fs::path copy = world / "outside/entry-copy-damaged";
    fs::copy(entry(cache), copy, fs::copy_options::recursive);
    std::string bytes = testing::read_file(copy / rlib);
    bytes[bytes.size() / 2] ^= 0x5a;
    fs::remove(copy / rlib);
    testing::write_file(copy / rlib, bytes);
    fs::remove_all(entry(cache));
    fs::create_directory_symlink(copy, entry(cache));
    before = world_snapshot();
    checked(alpha, cache, "entry-link-damaged");
    expect_world_unchanged("entry directory linked to a damaged copy outside");
  }
  {
    // ... and to a directory that is no entry at all, holding a JSON file.
    const fs::path cache = fresh_cache("entry-link-dir");
    fs::remove_all(entry(cache));
    fs::create_directory_symlink(world / "outside/dir", entry(cache));
    checked(alpha, cache, "entry-link-dir");
    expect_world_unchanged("entry directory linked to a directory outside");
  }
  {
    // entry.json a link to a JSON file outside that lists no files.
    const fs::path cache = fresh_cache("entry-json-link");
    fs::remove(entry(cache) / "entry.json");
    fs::create_symlink(world / "outside/files-none.json", entry(cache) / "entry.json");
    auto result = run(alpha, cache, "entry-json-link");
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.outcome.exit_code, 0) << result.describe();
    expect_world_unchanged("entry.json linked to a file outside");
  }
  {
    // A stored file replaced by a link to a directory outside, then the
    // entry discarded: the directory keeps its files.
    const fs::path cache = fresh_cache("stderr-link-dir");
    fs::remove(entry(cache) / "stderr");
    fs::create_directory_symlink(world / "outside/dir", entry(cache) / "stderr");
    checked(alpha, cache, "stderr-link-dir");
    expect_world_unchanged("stderr linked to a directory outside");
  }
}

// Directories and regular files where the other belongs.
TEST_F(HostileCache, DirectoriesWhereFilesBelong) {
  const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> cases = {
      {"rlib-is-dir",
       [&](const fs::path& c) {
         fs::remove(entry(c) / alpha.rlib());
         fs::create_directories(entry(c) / alpha.rlib() / "inner");
       }},
      {"entry-json-is-dir",
       [&](const fs::path& c) {
         fs::remove(entry(c) / "entry.json");
         fs::create_directories(entry(c) / "entry.json");
       }},
      {"stderr-is-dir",
       [&](const fs::path& c) {
         fs::remove(entry(c) / "stderr");
         fs::create_directories(entry(c) / "stderr");
       }},
      {"key-record-is-dir",
       [&](const fs::path& c) {
         fs::remove(key_record(c));
         fs::create_directories(key_record(c) / "x");
       }},
      {"entry-is-file",
       [&](const fs::path& c) {
         fs::remove_all(entry(c));
         testing::write_file(entry(c), "not a directory\n");
       }},
      {"e-is-file",
       [&](const fs::path& c) {
         fs::remove_all(c / "e");
         testing::write_file(c / "e", "not a directory\n");
       }},
      {"tmp-is-file",
       [&](const fs::path& c) {
         fs::remove_all(c / "tmp");
         testing::write_file(c / "tmp", "not a directory\n");
       }},
      {"h-is-file",
       [&](const fs::path& c) {
         fs::remove_all(c / "h");
         testing::write_file(c / "h", "not a directory\n");
       }},
  };
  for (const auto& [tag, damage] : cases) {
    const fs::path cache = fresh_cache(tag);
    damage(cache);
    auto result = checked(alpha, cache, tag);
    expect_world_unchanged(tag);
    std::cout << "[ figures  ] " << tag << ": " << result.cache_result() << std::endl;
  }
}

// FIFOs and endless devices where the cache expects files. Each case runs
// in parallel with a time limit, so that hangs cost the limit only once.
// A blocking open of a FIFO would wait forever, and /dev/zero would be read
// (or hashed) without end.
TEST_F(HostileCache, FifosAndEndlessFilesNeverHang) {
  struct Case {
    std::string tag;
    std::function<fs::path()> prepare;  // returns the cache
    const CrateUnit* unit;
    std::optional<fs::path> settings_fifo_dir;
  };
  const auto fifo_at = [](const fs::path& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (::mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + path.native());
  };
  const auto key_record_with = [&](const fs::path& c, const char* member, const Json& paths) {
    Json r = util::read_json(key_record(c)).value();
    r[member] = paths;
    write_json(key_record(c), r);
  };
  // The memo and link record of alpha's library as restored in `out`.
  const auto restored_alpha_record = [&](const fs::path& c, const std::string& tag,
                                         const char* subdir) {
    auto hit = run(alpha, c, tag + "-alpha");
    if (hit.cache_result() != "hit") throw std::runtime_error(tag + ": alpha did not hit");
    fs::copy_file(out_dir(tag + "-alpha") / alpha.rlib(), out_dir(tag) / alpha.rlib());
    struct stat st;
    ::stat((out_dir(tag) / alpha.rlib()).c_str(), &st);
    // The copy has its own identity: record what the wrapper would, then
    // replace it.
    const std::string name = util::key_digest({artifact_cache::fingerprint(st)});
    return c / subdir / name;
  };
  std::vector<Case> cases = {
    {"stored-file-fifo",
     [&] {
       auto c = fresh_cache("fifo-rlib");
       fifo_at(entry(c) / alpha.rlib());
       return c;
     },
     &alpha},
    {"entry-json-fifo",
     [&] {
       auto c = fresh_cache("fifo-entry");
       fifo_at(entry(c) / "entry.json");
       return c;
     },
     &alpha},
    {"stderr-fifo",
     [&] {
       auto c = fresh_cache("fifo-stderr");
       fifo_at(entry(c) / "stderr");
       return c;
     },
     &alpha},
    {"key-record-fifo",
     [&] {
       auto c = fresh_cache("fifo-key");
       fifo_at(key_record(c));
       return c;
     },
     &alpha},
    {"content-memo-fifo",
     [&] {
       auto c = fresh_cache("fifo-memo");
       fs::create_directories(out_dir("content-memo-fifo"));
       fifo_at(restored_alpha_record(c, "content-memo-fifo", "h"));
       return c;
     },
     &delta},
    {"link-record-fifo",
     [&] {
       auto c = fresh_cache("fifo-link");
       fs::create_directories(out_dir("link-record-fifo"));
       const fs::path memo = restored_alpha_record(c, "link-record-fifo", "h");
       // A genuine memo, so that only the link record is hostile.
       testing::write_file(memo,
                           util::blake3_file(out_dir("link-record-fifo") / alpha.rlib()).value());
       fifo_at(memo.parent_path().parent_path() / "l" / memo.filename());
       return c;
     },
     &zeta},
    {"input-dev-zero",
     [&] {
       auto c = fresh_cache("input-zero");
       key_record_with(c, "inputs", Json::array({"/dev/zero", "src/alpha.rs"}));
       return c;
     },
     &alpha},
    {"input-fifo",
     [&] {
       auto c = fresh_cache("input-fifo");
       key_record_with(c, "inputs", Json::array({"../outside/fifo", "src/alpha.rs"}));
       return c;
     },
     &alpha},
    {"span-dep-dev-zero",
     [&] {
       auto c = fresh_cache("span-zero");
       key_record_with(c, "span_deps", Json::array({"/dev/zero"}));
       return c;
     },
     &alpha},
#if !defined(KELV_SANITIZED)
    // Not under AddressSanitizer: its shadow memory does not fit the
    // address space limit that keeps an endless read from filling memory.
    {"stored-file-dev-zero",
     [&] {
       auto c = fresh_cache("zero-rlib");
       fs::remove(entry(c) / alpha.rlib());
       fs::create_symlink("/dev/zero", entry(c) / alpha.rlib());
       return c;
     },
     &alpha},
#endif
    {"settings-fifo",
     [&] {
       fs::create_directories(dir / "events/settings-fifo");
       fifo_at(dir / "events/settings-fifo/wrapper.settings");
       return fresh_cache("settings-fifo");
     },
     &alpha},
  };
  for (Case& c : cases)
    if (c.tag == "settings-fifo") c.settings_fifo_dir = dir / "events/settings-fifo";

  std::vector<fs::path> caches;
  for (Case& c : cases) caches.push_back(c.prepare());
  before = world_snapshot();
  const auto results = testing::race(cases.size(), [&](size_t i) {
    const Case& c = cases[i];
    if (c.settings_fifo_dir) {
      // No settings text: the FIFO is the settings file.
      fs::create_directories(out_dir(c.tag));
      return testing::run_unit(ctx, *c.settings_fifo_dir, std::nullopt,
                               c.unit->args(out_dir(c.tag)), kLimit);
    }
    // Memory is limited so that an endless read fails instead of filling the machine.
#if defined(KELV_SANITIZED)
    const std::optional<uint64_t> memory;
#else
    const std::optional<uint64_t> memory = uint64_t{3} << 30;
#endif
    return run(*c.unit, caches[i], c.tag, std::nullopt, memory);
  });
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& result = results[i];
    std::cout << "[ figures  ] " << cases[i].tag << ": "
              << (result.timed_out ? "HUNG, killed after the limit"
                                   : "exit " + std::to_string(result.outcome.exit_code) +
                                         " signal " + std::to_string(result.outcome.signal) +
                                         " cache " + result.cache_result())
              << std::endl;
    if (cases[i].settings_fifo_dir) {
      // Settings that cannot be read stop the unit before the compiler runs.
      EXPECT_FALSE(result.timed_out);
      EXPECT_EQ(result.outcome.exit_code, 2) << result.describe();
      EXPECT_EQ(result.outcome.err,
                "FAIL cannot read " + (*cases[i].settings_fifo_dir / "wrapper.settings").string() +
                    ": Invalid argument (os error 22)\n");
      continue;
    }
    expect_compiler_result(*cases[i].unit, cases[i].tag, result);
  }
  expect_world_unchanged("fifos and endless files");
}

// Arguments and environment values that are not UTF-8 reach the compiler
// byte for byte, and its output, diagnostics and status come back unchanged,
// whatever the status.
class HostileStatus : public HostileCache, public ::testing::WithParamInterface<int> {};

TEST_P(HostileStatus, NonUtf8ArgumentsAndEnvironmentPassThroughByteForByte) {
  const std::string status = std::to_string(GetParam());
  const fs::path dump = dir / "dump";
  fs::create_directories(dump);
  const fs::path standin = dir / "bin/rustc";
  // Identifies itself as the real compiler (so the cache is used), then
  // writes down what it got instead of compiling.
  testing::write_script(standin, "case \"$1\" in -vV|-V|--version) exec " + testing::real_rustc() +
                                     " \"$@\";; esac\n"
                                     "for a in \"$@\"; do printf '%s' \"$a\" | od -An -v -tx1 | "
                                     "tr -d ' \\n'; echo; done > \"$KELV_PROBE_DUMP/args\"\n"
                                     "printf '%s' \"$KELV_PROBE_VALUE\" | od -An -v -tx1 | "
                                     "tr -d ' \\n' > \"$KELV_PROBE_DUMP/env\"\n"
                                     "printf 'out \\377\\376 bytes\\n'\n"
                                     "printf 'err \\303\\050 bytes\\n' >&2\n"
                                     "exit \"$KELV_PROBE_EXIT\"\n");

  const std::string bad_value = std::string(
      "a\xff"
      "b\xc3",
      4);
  const fs::path out = out_dir("bytes");
  fs::create_directories(out);
  CrateUnit odd = alpha;
  odd.extra = {"--cfg", std::string("feature=\"\xff\xfe\""), std::string("\xc0\x80"), "",
               std::string("--remap-path-prefix=\xed\xa0\x80=x")};
  const std::vector<std::vector<std::string>> arg_sets = {
      alpha.args(out),  // All UTF-8: the cache road is taken (lookup, then a failed store).
      odd.args(out),    // Not UTF-8: the wrapper passes through.
  };
  for (size_t n = 0; n < arg_sets.size(); ++n) {
    const std::vector<std::string>& args = arg_sets[n];
    const std::string where = "argument set " + std::to_string(n) + " exit " + status;
    testing::UnitContext through = ctx;
    through.compiler = standin.native();
    through.env = {{"KELV_PROBE_DUMP", dump.native()},
                   {"KELV_PROBE_VALUE", bad_value},
                   {"KELV_PROBE_EXIT", status},
                   {"CARGO_PKG_DESCRIPTION", std::string("\xff\xfe")},
                   {"KELV_SESSION_ID", std::string("s\xff")}};
    // Directly.
    const auto expected = testing::run_compiler(through, args);
    const std::string expected_args = testing::read_file(dump / "args");
    const std::string expected_env = testing::read_file(dump / "env");
    fs::remove(dump / "args");
    fs::remove(dump / "env");
    // Through the wrapper.
    auto result = testing::run_unit(through, dir / "events" / ("bytes-" + std::to_string(n)),
                                    testing::cache_settings(dir / "caches/bytes"), args, kLimit);
    EXPECT_FALSE(result.timed_out) << where;
    EXPECT_EQ(result.outcome.exit_code, GetParam()) << where << result.describe();
    EXPECT_EQ(result.outcome.out, expected.out) << where;
    EXPECT_EQ(result.outcome.err, expected.err) << where;
    ASSERT_TRUE(fs::exists(dump / "args")) << where << ": the compiler did not run";
    EXPECT_EQ(testing::read_file(dump / "args"), expected_args) << where;
    EXPECT_EQ(testing::read_file(dump / "env"), expected_env) << where;
  }
  // The test child prints the variable itself, with the wrapper's settings in place.
  testing::UnitContext child = ctx;
  child.compiler = testing::test_child_exe().native();
  child.env = {{"KELV_PROBE_VALUE", bad_value}};
  auto printed = testing::run_unit(
      child, dir / "events/child", testing::cache_settings(dir / "caches/child"),
      {"env:KELV_PROBE_VALUE", std::string("out:\xfe\xff"), "exit:" + status}, kLimit);
  EXPECT_EQ(printed.outcome.exit_code, GetParam()) << printed.describe();
  EXPECT_EQ(printed.outcome.out, "KELV_PROBE_VALUE=" + bad_value + "\n\xfe\xff");
  expect_world_unchanged("non-UTF-8 bytes");
}

INSTANTIATE_TEST_SUITE_P(Statuses, HostileStatus, ::testing::Values(0, 3, 7),
                         [](const auto& row) { return "exit" + std::to_string(row.param); });

// A relink record (kept beside the outputs) whose object names lead outside
// the output directory: the binary is compiled instead, nothing outside is
// unlinked or linked over.
TEST_F(HostileCache, RelinkRecordNamingFilesOutsideIsRefused) {
  testing::World w;  // a workspace built by Cargo through the stand-in driver
  const fs::path& ws = w.project;
  w.write_small_workspace();
  w.install_driver();
  w.settings(testing::cache_settings(w.cache, true));
  const auto build = [&] {
    // Cargo reruns the binary's unit only when its source looks newer.
    testing::settle_mtime(w.dir.path());
    fs::last_write_time(ws / "hello/src/main.rs", fs::file_time_type::clock::now());
    return w.build({"build"}, w.driver_env(0));
  };
  ASSERT_EQ(build().exit_code, 0);
  const fs::path deps = ws / "target/debug/deps";
  fs::path record_path;
  for (const auto& e : fs::directory_iterator(deps))
    if (e.path().extension() == ".kelv-relink") record_path = e.path();
  ASSERT_FALSE(record_path.empty()) << "no relink record was kept";
  Json genuine = util::read_json(record_path).value();
  ASSERT_GE(genuine["files"].size(), 2u);

  // A control: with the genuine record and no cache entries, it relinks.
  fs::remove_all(w.cache / "e");
  ASSERT_EQ(build().exit_code, 0);
  EXPECT_NE(w.driver_log().find("relink hello"), std::string::npos) << w.driver_log();
  std::cout << "[ figures  ] genuine relink record: " << w.driver_log();

  // Files a careless relink would unlink or link over, each with the
  // fingerprint the record must show for it.
  const fs::path kept = record_path.parent_path() / (record_path.stem().native() + ".kelv-objects");
  testing::write_file(ws / "escape.o", "outside, seen from the kept objects\n");
  testing::write_file(w.dir / "escape.o", "outside, seen from the output directory\n");
  testing::write_file(w.dir / "absolute.o", "outside, named absolutely\n");
  const auto fingerprint_of = [](const fs::path& p) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) throw std::runtime_error("stat " + p.native());
    return artifact_cache::fingerprint(st);
  };
  const std::string up = "../../../../escape.o";  // from the kept objects: ws/; from deps: dir/
  ASSERT_TRUE(fs::exists(kept / up));
  const auto outside_before = [&] {
    auto snap = testing::snapshot_tree(w.dir.path(), false);
    std::erase_if(snap, [](const auto& kv) {
      return kv.first.starts_with("ws/target") || kv.first.starts_with("cache") ||
             kv.first.starts_with("events") || kv.first.starts_with("home") ||
             kv.first == "driver.log";
    });
    return snap;
  };
  for (const std::string which : {"object-up", "object-absolute", "rlink-up"}) {
    Json record = genuine;
    if (which == "object-up") {
      record["files"][1] = Json::array({up, fingerprint_of(kept / up)});
    } else if (which == "object-absolute") {
      record["files"][1] =
          Json::array({(w.dir / "absolute.o").native(), fingerprint_of(w.dir / "absolute.o")});
    } else {
      record["files"][0] = Json::array({up, fingerprint_of(deps / up)});
    }
    testing::write_file(record_path, record.dump(2));
    const auto snap = outside_before();
    fs::remove_all(w.cache / "e");
    auto built = build();
    ASSERT_EQ(built.exit_code, 0) << which << ": " << built.err;
    EXPECT_EQ(w.driver_log().find("relink hello"), std::string::npos)
        << which << ": " << w.driver_log();
    EXPECT_NE(w.driver_log().find("compile hello"), std::string::npos)
        << which << ": " << w.driver_log();
    std::cout << "[ figures  ] relink record " << which << ": " << w.driver_log();
    EXPECT_EQ(w.run_binary("hello").out, "hello, world\n");
    EXPECT_EQ(testing::snapshot_diff(snap, outside_before()), std::vector<std::string>{}) << which;
    expect_world_unchanged("relink record " + which);
    EXPECT_EQ(testing::read_file(ws / "escape.o"), "outside, seen from the kept objects\n");
    EXPECT_EQ(testing::read_file(w.dir / "escape.o"), "outside, seen from the output directory\n");
    EXPECT_EQ(testing::read_file(w.dir / "absolute.o"), "outside, named absolutely\n");
    // A fresh compile writes a genuine record again: tamper with that one next.
    if (fs::exists(record_path)) {
      auto again = util::read_json(record_path);
      if (again && again->contains("files") && (*again)["files"].size() >= 2) genuine = *again;
    }
  }
}

}  // namespace
}  // namespace kelv
