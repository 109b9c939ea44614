// The remote cache tier under real Cargo, against real Redis and nginx
// WebDAV servers: a second machine replays a whole build from the server;
// servers that die, stall, refuse, answer with errors or hold damaged objects
// cost little and never change what a build produces; read-only builds write
// nothing; many wrappers at once leave only whole objects; credentials never
// show.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <chrono>
#include <expected>
#include <future>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

#include "artifact_cache/prefetch.h"
#include "support/servers.h"
#include "support/world.h"
#include "util/clock.h"
#include "util/files.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::CrateUnit;
using testing::Env;
using testing::Outcome;
using util::Json;
using namespace std::chrono_literals;

enum class Engine { redis, http, s3 };

const char* name_of(Engine engine) {
  return engine == Engine::redis ? "redis" : engine == Engine::http ? "http" : "s3";
}
std::string engine_name(const ::testing::TestParamInfo<Engine>& info) {
  return name_of(info.param);
}

constexpr const char* kUser = "kelvuser";
constexpr const char* kPassword = "s3cr3t-pw";
constexpr const char* kWrongPassword = "n0t-the-pw";

// The workspace two machines share (the realistic one of the tests; the
// larger one of the benchmarks is built by bench/remote_cache), and its
// binary.
constexpr const char* kSharedFixture = "workspace";
constexpr const char* kSharedBinary = "orchard";

// What the wrapper says when it leaves a server alone after a failure.
constexpr std::string_view kSkipReason = "the remote failed less than a minute ago";

// ---------------------------------------------------------------------------
// Redis spoken to directly, for what RedisServer does not offer.

struct RedisFree {
  void operator()(redisContext* c) const { redisFree(c); }
  void operator()(redisReply* r) const { freeReplyObject(r); }
};

// One command to the server at `port`, after AUTH with the password when
// there is one; the reply as text (an integer as its digits).
std::string redis_call(uint16_t port, const std::optional<std::string>& password,
                       const std::vector<std::string>& args) {
  std::unique_ptr<redisContext, RedisFree> c(redisConnect("127.0.0.1", port));
  if (!c || c->err != 0) throw std::runtime_error("cannot connect to the test's redis server");
  auto command = [&](const std::vector<std::string>& words) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const std::string& w : words) {
      argv.push_back(w.data());
      lengths.push_back(w.size());
    }
    std::unique_ptr<redisReply, RedisFree> r(static_cast<redisReply*>(
        redisCommandArgv(c.get(), static_cast<int>(argv.size()), argv.data(), lengths.data())));
    if (!r || r->type == REDIS_REPLY_ERROR)
      throw std::runtime_error("redis " + words[0] +
                               " failed: " + (r ? std::string(r->str, r->len) : "I/O"));
    if (r->type == REDIS_REPLY_INTEGER) return std::to_string(r->integer);
    return r->str ? std::string(r->str, r->len) : std::string();
  };
  if (password) command({"AUTH", *password});
  return command(args);
}

// ---------------------------------------------------------------------------
// A server of any engine. With credentials, Redis has the user (by ACL,
// besides the default user's password) and nginx asks for basic
// authentication; the S3 gateway always has them (the user and password are
// its access key and secret), and builds find it through the AWS variables
// of this process's environment.

class Server {
 public:
  struct Options {
    bool credentials = false;
    std::optional<uint64_t> maxmemory;  // Redis: writes beyond it are refused
  };
  explicit Server(Engine engine) : Server(engine, Options{}) {}
  Server(Engine engine, Options options) : engine_(engine), options_(options) {
    const std::optional<std::string> password =
        options.credentials ? std::optional<std::string>(kPassword) : std::nullopt;
    if (engine == Engine::s3) {
      s3_.emplace(kUser, kPassword);
      for (const auto& [name, value] : s3_->env())
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    } else if (engine == Engine::redis) {
      redis_.emplace(
          testing::RedisServer::Options{.password = password, .maxmemory = options.maxmemory});
      if (options.credentials)
        redis_call(redis_->port(), password,
                   {"ACL", "SETUSER", kUser, "on", std::string(">") + kPassword, "~*", "+@all"});
    } else {
      dav_.emplace(testing::DavServer::Options{
          .user = options.credentials ? std::optional<std::string>(kUser) : std::nullopt,
          .password = password});
    }
  }

  Engine engine() const { return engine_; }
  // The address builds are given: with the credentials, when it has them
  // (S3's are in the environment).
  std::string url() const {
    if (s3_) return s3_->url();
    return options_.credentials ? url_with(kUser, kPassword)
                                : (redis_ ? redis_->url() : dav_->url());
  }
  std::string url_with(std::string_view user, std::string_view password) const {
    if (s3_) return s3_->url();
    return redis_ ? redis_->url_with(user, password) : dav_->url_with(user, password);
  }
  // What a build with other credentials needs besides url_with's address.
  Env env_with(std::string_view user, std::string_view password) const {
    return s3_ ? s3_->env(user, password) : Env{};
  }
  // HTTP: the address of another prefix, without credentials.
  std::string url_at(std::string_view prefix) const { return dav_->url(prefix); }
  // How reports name it: without credentials.
  std::string display() const {
    return s3_ ? s3_->url() : redis_ ? redis_->url() + "/0" : dav_->url();
  }
  void kill() { s3_ ? s3_->kill() : redis_ ? redis_->kill() : dav_->kill(); }

  std::vector<std::string> objects() const {
    return s3_ ? s3_->object_names() : redis_ ? redis_->object_names() : dav_->object_names();
  }
  fs::path file_of(const std::string& name) const {
    return s3_ ? s3_->root() / testing::S3Server::bucket / "cache" / name
               : dav_->root() / "cache" / name;
  }
  std::string object(const std::string& name) const {
    if (redis_) return redis_->get(name).value_or("");
    return testing::read_file(file_of(name));
  }
  void put(const std::string& name, const std::string& bytes) const {
    if (redis_)
      redis_->put(name, bytes);
    else
      testing::write_file(file_of(name), bytes);
  }
  // Connections the server has accepted since it started (Redis only).
  uint64_t connections() const {
    const std::string info =
        redis_call(redis_->port(), options_.credentials ? std::optional(kPassword) : std::nullopt,
                   {"INFO", "stats"});
    const std::string field = "total_connections_received:";
    const size_t at = info.find(field);
    if (at == std::string::npos) throw std::runtime_error("no connection count in INFO");
    return std::stoull(info.substr(at + field.size()));
  }

 private:
  Engine engine_;
  Options options_;
  std::optional<testing::RedisServer> redis_;
  std::optional<testing::DavServer> dav_;
  std::optional<testing::S3Server> s3_;
};

// An address of the engine's scheme for a local port where no server of it runs.
// (S3: at the endpoint AWS_ENDPOINT_URL of the build's environment names.)
std::string address_at(Engine engine, uint16_t port) {
  if (engine == Engine::s3) return "s3://kelv/cache";
  return engine == Engine::redis ? "redis://127.0.0.1:" + std::to_string(port)
                                 : "http://127.0.0.1:" + std::to_string(port) + "/cache";
}
// What a build needs besides that address to reach the port.
Env env_at(Engine engine, uint16_t port) {
  if (engine != Engine::s3) return {};
  return {{"AWS_ENDPOINT_URL", "http://127.0.0.1:" + std::to_string(port)},
          {"AWS_ACCESS_KEY_ID", kUser},
          {"AWS_SECRET_ACCESS_KEY", kPassword}};
}

// ---------------------------------------------------------------------------
// Entry objects: "kelv-entry 1\n", a header line naming the files with their
// sizes and hashes, then their bytes.

struct Pack {
  std::string entry;
  std::vector<std::string> files;
};

// The header of a whole entry object, or what makes it not whole.
std::expected<Pack, std::string> read_pack(const std::string& bytes) {
  constexpr std::string_view magic = "kelv-entry 1\n";
  if (!bytes.starts_with(magic)) return std::unexpected("no first line");
  const size_t nl = bytes.find('\n', magic.size());
  if (nl == std::string::npos) return std::unexpected("no header");
  const auto header =
      util::parse_json(std::string_view(bytes).substr(magic.size(), nl - magic.size()));
  if (!header || !header->is_object() || !header->contains("files"))
    return std::unexpected("an unreadable header");
  Pack pack{.entry = header->value("entry", ""), .files = {}};
  size_t at = nl + 1;
  for (const Json& f : (*header)["files"]) {
    const std::string name = f.value("name", "");
    const uint64_t size = f.value("size", uint64_t{0});
    if (size > bytes.size() - at) return std::unexpected(name + " is cut short");
    if (testing::blake3_of(std::string_view(bytes).substr(at, size)) != f.value("blake3", ""))
      return std::unexpected(name + " does not hold its recorded content");
    pack.files.push_back(name);
    at += size;
  }
  if (at != bytes.size()) return std::unexpected("bytes beyond the files it lists");
  return pack;
}

// Every object on the server is whole: each entry a complete pack stored
// under its own name, each key record a JSON object; and every key record
// has entries beside it.
void expect_whole_objects(const Server& server, const std::string& where) {
  size_t entries = 0, records = 0;
  for (const std::string& name : server.objects()) {
    const std::string bytes = server.object(name);
    if (name.starts_with("kelv1/e/")) {
      ++entries;
      const auto pack = read_pack(bytes);
      if (!pack)
        ADD_FAILURE() << where << ": " << name << " is not whole: " << pack.error();
      else
        EXPECT_EQ("kelv1/e/" + pack->entry, name) << where;
    } else if (name.starts_with("kelv1/b/")) {
      EXPECT_TRUE(artifact_cache::parse_build_list(bytes))
          << where << ": " << name << ": " << bytes;
    } else if (name.starts_with("kelv1/m/")) {
      ++records;
      const auto record = util::parse_json(bytes);
      EXPECT_TRUE(record && record->is_object()) << where << ": " << name << ": " << bytes;
    } else {
      ADD_FAILURE() << where << ": an object of no known kind: " << name;
    }
  }
  EXPECT_GT(records, 0u) << where;
  EXPECT_GE(entries, records > 0 ? 1u : 0u) << where;
}

// The crate whose outputs an entry object holds ("build_script_build" for a
// build script); empty when none of `crates` matches.
std::string crate_of_pack(const Pack& pack, const std::vector<std::string>& crates) {
  for (const std::string& file : pack.files)
    for (const std::string& crate : crates)
      if (file.starts_with("lib" + crate + "-") || file.starts_with(crate + "-")) return crate;
  return "";
}

// ---------------------------------------------------------------------------
// Reports.

std::string arg_after(const Json& report, std::string_view option, std::string_view prefix = "") {
  const Json& args = report["args"];
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] != option) continue;
    const std::string value = args[i + 1].get<std::string>();
    if (value.starts_with(prefix)) return value.substr(prefix.size());
  }
  return "";
}

std::string crate_of(const Json& report) {
  return arg_after(report, "--crate-name");
}

// A unit's name across builds: its crate and Cargo's metadata hash.
std::string unit_name(const Json& report) {
  return crate_of(report) + " " + arg_after(report, "-C", "metadata=");
}

// The reports of the units the cache handled, in the order they started.
std::vector<Json> cached_units(const std::vector<Json>& reports) {
  std::vector<Json> units;
  for (const Json& r : reports)
    if (r.value("kind", "") == "compile" && r.contains("cache") &&
        r["cache"].value("result", "off") != "off")
      units.push_back(r);
  return units;
}

std::string result_of(const Json& r) {
  return r["cache"].value("result", "");
}
std::string source_of(const Json& r) {
  return r["cache"].value("source", "");
}
// A member of the report's cache.remote; "" when absent.
std::string remote_of(const Json& r, const char* member) {
  const Json& cache = r["cache"];
  if (!cache.contains("remote") || !cache["remote"].is_object()) return "";
  return cache["remote"].value(member, "");
}
bool has_remote(const Json& r, const char* member) {
  const Json& cache = r["cache"];
  return cache.contains("remote") && cache["remote"].is_object() &&
         cache["remote"].contains(member);
}

std::string describe(const Json& r) {
  return unit_name(r) + ": " + r["cache"].dump();
}

uint64_t wall_ns() {
  return util::now_wall_ns();
}

// BLAKE3 of every file below `dir` (relative names).
std::map<std::string, std::string> hashes_below(const fs::path& dir) {
  std::map<std::string, std::string> hashes;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      hashes[e.path().lexically_relative(dir).string()] = testing::blake3_of_file(e.path());
  return hashes;
}

// The BLAKE3 of each output of a unit in `out` (a dep-info file names the
// output directory, which is read as "<out>").
std::map<std::string, std::string> outputs_of(const fs::path& out, const CrateUnit& u) {
  std::map<std::string, std::string> hashes;
  for (const auto& [name, bytes] : testing::read_files(out, u.outputs()))
    hashes[name] = testing::blake3_of(testing::replace_all(bytes, out.string(), "<out>"));
  return hashes;
}

// The same files with the same content, or the names that differ.
void expect_same_files(const std::map<std::string, std::string>& got,
                       const std::map<std::string, std::string>& expected,
                       const std::string& what) {
  for (const auto& [name, hash] : expected) {
    const auto it = got.find(name);
    if (it == got.end())
      ADD_FAILURE() << what << ": " << name << " is missing";
    else if (it->second != hash)
      ADD_FAILURE() << what << ": " << name << " differs";
  }
  for (const auto& [name, hash] : got)
    if (!expected.contains(name)) ADD_FAILURE() << what << ": " << name << " is new";
}

// Waits for `path` to exist while `running` goes on; false when it ends or
// `limit` passes first.
template <class T>
bool wait_for(const fs::path& path, const std::future<T>& running,
              std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline ||
        running.wait_for(10ms) == std::future_status::ready)
      return fs::exists(path);
  }
  return true;
}

// ---------------------------------------------------------------------------
// The tests' world: one project, and "machines" that build it in the same
// directory, each with a local cache and a kelv home of its own.

// alpha <- beta <- gamma (with a build script) <- app, which prints
// "chain 46". gamma's build script writes its environment to the file
// KELV_TEST_ENV_DUMP names, and waits at a gate when KELV_TEST_GATE names
// a directory: it creates "reached" there and goes on once "open" appears,
// so that a test can act between the units before and after it.
constexpr const char* kChainOutput = "chain 46\n";
constexpr size_t kChainUnits = 5;  // with the build script's compilation
const std::vector<std::string> kChainCrates = {"alpha", "beta", "build_script_build", "gamma",
                                               "app"};

void write_chain(const fs::path& dir) {
  using testing::write_file;
  write_file(
      dir / "Cargo.toml",
      "[workspace]\nresolver = \"2\"\nmembers = [\"alpha\", \"beta\", \"gamma\", \"app\"]\n");
  auto manifest = [](const std::string& name, const std::string& dep) {
    std::string text = "[package]\nname = \"" + name +
                       "\"\nversion = \"0.1.0\"\nedition = \"2021\"\n\n[dependencies]\n";
    if (!dep.empty()) text += dep + " = { path = \"../" + dep + "\" }\n";
    return text;
  };
  write_file(dir / "alpha/Cargo.toml", manifest("alpha", ""));
  write_file(dir / "alpha/src/lib.rs", "pub fn v() -> u64 { 2 }\n");
  write_file(dir / "beta/Cargo.toml", manifest("beta", "alpha"));
  write_file(dir / "beta/src/lib.rs", "pub fn v() -> u64 { alpha::v() + 3 }\n");
  write_file(dir / "gamma/Cargo.toml", manifest("gamma", "beta"));
  write_file(
      dir / "gamma/src/lib.rs",
      "pub fn v() -> u64 {\n    beta::v() * 7 + env!(\"GAMMA_SEED\").parse::<u64>().unwrap()\n}\n");
  write_file(dir / "gamma/build.rs", R"(use std::{env, fs, path::Path, thread, time::Duration};

fn main() {
    println!("cargo:rerun-if-changed=build.rs");
    println!("cargo:rustc-env=GAMMA_SEED=11");
    if let Ok(dump) = env::var("KELV_TEST_ENV_DUMP") {
        let vars: Vec<String> = env::vars().map(|(k, v)| format!("{k}={v}\n")).collect();
        fs::write(dump, vars.concat()).unwrap();
    }
    if let Ok(gate) = env::var("KELV_TEST_GATE") {
        let gate = Path::new(&gate);
        fs::write(gate.join("reached"), "").unwrap();
        for _ in 0..1200 {
            if gate.join("open").exists() {
                return;
            }
            thread::sleep(Duration::from_millis(50));
        }
        panic!("the gate never opened");
    }
}
)");
  write_file(dir / "app/Cargo.toml", manifest("app", "gamma"));
  write_file(dir / "app/src/main.rs", "fn main() {\n    println!(\"chain {}\", gamma::v());\n}\n");
  testing::settle_mtime(dir);
}

struct Machine {
  fs::path cache, home;
};

struct BuildHow {
  Env env;
  std::vector<std::string> args = {"build"};
  bool from_scratch = true;  // without the target directory
  fs::path at;               // another checkout of the project
  bool path_independent = false;
};

class RemoteWorld : public testing::World {
 protected:
  Machine machine(const std::string& name) const {
    return {dir / "machines" / name / "cache", dir / "machines" / name / "home"};
  }

  // A build on the machine against the remote at `url` ("" for none).
  Outcome build_on(const Machine& m, const std::string& url, BuildHow how = {}) {
    std::string text = testing::cache_settings(m.cache);
    if (how.path_independent) text.replace(text.rfind('}'), 1, R"(, "path_independent": true})");
    settings(text);
    if (how.from_scratch) fs::remove_all((how.at.empty() ? project : how.at) / "target");
    how.env.emplace("KELV_HOME", m.home.string());
    how.env.emplace("KELV_REMOTE_CACHE", url);
    how.env.emplace("KELV_REMOTE_CACHE_MODE", std::nullopt);
    how.env.emplace("KELV_REMOTE_TIMEOUT_MS", std::nullopt);
    how.env.emplace("KELV_TEST_GATE", std::nullopt);
    how.env.emplace("KELV_FIXTURE_BANNER", std::nullopt);
    how.env.emplace("REALWORLD_BANNER", std::nullopt);
    how.args.push_back("--offline");
    return build(how.args, how.env, how.at);
  }

  std::vector<Json> units() const { return cached_units(reports()); }

  // A cold build of the chain on a fresh machine `name` that stores and
  // uploads every unit.
  void upload_chain(const std::string& url, const std::string& name = "uploader") {
    const Outcome built = build_on(machine(name), url);
    ASSERT_EQ(built.exit_code, 0) << built.err;
    const auto stored = units();
    ASSERT_EQ(stored.size(), kChainUnits);
    for (const Json& r : stored) {
      EXPECT_EQ(result_of(r), "stored") << describe(r);
      EXPECT_EQ(remote_of(r, "lookup"), "miss") << describe(r);
      EXPECT_EQ(remote_of(r, "upload"), "uploaded") << describe(r);
    }
  }

  // The remote's markers of a machine's cache: servers it skips for now.
  static std::vector<fs::path> markers(const Machine& m) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(m.cache / "r", ec)) found.push_back(e.path());
    return found;
  }
};

class RemoteFaults : public ::testing::TestWithParam<Engine>, protected RemoteWorld {};

// ---------------------------------------------------------------------------

// Where machine B builds: in A's place, or elsewhere, at another path below
// another home directory (with a Cargo home of its own), both machines then
// remapping their directories to fixed names.
struct Placement {
  Engine engine;
  bool elsewhere = false;
};

std::string placement_name(const ::testing::TestParamInfo<Placement>& info) {
  return std::string(name_of(info.param.engine)) + (info.param.elsewhere ? "_elsewhere" : "");
}

class RemoteTwoMachines : public ::testing::TestWithParam<Placement>, protected RemoteWorld {
 protected:
  BuildHow on(const std::string& user, const fs::path& at) const {
    if (!GetParam().elsewhere) return {};
    const char* rustup = std::getenv("RUSTUP_HOME");  // the toolchains stay where they are
    const char* home_now = std::getenv("HOME");
    const fs::path home = dir / "machines" / user / "user";
    return {.env = {{"HOME", home.string()},
                    {"CARGO_HOME", (home / ".cargo").string()},
                    {"RUSTUP_HOME",
                     rustup ? rustup : std::string(home_now ? home_now : "") + "/.rustup"}},
            .at = at,
            .path_independent = true};
  }
};

// Machine A builds the realistic workspace and uploads it; machine B, with an
// empty cache, builds the same workspace and replays every unit from the
// server, to the same bytes (but for the dep-info, which names B's own
// files); B's next clean build is local.
TEST_P(RemoteTwoMachines, SecondMachineReplaysEveryUnitFromTheServer) {
  Server server(GetParam().engine);
  copy_fixture(kSharedFixture);
  const Machine a = machine("a"), b = machine("b");
  const fs::path b_project =
      GetParam().elsewhere ? dir / "machines/b/user/src/deeper/orchard" : project;
  if (GetParam().elsewhere) testing::copy_fixture(b_project, kSharedFixture);
  // The outputs; elsewhere without the dep-info, which names B's own files
  // (and never A's).
  const auto outputs = [&](const fs::path& at) {
    auto files = hashes_below(at / "target/debug/deps");
    for (const auto& e : fs::directory_iterator(at / "target/debug/deps")) {
      if (!GetParam().elsewhere || e.path().extension() != ".d") continue;
      if (at != project) {
        EXPECT_EQ(testing::read_file(e.path()).find(project.string() + "/"), std::string::npos);
      }
      files.erase(e.path().filename().string());
    }
    return files;
  };

  const Outcome on_a = build_on(a, server.url(), on("a", project));
  ASSERT_EQ(on_a.exit_code, 0) << on_a.err;
  std::set<std::string> stored;
  size_t uploaded = 0;
  for (const Json& r : units()) {
    EXPECT_EQ(result_of(r), "stored") << describe(r);
    EXPECT_EQ(remote_of(r, "lookup"), "miss") << describe(r);
    const std::string upload = remote_of(r, "upload");
    EXPECT_TRUE(upload == "uploaded" || upload == "present") << describe(r);
    uploaded += upload == "uploaded" ? 1 : 0;
    EXPECT_EQ(remote_of(r, "server"), server.display()) << describe(r);
    stored.insert(unit_name(r));
  }
  EXPECT_GT(stored.size(), 10u);
  EXPECT_GT(uploaded, 10u);
  const auto a_outputs = outputs(project);
  const Outcome a_run = run_binary(kSharedBinary);
  ASSERT_EQ(a_run.exit_code, 0) << a_run.err;
  expect_whole_objects(server, "after A's build");
  const auto objects_after_a = server.objects();

  const Outcome on_b = build_on(b, server.url(), on("b", b_project));
  ASSERT_EQ(on_b.exit_code, 0) << on_b.err;
  std::set<std::string> replayed;
  for (const Json& r : units()) {
    EXPECT_EQ(result_of(r), "hit") << describe(r);
    EXPECT_EQ(source_of(r), "remote") << describe(r);
    EXPECT_EQ(remote_of(r, "lookup"), "hit") << describe(r);
    EXPECT_FALSE(has_remote(r, "upload")) << describe(r);
    replayed.insert(unit_name(r));
  }
  EXPECT_EQ(replayed, stored);
  expect_same_files(outputs(b_project), a_outputs, "B's outputs");
  const Outcome b_run =
      testing::run({.argv = {(b_project / "target/debug" / kSharedBinary).string()}});
  EXPECT_EQ(b_run.exit_code, 0) << b_run.err;
  EXPECT_EQ(b_run.out, a_run.out);
  EXPECT_EQ(server.objects(), objects_after_a) << "a machine that only replayed wrote";
  EXPECT_EQ(testing::leftover_temporaries(b.cache), std::vector<std::string>{});

  const Outcome again = build_on(b, server.url(), on("b", b_project));
  ASSERT_EQ(again.exit_code, 0) << again.err;
  std::set<std::string> local;
  for (const Json& r : units()) {
    EXPECT_EQ(result_of(r), "hit") << describe(r);
    EXPECT_EQ(source_of(r), "local") << describe(r);
    EXPECT_FALSE(has_remote(r, "lookup")) << describe(r);
    EXPECT_EQ(remote_of(r, "server"), server.display()) << describe(r);
    local.insert(unit_name(r));
  }
  EXPECT_EQ(local, stored);
  expect_same_files(outputs(b_project), a_outputs, "B's outputs");
}

// The server dies while B replays the chain: gamma's build script holds the
// build while the server is killed. What started before may come from the
// server; nothing that started after claims a hit; the first unit after the
// death fails its lookup and the others skip the server; the build is whole.
// The skip marker then lasts a minute and no longer.
TEST_P(RemoteFaults, ServerKilledMidBuildIsSkippedAndTheBuildSucceeds) {
  Server server(GetParam());
  write_chain(project);
  upload_chain(server.url());
  if (HasFatalFailure()) return;

  const Machine b = machine("b");
  const fs::path gate = dir / "gate";
  fs::create_directories(gate);
  auto running = std::async(std::launch::async, [&] {
    return build_on(b, server.url(), {.env = {{"KELV_TEST_GATE", gate.string()}}});
  });
  const bool reached = wait_for(gate / "reached", running, 120s);
  const uint64_t killed_at = wall_ns();
  server.kill();
  testing::write_file(gate / "open", "");
  const Outcome built = running.get();
  ASSERT_TRUE(reached) << "gamma's build script never ran";
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_EQ(run_binary("app").out, kChainOutput);

  size_t before = 0, after = 0, failed = 0;
  for (const Json& r : units()) {
    const uint64_t start = r.value("start_wall_ns", uint64_t{0});
    const uint64_t end = start + r.value("dur_ns", uint64_t{0});
    failed += remote_of(r, "lookup") == "failed" ? 1 : 0;
    if (start >= killed_at) {
      ++after;
      EXPECT_NE(result_of(r), "hit") << describe(r);
      EXPECT_EQ(result_of(r), "stored") << describe(r);
      const std::string lookup = remote_of(r, "lookup");
      EXPECT_TRUE(lookup == "failed" || lookup == "skipped") << describe(r);
      EXPECT_EQ(remote_of(r, "upload"), "skipped") << describe(r);
      if (lookup == "skipped") {
        EXPECT_TRUE(remote_of(r, "reason").starts_with(kSkipReason)) << describe(r);
      }
    } else if (end < killed_at) {
      ++before;
      EXPECT_EQ(source_of(r), "remote") << "before the server died: " << describe(r);
    }
  }
  EXPECT_GE(before, 1u) << "the build script's compilation came before";
  EXPECT_GE(after, 2u) << "gamma and app came after";
  EXPECT_EQ(failed, 1u) << "only the first unit after the death may wait for the server";
  // A server gone away is skipped for reads and writes.
  ASSERT_EQ(markers(b).size(), 2u);

  // A marker half a minute old still keeps the server skipped; one older
  // than a minute does not, and the next unit asks the server again.
  const std::vector<fs::path> both = markers(b);
  const fs::path marker = both[0].extension() == ".read" ? both[0] : both[1];
  struct Case {
    const char* name;
    std::chrono::seconds age;
    const char* lookup;
  };
  for (const Case& c : {Case{"30 s old", 30s, "skipped"}, Case{"61 s old", 61s, "failed"}}) {
    SCOPED_TRACE(c.name);
    for (const fs::path& m : both)
      testing::set_mtime(
          m, wall_ns() - static_cast<uint64_t>(std::chrono::nanoseconds(c.age).count()));
    edit("app/src/main.rs");
    const Outcome rebuilt = build_on(b, server.url(), {.from_scratch = false});
    ASSERT_EQ(rebuilt.exit_code, 0) << rebuilt.err;
    const auto app = report("app");
    EXPECT_EQ(result_of(app), "stored") << describe(app);
    EXPECT_EQ(remote_of(app, "lookup"), c.lookup) << describe(app);
    EXPECT_EQ(run_binary("app").out, kChainOutput);
  }
  EXPECT_GT(testing::stat_of(marker).st_mtim.tv_sec,
            static_cast<time_t>(wall_ns() / 1000000000 - 30))
      << "the new failure was not remembered";
}

// Servers that cannot be reached or answer with errors: the first unit's
// request fails (or, for writes refused, its upload), it is remembered, and
// the units after it skip the server without contacting it; the build is the
// compiler's. Units run one at a time (-j1), so that exactly one pays.
enum class Fault { refused, silent, wrong_password, forbidden, broken, out_of_memory };

struct FaultCase {
  Fault fault;
  const char* name;
  std::optional<Engine> only;  // a way of failing that one engine has
  const char* first_lookup;
  const char* first_upload;
  size_t markers;  // reads and writes skipped afterwards: 2, writes only: 1
};

// A server that cannot be reached is skipped for reads and writes at once;
// one that answers with a refusal, only for requests of that direction (a
// refused lookup leaves the upload to find out for itself).
const FaultCase kFaultCases[] = {
    {Fault::refused, "connection refused", std::nullopt, "failed", "skipped", 2},
    {Fault::silent, "a listener that never answers", std::nullopt, "failed", "skipped", 2},
    {Fault::wrong_password, "a wrong password", std::nullopt, "failed", "failed", 2},
    {Fault::forbidden, "403 Forbidden", Engine::http, "failed", "failed", 2},
    {Fault::broken, "500 Internal Server Error", Engine::http, "failed", "failed", 2},
    {Fault::out_of_memory, "writes refused for lack of memory", Engine::redis, "miss", "failed", 1},
};

constexpr int kTimeoutMs = 500;

TEST_P(RemoteFaults, FailingServerCostsOneUnitAndTheBuildSucceeds) {
  const Engine engine = GetParam();
  write_chain(project);
  int n = 0;
  for (const FaultCase& c : kFaultCases) {
    if (c.only && *c.only != engine) continue;
    SCOPED_TRACE(c.name);
    std::optional<Server> server;
    std::optional<testing::SilentListener> silent;
    std::optional<testing::ClosedPort> closed;
    std::string url, display;  // the address, and how reports name it
    Env env = {{"KELV_REMOTE_TIMEOUT_MS", std::to_string(kTimeoutMs)}};
    switch (c.fault) {
      case Fault::refused:
        url = address_at(engine, closed.emplace().port());
        env.merge(env_at(engine, closed->port()));
        break;
      case Fault::silent:
        url = address_at(engine, silent.emplace().port());
        env.merge(env_at(engine, silent->port()));
        break;
      case Fault::wrong_password:
        url = server.emplace(engine, Server::Options{.credentials = true})
                  .url_with(kUser, kWrongPassword);
        env.merge(server->env_with(kUser, kWrongPassword));
        display = server->display();
        break;
      case Fault::forbidden:
        url = display = server.emplace(engine).url_at("/forbidden");
        break;
      case Fault::broken:
        url = display = server.emplace(engine).url_at("/broken");
        break;
      case Fault::out_of_memory:
        url = display = server.emplace(engine, Server::Options{.maxmemory = 1}).url() + "/0";
        break;
    }
    if (display.empty()) display = engine == Engine::redis ? url + "/0" : url;
    env.emplace("AWS_SESSION_TOKEN", std::nullopt);
    const uint64_t connections_before =
        server && engine == Engine::redis ? server->connections() : 0;
    const Machine m = machine("fault-" + std::to_string(n++));
    const auto started = std::chrono::steady_clock::now();
    const Outcome built = build_on(m, url, {.env = env, .args = {"build", "-j1"}});
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_EQ(run_binary("app").out, kChainOutput);

    const auto done = units();
    ASSERT_EQ(done.size(), kChainUnits);
    for (size_t i = 0; i < done.size(); ++i) {
      const Json& r = done[i];
      EXPECT_EQ(result_of(r), "stored") << describe(r);
      EXPECT_EQ(remote_of(r, "server"), display) << describe(r);
      if (i == 0) {
        EXPECT_EQ(remote_of(r, "lookup"), c.first_lookup) << describe(r);
        EXPECT_EQ(remote_of(r, "upload"), c.first_upload) << describe(r);
        EXPECT_FALSE(remote_of(r, "reason").empty()) << describe(r);
      } else if (c.markers == 1) {
        // Writes refused: lookups go on, uploads are skipped.
        EXPECT_EQ(remote_of(r, "lookup"), "miss") << describe(r);
        EXPECT_EQ(remote_of(r, "upload"), "skipped") << describe(r);
        EXPECT_TRUE(remote_of(r, "upload_reason").starts_with(kSkipReason)) << describe(r);
      } else {
        EXPECT_EQ(remote_of(r, "lookup"), "skipped") << describe(r);
        EXPECT_EQ(remote_of(r, "upload"), "skipped") << describe(r);
        EXPECT_TRUE(remote_of(r, "reason").starts_with(kSkipReason)) << describe(r);
      }
    }
    EXPECT_EQ(markers(m).size(), c.markers);
    if (c.fault == Fault::silent) {
      // The first unit waited for the server about the stall limit (plus
      // its compilation, slow in the sanitizer build on a loaded machine),
      // not the wrapper's own limit for the program (5 s); no other unit
      // waited.
      const uint64_t waited = done[0].value("dur_ns", uint64_t{0});
      EXPECT_GE(waited, kTimeoutMs * 1000000ull) << describe(done[0]);
      EXPECT_LT(waited, (kTimeoutMs + 4000) * 1000000ull)
          << "a stall limit of " << kTimeoutMs << " ms: " << describe(done[0]);
    }
    if (server && engine == Engine::redis) {
      // The first unit's lookup and upload at most; none of the units after
      // it (but for lookups, when only writes were refused).
      EXPECT_LE(server->connections() - connections_before, c.markers == 1 ? 2 + kChainUnits : 3u);
      if (c.fault == Fault::out_of_memory) {
        EXPECT_EQ(server->objects(), std::vector<std::string>{});
      }
    }
    std::cout << "[ remote   ] " << c.name << ": build "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms, first unit " << done[0].value("dur_ns", uint64_t{0}) / 1000000 << " ms\n";
  }
}

// Objects on the server that are damaged: a flipped byte, a cut end, an
// entry copied over another's name. The units they belong to are found
// damaged and compiled (no failure marker: the server works), the others
// still come from the server, and the build is the same as A's.
TEST_P(RemoteFaults, DamagedObjectsAreCompiledNeverReplayed) {
  Server server(GetParam());
  write_chain(project);
  upload_chain(server.url());
  if (HasFatalFailure()) return;
  const auto a_outputs = hashes_below(project / "target/debug/deps");

  std::map<std::string, std::string> entry_of;  // crate -> object name
  for (const std::string& name : server.objects()) {
    if (!name.starts_with("kelv1/e/")) continue;
    const auto pack = read_pack(server.object(name));
    ASSERT_TRUE(pack.has_value()) << name << ": " << pack.error();
    entry_of[crate_of_pack(*pack, kChainCrates)] = name;
  }
  for (const std::string& crate : kChainCrates) ASSERT_TRUE(entry_of.contains(crate)) << crate;

  struct Damage {
    const char* crate;
    const char* how;
    std::function<std::string(std::string own, const std::string& alpha)> damaged;
  };
  const std::vector<Damage> damages = {
      {"alpha", "a byte flipped in the middle",
       [](std::string own, const std::string&) {
         own[own.size() / 2] ^= 0x20;
         return own;
       }},
      {"beta", "the last bytes cut",
       [](std::string own, const std::string&) { return own.substr(0, own.size() - 7); }},
      {"build_script_build", "alpha's entry under the build script's name",
       [](const std::string&, const std::string& alpha) { return alpha; }},
  };
  const std::string alpha_pack = server.object(entry_of["alpha"]);
  for (const Damage& d : damages)
    server.put(entry_of[d.crate], d.damaged(server.object(entry_of[d.crate]), alpha_pack));

  const Machine b = machine("b");
  const Outcome built = build_on(b, server.url());
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_EQ(run_binary("app").out, kChainOutput);
  const auto done = units();
  ASSERT_EQ(done.size(), kChainUnits);
  for (const Json& r : done) {
    const std::string crate = crate_of(r);
    const auto d = std::ranges::find_if(damages, [&](const Damage& x) { return x.crate == crate; });
    if (d != damages.end()) {
      SCOPED_TRACE(d->how);
      EXPECT_EQ(result_of(r), "stored") << describe(r);
      EXPECT_EQ(remote_of(r, "lookup"), "damaged") << describe(r);
      EXPECT_FALSE(remote_of(r, "reason").empty()) << describe(r);
    } else if (crate == "gamma") {
      // Its key reads beta's metadata, which is the same however beta was made.
      EXPECT_EQ(result_of(r), "hit") << describe(r);
      EXPECT_EQ(source_of(r), "remote") << describe(r);
    } else {
      // app links the libraries compiled again, whose object files rustc's
      // incremental sessions name differently from A's: it may be a unit
      // the server has never seen.
      EXPECT_NE(remote_of(r, "lookup"), "damaged") << describe(r);
      EXPECT_NE(remote_of(r, "lookup"), "failed") << describe(r);
    }
  }
  const auto b_outputs = hashes_below(project / "target/debug/deps");
  size_t compared = 0;
  for (const auto& [name, hash] : a_outputs) {
    if (!name.starts_with("libgamma-")) continue;
    EXPECT_EQ(b_outputs.contains(name) ? b_outputs.at(name) : "<missing>", hash) << name;
    ++compared;
  }
  EXPECT_EQ(compared, 2u) << "gamma's rlib and rmeta";

  // What B compiled again replaced the damaged objects: a third machine
  // replays every unit.
  expect_whole_objects(server, "after B's build");
  const Outcome on_c = build_on(machine("c"), server.url());
  ASSERT_EQ(on_c.exit_code, 0) << on_c.err;
  EXPECT_EQ(run_binary("app").out, kChainOutput);
  for (const Json& r : units()) EXPECT_EQ(source_of(r), "remote") << "on C: " << describe(r);
  EXPECT_EQ(markers(b), std::vector<fs::path>{}) << "a server that answers is not skipped";
  EXPECT_EQ(testing::leftover_temporaries(b.cache), std::vector<std::string>{});
  EXPECT_EQ(testing::check_entries(b.cache).size(), 0u);
}

// A read-only build looks up but never writes: after a cold build the server
// is still empty; it still replays what a read-write build uploaded.
TEST_P(RemoteFaults, ReadOnlyWritesNothingAndStillHits) {
  Server server(GetParam());
  write_chain(project);
  const Env read_only = {{"KELV_REMOTE_CACHE_MODE", "read-only"}};

  const Outcome cold = build_on(machine("cold"), server.url(), {.env = read_only});
  ASSERT_EQ(cold.exit_code, 0) << cold.err;
  EXPECT_EQ(run_binary("app").out, kChainOutput);
  auto done = units();
  ASSERT_EQ(done.size(), kChainUnits);
  for (const Json& r : done) {
    EXPECT_EQ(result_of(r), "stored") << describe(r);
    EXPECT_EQ(remote_of(r, "lookup"), "miss") << describe(r);
    EXPECT_EQ(remote_of(r, "upload"), "skipped") << describe(r);
    EXPECT_EQ(remote_of(r, "upload_reason"), "read-only") << describe(r);
  }
  EXPECT_EQ(server.objects(), std::vector<std::string>{});

  upload_chain(server.url());
  if (HasFatalFailure()) return;
  const auto uploaded = server.objects();
  EXPECT_EQ(uploaded.size(), 2 * kChainUnits);

  const Outcome warm = build_on(machine("warm"), server.url(), {.env = read_only});
  ASSERT_EQ(warm.exit_code, 0) << warm.err;
  EXPECT_EQ(run_binary("app").out, kChainOutput);
  done = units();
  ASSERT_EQ(done.size(), kChainUnits);
  for (const Json& r : done) {
    EXPECT_EQ(result_of(r), "hit") << describe(r);
    EXPECT_EQ(source_of(r), "remote") << describe(r);
  }
  // A unit the server lacks is compiled and stored locally, not uploaded.
  edit("app/src/main.rs");
  const Outcome edited =
      build_on(machine("warm"), server.url(), {.env = read_only, .from_scratch = false});
  ASSERT_EQ(edited.exit_code, 0) << edited.err;
  const auto app = report("app");
  EXPECT_EQ(result_of(app), "stored") << describe(app);
  EXPECT_EQ(remote_of(app, "upload"), "skipped") << describe(app);
  EXPECT_EQ(server.objects(), uploaded);
}

// Sixteen wrappers at once against one server, each with a cache of its own:
// the same unit stored by all of them, then sixteen different units. The
// server then holds only whole objects, and a fresh machine replays each
// unit to the bytes its compilation wrote.
TEST_P(RemoteFaults, SixteenConcurrentWrappersLeaveWholeEntries) {
  constexpr size_t kWrappers = 16;
  Server server(GetParam());
  write_sources({{"alpha", testing::library_source(60)}, {"beta", testing::library_source(20)}});
  ctx.env["KELV_REMOTE_CACHE"] = server.url();
  ctx.env["KELV_REMOTE_CACHE_MODE"] = std::nullopt;
  ctx.env["KELV_REMOTE_TIMEOUT_MS"] = std::nullopt;

  const CrateUnit same = testing::lib("alpha");
  auto different = [](size_t i) { return testing::lib("beta", "b" + std::to_string(i)); };
  auto cache_of = [&](const std::string& round, size_t i) {
    return dir / "machines" / (round + std::to_string(i));
  };
  auto out_of = [&](const std::string& round, size_t i) {
    return dir / "out" / (round + std::to_string(i));
  };

  struct Round {
    const char* name;
    std::function<CrateUnit(size_t)> unit;
  };
  const Round rounds[] = {{"same", [&](size_t) { return same; }}, {"different", different}};
  for (const Round& round : rounds) {
    SCOPED_TRACE(round.name);
    const auto results = testing::race(kWrappers, [&](size_t i) {
      return unit(round.unit(i), cache_of(round.name, i), out_of(round.name, i));
    });
    size_t uploaded = 0;
    for (const testing::UnitResult& u : results) {
      ASSERT_TRUE(u.report.has_value()) << u.describe();
      EXPECT_EQ(u.outcome.exit_code, 0) << u.describe();
      const Json& r = *u.report;
      const std::string upload = remote_of(r, "upload");
      if (result_of(r) == "hit") {
        EXPECT_EQ(source_of(r), "remote") << describe(r);  // another one had uploaded it
      } else {
        EXPECT_EQ(result_of(r), "stored") << describe(r);
        EXPECT_TRUE(upload == "uploaded" || upload == "present") << describe(r);
      }
      EXPECT_NE(remote_of(r, "lookup"), "failed") << describe(r);
      EXPECT_NE(remote_of(r, "lookup"), "damaged") << describe(r);
      uploaded += upload == "uploaded" ? 1 : 0;
    }
    EXPECT_GE(uploaded, 1u);
    expect_whole_objects(server, round.name);
  }
  EXPECT_EQ(server.objects().size(), 2 * (1 + kWrappers));

  // A fresh machine replays all seventeen units, sixteen at a time.
  const fs::path fresh = dir / "machines/fresh";
  const auto replays = testing::race(kWrappers + 1, [&](size_t i) {
    const CrateUnit u = i == kWrappers ? same : different(i);
    return unit(u, fresh, out_of("fresh", i));
  });
  for (size_t i = 0; i <= kWrappers; ++i) {
    const testing::UnitResult& u = replays[i];
    ASSERT_TRUE(u.report.has_value()) << u.describe();
    EXPECT_EQ(u.outcome.exit_code, 0) << u.describe();
    EXPECT_EQ(result_of(*u.report), "hit") << describe(*u.report);
    EXPECT_EQ(source_of(*u.report), "remote") << describe(*u.report);
    const CrateUnit unit_i = i == kWrappers ? same : different(i);
    const fs::path stored_by = i == kWrappers ? out_of("same", 0) : out_of("different", i);
    EXPECT_EQ(outputs_of(out_of("fresh", i), unit_i), outputs_of(stored_by, unit_i))
        << unit_i.stem();
  }
  EXPECT_EQ(testing::check_entries(fresh).size(), 0u);
  EXPECT_EQ(testing::leftover_temporaries(fresh), std::vector<std::string>{});
}

// The user and password of the address appear nowhere: not in reports,
// Cargo's output, kelv's summary, kelv report or kelv cache stats, nor in any
// file kelv and the wrapper write, whether the server works, rejects them or
// the address is unusable, and whether the address comes from the
// environment or from kelv's config.json.
TEST_P(RemoteFaults, CredentialsNeverShow) {
  Server server(GetParam(), {.credentials = true});
  write_chain(project);
  std::string shown;  // everything printed
  auto kelv = [&](const fs::path& home, std::vector<std::string> args, Env env = {}) {
    env.emplace("KELV_HOME", home.string());
    env.emplace("KELV_REMOTE_CACHE_MODE", std::nullopt);
    env.emplace("KELV_REMOTE_TIMEOUT_MS", std::nullopt);
    const Outcome o = World::kelv(std::move(args), std::move(env));
    shown += o.out + o.err;
    return o;
  };
  auto remote = [](const std::string& url) { return Env{{"KELV_REMOTE_CACHE", url}}; };
  // Every unit report a home's builds wrote.
  auto reports_of = [](const fs::path& home) {
    std::vector<Json> all;
    for (const auto& e : fs::directory_iterator(home / "events"))
      for (const Json& r : cached_units(testing::read_reports(e.path()))) all.push_back(r);
    return all;
  };

  const std::string good = server.url();
  const std::string wrong = server.url_with(kUser, kWrongPassword);
  const std::string with_secret = std::string(kUser) + ":" + kPassword + "@127.0.0.1:99999";
  const std::string unusable = server.engine() == Engine::redis ? "redis://" + with_secret
                               : server.engine() == Engine::http
                                   ? "http://" + with_secret + "/cache"
                                   : good;
  // S3's endpoint is unusable with credentials in it (they would go in the clear).
  const Env unusable_env =
      server.engine() == Engine::s3 ? Env{{"AWS_ENDPOINT_URL", "http://" + with_secret}} : Env{};

  // A uploads, B replays with the address in config.json.
  const fs::path a = dir / "homes/a", b = dir / "homes/b", c = dir / "homes/c", d = dir / "homes/d";
  // A's build script sees how to reach the address, never the address.
  const fs::path dump = dir / "build-script-env";
  const Outcome on_a =
      kelv(a, {"cargo", "build"}, {{"KELV_REMOTE_CACHE", good}, {"KELV_TEST_ENV_DUMP", dump}});
  ASSERT_EQ(on_a.exit_code, 0) << on_a.err;
  EXPECT_NE(testing::read_file(dump).find("KELV_REMOTE_CACHE_FILE="), std::string::npos);
  // ccache's remote too comes in a file (removed after the build, or the
  // search of the homes below finds it); ccache has no S3 client.
  EXPECT_EQ(testing::read_file(dump).find("CCACHE_CONFIGPATH=") != std::string::npos,
            server.engine() != Engine::s3);
  shown += testing::read_file(dump);
  fs::remove_all(project / "target");
  testing::write_file(b / "config.json", Json{{"remote_cache", good}}.dump());
  const Outcome on_b = kelv(b, {"cargo", "build"}, {{"KELV_REMOTE_CACHE", std::nullopt}});
  ASSERT_EQ(on_b.exit_code, 0) << on_b.err;
  const auto b_units = reports_of(b);
  ASSERT_EQ(b_units.size(), kChainUnits);
  for (const Json& r : b_units) {
    EXPECT_EQ(source_of(r), "remote") << describe(r);
    EXPECT_EQ(remote_of(r, "server"), server.display()) << describe(r);
  }
  EXPECT_EQ(run_binary("app").out, kChainOutput);

  // C is refused, D cannot use the address at all.
  fs::remove_all(project / "target");
  Env wrong_env = remote(wrong);
  wrong_env.merge(server.env_with(kUser, kWrongPassword));
  const Outcome on_c = kelv(c, {"cargo", "build"}, wrong_env);
  ASSERT_EQ(on_c.exit_code, 0) << on_c.err;
  const auto c_units = reports_of(c);
  ASSERT_EQ(c_units.size(), kChainUnits);
  // Refused either by the unit's own lookup or, before it, by the
  // prefetcher's, whose failure the unit then skips for.
  const std::string c_lookup = remote_of(c_units[0], "lookup");
  EXPECT_TRUE(c_lookup == "failed" || c_lookup == "skipped") << describe(c_units[0]);
  EXPECT_FALSE(remote_of(c_units[0], "reason").empty()) << describe(c_units[0]);
  fs::remove_all(project / "target");
  Env unusable_all = remote(unusable);
  unusable_all.merge(Env(unusable_env));
  const Outcome on_d = kelv(d, {"cargo", "build"}, unusable_all);
  ASSERT_EQ(on_d.exit_code, 0) << on_d.err;
  for (const Json& r : reports_of(d)) {
    EXPECT_EQ(remote_of(r, "lookup"), "skipped") << describe(r);
    EXPECT_FALSE(remote_of(r, "reason").empty()) << describe(r);
  }

  for (const auto& [home, url] : {std::pair{a, good}, std::pair{b, std::string()},
                                  std::pair{c, wrong}, std::pair{d, unusable}}) {
    Env env = url.empty() ? Env{{"KELV_REMOTE_CACHE", std::nullopt}} : remote(url);
    if (home == c) env = wrong_env;
    if (home == d) env = unusable_all;
    EXPECT_EQ(kelv(home, {"report"}, env).exit_code, 0);
    EXPECT_EQ(kelv(home, {"report", "--json"}, env).exit_code, 0);
    EXPECT_EQ(kelv(home, {"cache", "stats"}, env).exit_code, 0);
  }
  // The output names the server (so the search below looks where it should).
  EXPECT_NE(shown.find(server.display()), std::string::npos) << shown;

  for (const std::string secret : {kUser, kPassword, kWrongPassword}) {
    EXPECT_EQ(shown.find(secret), std::string::npos) << secret << " shown:\n" << shown;
    for (const fs::path& home : {a, b, c, d})
      for (const auto& e : fs::recursive_directory_iterator(home)) {
        if (!e.is_regular_file() || e.path().filename() == "config.json") continue;
        EXPECT_EQ(testing::read_file(e.path()).find(secret), std::string::npos)
            << secret << " in " << e.path();
      }
  }
}

// Under kelv cargo the units only queue their uploads and kelv sends them
// while the build goes on, each once, and counts them in its summary. A
// build whose uploader never ran leaves its queue: `kelv cache push` sends
// it, but for an entry the cache lost meanwhile, and leaves nothing to send.
class RemoteQueue : public ::testing::Test, protected RemoteWorld {};

TEST_F(RemoteQueue, UploadsAreQueuedAndSentOnceByTheBuildOrByPush) {
  const Server server(Engine::redis), other(Engine::redis);
  write_chain(project);
  const fs::path a = dir / "homes/a";
  const Env on_a = {{"KELV_HOME", a.string()},
                    {"KELV_REMOTE_CACHE", server.url()},
                    {"KELV_REMOTE_CACHE_MODE", std::nullopt}};
  const Outcome built = kelv({"cargo", "build", "--offline"}, on_a);
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_NE(built.err.find("remote: 0 entries from the server, 5 uploaded"), std::string::npos)
      << built.err;
  for (const auto& e : fs::directory_iterator(a / "events"))
    for (const Json& r : cached_units(testing::read_reports(e.path())))
      EXPECT_EQ(remote_of(r, "upload"), "queued") << describe(r);
  // Each unit's entry and key record, and the build's list of them.
  EXPECT_EQ(server.objects().size(), 2 * kChainUnits + 1);
  expect_whole_objects(server, "after the build");
  const Outcome report = kelv({"report"}, on_a);
  EXPECT_NE(report.out.find("5 uploaded"), std::string::npos) << report.out;

  // Another machine's build reads the list as it starts and brings the units
  // ahead of Cargo; it leaves the list as it was.
  const fs::path c = dir / "homes/c";
  const auto objects = server.objects();
  // A clean build through kelv cargo on the machine of `home`.
  const auto build_as = [&](const fs::path& home, std::vector<std::string> args = {}) {
    Env env = on_a;
    env["KELV_HOME"] = home.string();
    fs::remove_all(project / "target");
    args.insert(args.begin(), {"cargo", "build", "--offline"});
    return kelv(args, env);
  };
  const Outcome replayed = build_as(c);
  ASSERT_EQ(replayed.exit_code, 0) << replayed.err;
  // The units of a home's builds, and how many of them came prefetched.
  const auto units_of = [](const fs::path& home, size_t& prefetched) {
    std::vector<Json> all;
    for (const auto& e : fs::directory_iterator(home / "events")) {
      EXPECT_FALSE(fs::exists(e.path() / "prefetched")) << e.path();
      for (const Json& r : cached_units(testing::read_reports(e.path()))) {
        prefetched += r["cache"]["remote"].value("prefetched", false) ? 1 : 0;
        all.push_back(r);
      }
    }
    return all;
  };
  size_t prefetched = 0;
  for (const Json& r : units_of(c, prefetched))
    EXPECT_EQ(remote_of(r, "lookup"), "hit") << describe(r);
  EXPECT_GT(prefetched, 0u);
  EXPECT_EQ(server.objects(), objects);

  // A damaged pack that the list names is left to its unit, which finds it
  // damaged and compiles; the others still come prefetched.
  std::string alpha_entry;
  for (const std::string& name : server.objects()) {
    if (!name.starts_with("kelv1/e/")) continue;
    const auto pack = read_pack(server.object(name));
    if (pack && crate_of_pack(*pack, kChainCrates) == "alpha") alpha_entry = name;
  }
  ASSERT_FALSE(alpha_entry.empty());
  std::string flipped = server.object(alpha_entry);
  flipped[flipped.size() / 2] ^= 0x20;
  server.put(alpha_entry, flipped);
  const Outcome despite = build_as(dir / "homes/d");
  ASSERT_EQ(despite.exit_code, 0) << despite.err;
  EXPECT_EQ(run_binary("app").out, kChainOutput);
  prefetched = 0;
  std::vector<std::string> alpha_lookups;
  for (const Json& r : units_of(dir / "homes/d", prefetched))
    if (crate_of(r) == "alpha") alpha_lookups.push_back(remote_of(r, "lookup"));
  EXPECT_EQ(alpha_lookups, std::vector<std::string>{"damaged"});
  EXPECT_GT(prefetched, 0u);

  // A list that is none of ours is no hint: every unit asks the server
  // itself, and the build leaves its own list in its place.
  const auto lists = [&server] {
    std::vector<std::string> names;
    for (const std::string& name : server.objects())
      if (name.starts_with("kelv1/b/")) names.push_back(name);
    return names;
  };
  ASSERT_EQ(lists().size(), 1u);
  const std::vector<std::string> hostile_lists = {
      "{\"units\": [[", R"({"units": [["../../../escaped", "e"]]})", R"({"units": 5})"};
  for (size_t i = 0; i < hostile_lists.size(); ++i) {
    SCOPED_TRACE(hostile_lists[i]);
    server.put(lists()[0], hostile_lists[i]);
    const fs::path e = dir / "homes" / ("e" + std::to_string(i));
    const Outcome unhinted = build_as(e);
    ASSERT_EQ(unhinted.exit_code, 0) << unhinted.err;
    prefetched = 0;
    for (const Json& r : units_of(e, prefetched))
      EXPECT_EQ(remote_of(r, "lookup"), "hit") << describe(r);
    EXPECT_EQ(prefetched, 0u);
    EXPECT_TRUE(artifact_cache::parse_build_list(server.object(lists()[0])).has_value());
  }
  // Another command line builds under a list of its own.
  ASSERT_EQ(build_as(c, {"--bin", "app"}).exit_code, 0);
  EXPECT_EQ(lists().size(), 2u);

  // Units queue for an uploader that never runs.
  const Machine b = {dir / "homes/b/cache/artifacts", dir / "homes/b"};
  const Outcome queued = build_on(b, other.url(), {.env = {{"KELV_REMOTE_UPLOADER", "1"}}});
  ASSERT_EQ(queued.exit_code, 0) << queued.err;
  EXPECT_EQ(other.objects(), std::vector<std::string>{});
  const auto units_b = units();
  ASSERT_EQ(units_b.size(), kChainUnits);
  fs::remove_all(b.cache / "e" / units_b[0]["cache"].value("entry", ""));
  const Env push_b = {{"KELV_HOME", b.home.string()},
                      {"KELV_REMOTE_CACHE", other.url()},
                      {"KELV_REMOTE_CACHE_MODE", std::nullopt}};
  const Outcome pushed = kelv({"cache", "push"}, push_b);
  EXPECT_EQ(pushed.exit_code, 0) << pushed.err;
  EXPECT_NE(pushed.err.find("4 uploaded, 0 there already, 0 failed"), std::string::npos)
      << pushed.err;
  EXPECT_EQ(other.objects().size(), 2 * (kChainUnits - 1));
  expect_whole_objects(other, "after the push");
  const Outcome again = kelv({"cache", "push"}, push_b);
  EXPECT_NE(again.err.find("0 uploaded, 0 there already, 0 failed"), std::string::npos)
      << again.err;
}

#if defined(KELV_SANITIZED)
// The sanitizer build checks the code above the transport once; the faults
// below cover both engines there too.
INSTANTIATE_TEST_SUITE_P(Remote, RemoteTwoMachines, ::testing::Values(Placement{Engine::redis}),
                         placement_name);
#else
// Where the machines build does not depend on the engine: once elsewhere.
INSTANTIATE_TEST_SUITE_P(Remote, RemoteTwoMachines,
                         ::testing::Values(Placement{Engine::redis}, Placement{Engine::http},
                                           Placement{Engine::s3}, Placement{Engine::redis, true}),
                         placement_name);
#endif
#if defined(KELV_SANITIZED)
// HTTP and S3 share their client: the sanitizer build takes it through S3.
INSTANTIATE_TEST_SUITE_P(Remote, RemoteFaults, ::testing::Values(Engine::redis, Engine::s3),
                         engine_name);
#else
INSTANTIATE_TEST_SUITE_P(Remote, RemoteFaults,
                         ::testing::Values(Engine::redis, Engine::http, Engine::s3), engine_name);
#endif

}  // namespace
}  // namespace kelv
