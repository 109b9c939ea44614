// The invocation report written by report_run and report_hit: file name, key
// order and presence, outputs, inputs and argument files.
#include "report/report.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/testing.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/hash.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::EnvVar;
using testing::InDir;
using testing::TempDir;
using testing::write_file;
using util::Json;
using Keys = std::vector<std::string>;

constexpr uint64_t second = 1'000'000'000;

Keys keys(const Json& object) {
  Keys out;
  for (const auto& item : object.items()) out.push_back(item.key());
  return out;
}

Keys concat(std::initializer_list<Keys> parts) {
  Keys out;
  for (const Keys& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Keys common_keys = {
    "v",         "session", "kind",  "pid",           "start_wall_ns", "dur_ns",
    "exit_code", "signal",  "rustc", "inner_wrapper", "cache_fallback"};

void set_mtime(const fs::path& path, uint64_t ns) {
  const timespec ts{static_cast<time_t>(ns / second), static_cast<long>(ns % second)};
  const timespec times[2] = {ts, ts};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::string sha16(std::string_view bytes) {
  return util::sha256_hex(bytes).substr(0, 16);
}

class Report : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(pkg);
    fs::create_directories(out_dir);
    write_file(compiler_path, "#!/bin/sh\nexit 0\n");
    set_env("KELV_HOME", (dir / "home").string());
    set_env("KELV_SESSION_ID", "session-7");
    set_env("CARGO_PKG_NAME", "foo");
    set_env("CARGO_PKG_VERSION", "0.1.0");
    set_env("CARGO_MANIFEST_DIR", pkg.string());
    set_env("CARGO_PRIMARY_PACKAGE", "1");
    set_env("OUT_DIR", build_out.string());
    set_env("RUSTUP_TOOLCHAIN", std::nullopt);
    set_env("CARGO_MAKEFLAGS", "-j --jobserver-fds=3,4");
    in_pkg = std::make_unique<InDir>(pkg);
  }

  void TearDown() override {
    in_pkg.reset();
    while (!env.empty()) env.pop_back();  // newest first, so each restores its predecessor
  }

  void set_env(const char* name, std::optional<std::string> value) {
    env.push_back(std::make_unique<EnvVar>(name, std::move(value)));
  }

  // The arguments of a library unit `foo` with extra filename "-abc".
  std::vector<std::string> unit_args() const {
    return {"--crate-name",
            "foo",
            "--edition=2021",
            "src/lib.rs",
            "--crate-type",
            "lib",
            "--emit=dep-info,metadata,link",
            "-C",
            "metadata=abc",
            "-C",
            "extra-filename=-abc",
            "--out-dir",
            out_dir.string()};
  }

  report::RunFacts run_facts(std::span<const std::string> args) const {
    return {.cache = Json::object({{"result", "off"}, {"reason", "off"}}),
            .compiler = compiler_text,
            .args = args,
            .start_wall_ns = start,
            .elapsed_ns = 3 * second,
            .status = exec::ExitStatus::exited(0),
            .usage = exec::Usage{.user_ns = 11, .system_ns = 22, .max_rss_bytes = 4096},
            .event_dir = events_text};
  }

  // Writes the unit's outputs and its dep-info file, all modified just after
  // the start.
  void write_outputs(const std::string& depinfo) {
    for (const char* name : {"libfoo-abc.rmeta", "libfoo-abc.rlib"}) {
      write_file(out_dir / name, "out");
      set_mtime(out_dir / name, start + second / 2);
    }
    write_file(out_dir / "foo-abc.d", depinfo);
    set_mtime(out_dir / "foo-abc.d", start + second);
  }

  std::vector<fs::path> report_files() const {
    std::vector<fs::path> out;
    if (!fs::exists(events)) return out;
    for (const auto& e : fs::directory_iterator(events)) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
  }

  Json only_report() const {
    const auto files = report_files();
    EXPECT_EQ(files.size(), 1u);
    if (files.size() != 1) return Json::object();
    return Json::parse(testing::read_file(files[0]));
  }

  Json run(std::span<const std::string> args) const {
    report::report_run(run_facts(args));
    return only_report();
  }

  // An element of "local" or "generated" for an existing file.
  static Json file_entry(const fs::path& path, bool hashed = true) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return Json::object({{"path", path.string()},
                         {"bytes", static_cast<uint64_t>(st.st_size)},
                         {"mtime_ns", util::mtime_ns(st)},
                         {"sha", hashed ? Json(sha16(testing::read_file(path))) : Json(nullptr)}});
  }

  TempDir dir;
  const fs::path pkg = dir / "pkg";
  const fs::path target = dir / "target";
  const fs::path out_dir = dir / "target/debug/deps";
  const fs::path build_out = dir / "target/debug/build/foo-1/out";
  const fs::path events = dir / "events";
  const std::string events_text = events.string();
  const fs::path compiler_path = dir / "bin/rustc";
  const std::string compiler_text = compiler_path.string();
  const uint64_t start = util::now_wall_ns() - 10 * second;
  std::vector<std::unique_ptr<EnvVar>> env;
  std::unique_ptr<InDir> in_pkg;
};

// ------------------------------------------------------------ kinds and keys

TEST_F(Report, CargoProbeEndsAfterTheCommonPart) {
  const std::vector<std::string> args = {
      "-", "--crate-name", "___", "--print=file-names", "--crate-type", "bin"};
  const Json r = run(args);
  EXPECT_EQ(keys(r), concat({common_keys, {"rusage", "rustc_id", "cache"}}));
  EXPECT_EQ(r["v"], 1);
  EXPECT_EQ(r["session"], "session-7");
  EXPECT_EQ(r["kind"], "probe");
  EXPECT_EQ(r["pid"], ::getpid());
  EXPECT_EQ(r["start_wall_ns"], start);
  EXPECT_EQ(r["dur_ns"], 3 * second);
  EXPECT_EQ(r["exit_code"], 0);
  EXPECT_TRUE(r["signal"].is_null());
  EXPECT_EQ(r["rustc"], compiler_text);
  EXPECT_TRUE(r["inner_wrapper"].is_null());
  EXPECT_EQ(r["cache_fallback"], false);
  EXPECT_EQ(keys(r["rusage"]), (Keys{"user_ns", "sys_ns", "max_rss_bytes", "scope"}));
  EXPECT_EQ(r["rusage"],
            Json::parse(R"({"user_ns":11,"sys_ns":22,"max_rss_bytes":4096,"scope":"rustc"})"));
  struct stat st;
  ASSERT_EQ(::stat(compiler_path.c_str(), &st), 0);
  EXPECT_EQ(keys(r["rustc_id"]), (Keys{"bytes", "mtime_ns"}));
  EXPECT_EQ(r["rustc_id"]["bytes"], st.st_size);
  EXPECT_EQ(r["rustc_id"]["mtime_ns"], util::mtime_ns(st));
  EXPECT_EQ(r["cache"], Json::parse(R"({"result":"off","reason":"off"})"));
}

TEST_F(Report, ProbeKinds) {
  const std::vector<std::vector<std::string>> probes = {
      {"-vV"},
      {"--crate-name"},
      {"--crate-name", "___", "-C", "metadata=x"},
      {"--crate-name", "foo", "--print", "cfg"},
      {"--crate-name=foo", "--print=sysroot"},
  };
  for (const auto& args : probes) {
    fs::remove_all(events);
    EXPECT_EQ(run(args)["kind"], "probe") << args[0];
  }
  // A crate name alone is enough for a compile, even without -C metadata.
  fs::remove_all(events);
  const std::vector<std::string> compile = {"--crate-name=thiserror_build", "probe.rs"};
  EXPECT_EQ(run(compile)["kind"], "compile");
}

TEST_F(Report, CompileHasEveryPartInOrder) {
  write_file(pkg / "src/lib.rs", "pub fn f() {}\n");
  write_file(pkg / "src/with space.rs", "// spaced\n");
  write_file(pkg / "src/other.rs", "// only on the second line\n");
  write_file(build_out / "gen.rs", "pub const X: u8 = 1;\n");
  write_file(target / "gen/extra.rs", "// generated under the target directory\n");
  const fs::path registry_file = dir / "home/cargo/registry/src/x-1.0/lib.rs";
  write_file(registry_file, "// external\n");
  const std::string depinfo = fmt::format(
      "{0}/foo-abc.d: src/lib.rs src/with\\ space.rs {1}/gen.rs {2}/gen/extra.rs {3} "
      "/opt/rust/lib/rustlib/src/rust/library/core/src/lib.rs src/gone.rs\n"
      "\n"
      "{0}/libfoo-abc.rmeta: src/lib.rs src/other.rs\n"
      "\n"
      "src/lib.rs:\n"
      "\n"
      "# env-dep:PROFILE=debug\n",
      out_dir.string(), build_out.string(), target.string(), registry_file.string());
  write_outputs(depinfo);

  const auto args = unit_args();
  report::RunFacts facts = run_facts(args);
  facts.target_dir = target.string();
  report::report_run(facts);
  const Json r = only_report();

  EXPECT_EQ(keys(r), concat({common_keys,
                             {"rusage", "rustc_id", "args", "args_non_utf8", "cwd", "env",
                              "rmeta_ready_ns", "outputs", "inputs", "cache"}}));
  EXPECT_EQ(r["kind"], "compile");
  EXPECT_EQ(r["args"], Json(args));
  EXPECT_EQ(r["args_non_utf8"], false);
  EXPECT_EQ(r["cwd"], pkg.string());
  EXPECT_EQ(keys(r["env"]), (Keys{"pkg_name", "pkg_version", "manifest_dir", "primary", "out_dir",
                                  "toolchain", "jobserver"}));
  EXPECT_EQ(r["env"], Json::parse(fmt::format(
                          R"({{"pkg_name":"foo","pkg_version":"0.1.0","manifest_dir":"{}",)"
                          R"("primary":true,"out_dir":"{}","toolchain":null,"jobserver":true}})",
                          pkg.string(), build_out.string())));
  EXPECT_EQ(r["rmeta_ready_ns"], second / 2);

  ASSERT_EQ(r["outputs"].size(), 3u);
  EXPECT_EQ(keys(r["outputs"][0]), (Keys{"file", "bytes", "mtime_ns"}));
  EXPECT_EQ(r["outputs"][0], Json::parse(fmt::format(R"({{"file":"libfoo-abc.rmeta","bytes":3,)"
                                                     R"("mtime_ns":{}}})",
                                                     start + second / 2)));
  EXPECT_EQ(r["outputs"][1]["file"], "libfoo-abc.rlib");
  EXPECT_EQ(r["outputs"][2]["file"], "foo-abc.d");
  EXPECT_EQ(r["outputs"][2]["bytes"], depinfo.size());

  const Json& in = r["inputs"];
  EXPECT_EQ(keys(in), (Keys{"local", "generated", "external_count", "env_deps"}));
  Json local = Json::array({file_entry(pkg / "src/lib.rs"), file_entry(pkg / "src/with space.rs")});
  Json generated =
      Json::array({file_entry(build_out / "gen.rs"), file_entry(target / "gen/extra.rs")});
  EXPECT_EQ(in["local"], local);
  EXPECT_EQ(in["generated"], generated);
  EXPECT_EQ(keys(in["local"][0]), (Keys{"path", "bytes", "mtime_ns", "sha"}));
  EXPECT_EQ(in["external_count"], 2);
  ASSERT_EQ(in["env_deps"].size(), 1u);
  EXPECT_EQ(keys(in["env_deps"][0]), (Keys{"name", "set", "value_sha"}));
  EXPECT_EQ(r["cache"], Json::parse(R"({"result":"off","reason":"off"})"));
}

TEST_F(Report, FailedCompileHasNoInputs) {
  write_file(pkg / "src/lib.rs", "pub fn f( {}\n");
  write_outputs(fmt::format("{}/foo-abc.d: src/lib.rs\n", out_dir.string()));
  const auto args = unit_args();
  report::RunFacts facts = run_facts(args);
  facts.status = exec::ExitStatus::exited(1);
  report::report_run(facts);
  const Json r = only_report();
  EXPECT_EQ(keys(r), concat({common_keys,
                             {"rusage", "rustc_id", "args", "args_non_utf8", "cwd", "env",
                              "rmeta_ready_ns", "outputs", "cache"}}));
  EXPECT_EQ(r["exit_code"], 1);
}

TEST_F(Report, SignalledCompileHasNullExitCode) {
  const auto args = unit_args();
  report::RunFacts facts = run_facts(args);
  facts.status = {.has_code = false, .signaled = true, .signal = SIGSEGV};
  facts.usage.reset();
  report::report_run(facts);
  const Json r = only_report();
  EXPECT_TRUE(r["exit_code"].is_null());
  EXPECT_EQ(r["signal"], SIGSEGV);
  EXPECT_FALSE(r.contains("rusage"));
  EXPECT_FALSE(r.contains("inputs"));
}

TEST_F(Report, CacheHitReplaysWithInputs) {
  write_file(pkg / "src/lib.rs", "pub fn f() {}\n");
  write_outputs(
      fmt::format("{}/foo-abc.d: src/lib.rs\n\n# env-dep:PROFILE=debug\n", out_dir.string()));
  const auto args = unit_args();
  const uint64_t before = util::mono_ns();
  report::report_hit({.compiler = compiler_text,
                      .args = args,
                      .start_wall_ns = start,
                      .start_mono_ns = before - 5000,
                      .target_dir = target.string(),
                      .key = "fedcba9876543210fedcba9876543210",
                      .entry = "0123456789abcdef0123456789abcdef",
                      .foreign_out_dir = std::nullopt,
                      .event_dir = events_text});
  const uint64_t after = util::mono_ns();
  const Json r = only_report();
  EXPECT_EQ(keys(r), concat({common_keys,
                             {"rustc_id", "args", "args_non_utf8", "cwd", "env", "rmeta_ready_ns",
                              "outputs", "inputs", "cache"}}));
  EXPECT_EQ(r["exit_code"], 0);
  EXPECT_TRUE(r["signal"].is_null());
  EXPECT_TRUE(r["inner_wrapper"].is_null());
  EXPECT_EQ(r["cache_fallback"], false);
  EXPECT_GE(r["dur_ns"].get<uint64_t>(), 5000u);
  EXPECT_LE(r["dur_ns"].get<uint64_t>(), after - before + 5000);
  EXPECT_EQ(r["inputs"]["local"], Json::array({file_entry(pkg / "src/lib.rs")}));
  EXPECT_EQ(keys(r["cache"]), (Keys{"result", "key", "entry", "foreign_out_dir", "source"}));
  EXPECT_EQ(r["cache"], Json::parse(R"({"result":"hit","key":"fedcba9876543210fedcba9876543210",)"
                                    R"("entry":"0123456789abcdef0123456789abcdef",)"
                                    R"("foreign_out_dir":null,"source":"local"})"));

  fs::remove_all(events);
  const Json remote = {{"server", "redis://127.0.0.1:6379/0"}, {"lookup", "hit"}};
  report::report_hit({.compiler = compiler_text,
                      .args = args,
                      .start_wall_ns = start,
                      .start_mono_ns = util::mono_ns(),
                      .entry = "e",
                      .foreign_out_dir = "/elsewhere/out",
                      .stored_compile_ns = 1234567,
                      .from_remote = true,
                      .remote = &remote,
                      .event_dir = events_text});
  const Json again = only_report();
  EXPECT_EQ(again["cache"]["foreign_out_dir"], "/elsewhere/out");
  EXPECT_EQ(again["cache"]["stored_compile_ns"], 1234567u);
  EXPECT_EQ(again["cache"]["source"], "remote");
  EXPECT_EQ(again["cache"]["remote"], remote);
}

// ------------------------------------------------------------ finishing keys

TEST_F(Report, DriverRunFinishingKeys) {
  const auto args = unit_args();
  report::RunFacts facts = run_facts(args);
  facts.cache = Json::object({{"result", "stored"}});
  facts.driver = "/home/u/.kelv/cache/drivers/k/kelv-rustc-driver";
  facts.run_kind = report::RunKind::compiled;
  facts.has_relink_args = true;
  report::report_run(facts);
  Json r = only_report();
  const Keys all = keys(r);
  EXPECT_EQ(Keys(all.end() - 3, all.end()), (Keys{"cache", "driver", "link"}));
  EXPECT_EQ(r["driver"], *facts.driver);
  EXPECT_EQ(r["link"], "objects kept");

  fs::remove_all(events);
  facts.kept_objects_error = "cannot link x: disk full";
  report::report_run(facts);
  EXPECT_EQ(only_report()["link"], "objects not kept: cannot link x: disk full");

  fs::remove_all(events);
  facts.run_kind = report::RunKind::relinked;
  report::report_run(facts);
  EXPECT_EQ(only_report()["link"], "relinked");

  // Without relink arguments there is no link outcome.
  fs::remove_all(events);
  facts.has_relink_args = false;
  report::report_run(facts);
  r = only_report();
  EXPECT_EQ(keys(r).back(), "driver");
}

TEST_F(Report, DriverFailureAndEarlyExit) {
  const auto args = unit_args();
  report::RunFacts facts = run_facts(args);
  facts.driver_failure = "";
  facts.run_kind = report::RunKind::compiled;
  facts.has_relink_args = true;
  report::report_run(facts);
  Json r = only_report();
  EXPECT_EQ(keys(r).back(), "driver_failure");
  EXPECT_EQ(r["driver_failure"], "");
  EXPECT_FALSE(r.contains("driver"));
  EXPECT_FALSE(r.contains("link"));

  fs::remove_all(events);
  facts = run_facts(args);
  facts.driver = "/d/kelv-rustc-driver";
  facts.run_kind = report::RunKind::compiled;
  facts.early_exit = true;
  report::report_run(facts);
  r = only_report();
  EXPECT_EQ(keys(r).back(), "early_exit");
  EXPECT_EQ(r["early_exit"], true);
  EXPECT_FALSE(r.contains("rusage"));

  // A plain run names no driver even when one was planned.
  fs::remove_all(events);
  facts = run_facts(args);
  facts.driver = "/d/kelv-rustc-driver";
  report::report_run(facts);
  EXPECT_EQ(keys(only_report()).back(), "cache");
}

TEST_F(Report, InnerWrapperScope) {
  const std::vector<std::string> args = {"-vV"};
  report::RunFacts facts = run_facts(args);
  facts.inner_wrapper = "/usr/bin/other-wrapper";
  report::report_run(facts);
  Json r = only_report();
  EXPECT_EQ(r["inner_wrapper"], "/usr/bin/other-wrapper");
  EXPECT_EQ(r["cache_fallback"], false);
  EXPECT_EQ(r["rusage"]["scope"], "wrapper-client");

  fs::remove_all(events);
  facts.inner_fallback_used = true;
  report::report_run(facts);
  r = only_report();
  EXPECT_EQ(r["cache_fallback"], true);
  EXPECT_EQ(r["rusage"]["scope"], "rustc");
}

// ------------------------------------------------------------ environment

TEST_F(Report, EnvironmentValues) {
  set_env("KELV_SESSION_ID", "\xff\xfe");
  set_env("CARGO_PKG_NAME", "bad\xc3");
  set_env("CARGO_PKG_VERSION", std::nullopt);
  set_env("CARGO_PRIMARY_PACKAGE", "");
  set_env("CARGO_MAKEFLAGS", std::nullopt);
  set_env("RUSTUP_TOOLCHAIN", "stable-x86_64-unknown-linux-gnu");
  const auto args = unit_args();
  const Json r = run(args);
  EXPECT_TRUE(r["session"].is_null());
  EXPECT_TRUE(r["env"]["pkg_name"].is_null());
  EXPECT_TRUE(r["env"]["pkg_version"].is_null());
  EXPECT_EQ(r["env"]["primary"], true);
  EXPECT_EQ(r["env"]["jobserver"], false);
  EXPECT_EQ(r["env"]["toolchain"], "stable-x86_64-unknown-linux-gnu");
}

TEST_F(Report, RustcIdFollowsLinksAndIsLeftOutWhenMissing) {
  const fs::path link = dir / "bin/rustc-link";
  fs::create_symlink(compiler_path, link);
  const std::string link_text = link.string();
  const std::vector<std::string> args = {"-vV"};
  report::RunFacts facts = run_facts(args);
  facts.compiler = link_text;
  report::report_run(facts);
  EXPECT_EQ(only_report()["rustc_id"]["bytes"], fs::file_size(compiler_path));

  fs::remove_all(events);
  facts.compiler = "/nonexistent/rustc";
  report::report_run(facts);
  const Json r = only_report();
  EXPECT_FALSE(r.contains("rustc_id"));
  EXPECT_EQ(r["rustc"], "/nonexistent/rustc");
}

// ------------------------------------------------------------ outputs window

TEST_F(Report, OutputsWindowAroundTheStart) {
  const auto args = unit_args();
  write_file(out_dir / "libfoo-abc.rlib", "stale");
  set_mtime(out_dir / "libfoo-abc.rlib", start - 2 * second - 1);
  write_file(out_dir / "libfoo-abc.rmeta", "recent");
  set_mtime(out_dir / "libfoo-abc.rmeta", start - second);
  write_file(out_dir / "foo-abc", "edge");
  set_mtime(out_dir / "foo-abc", start - 2 * second);
  fs::create_directories(out_dir / "foo-abc.d");  // not a regular file
  const Json r = run(args);
  EXPECT_FALSE(r.contains("rmeta_ready_ns"));
  ASSERT_EQ(r["outputs"].size(), 2u);
  EXPECT_EQ(r["outputs"][0]["file"], "libfoo-abc.rmeta");
  EXPECT_EQ(r["outputs"][0]["mtime_ns"], start - second);
  EXPECT_EQ(r["outputs"][1]["file"], "foo-abc");
}

TEST_F(Report, RmetaAfterTheEndGivesTheDuration) {
  const auto args = unit_args();
  write_file(out_dir / "libfoo-abc.rmeta", "late");
  set_mtime(out_dir / "libfoo-abc.rmeta", start + 5 * second);
  Json r = run(args);
  EXPECT_EQ(r["rmeta_ready_ns"], 3 * second);
  EXPECT_EQ(r["rmeta_ready_ns"], r["dur_ns"]);

  fs::remove_all(events);
  set_mtime(out_dir / "libfoo-abc.rmeta", start);
  r = run(args);
  EXPECT_EQ(r["rmeta_ready_ns"], 0);
}

TEST_F(Report, OutputsNeedAnOutputDirectory) {
  const std::vector<std::string> args = {"--crate-name", "foo", "src/lib.rs"};
  const Json r = run(args);
  EXPECT_EQ(r["kind"], "compile");
  EXPECT_FALSE(r.contains("outputs"));
  EXPECT_FALSE(r.contains("inputs"));
  EXPECT_EQ(keys(r).back(), "cache");
}

TEST_F(Report, RelativeOutputDirectoryIsJoinedOntoTheCurrentDirectory) {
  write_file(pkg / "out/libbar.rlib", "x");
  write_file(pkg / "out/bar.d", "out/bar.d: src/lib.rs\n");
  write_file(pkg / "src/lib.rs", "");
  const std::vector<std::string> args = {"--crate-name", "bar", "--out-dir=out", "src/lib.rs"};
  report::RunFacts facts = run_facts(args);
  facts.start_wall_ns = util::now_wall_ns();
  report::report_run(facts);
  const Json r = only_report();
  ASSERT_EQ(r["outputs"].size(), 2u);
  EXPECT_EQ(r["outputs"][0]["file"], "libbar.rlib");
  EXPECT_EQ(r["outputs"][1]["file"], "bar.d");
  // An empty file hashes like any other.
  EXPECT_EQ(r["inputs"]["local"], Json::array({file_entry(pkg / "src/lib.rs")}));
}

// ------------------------------------------------------------ inputs

TEST_F(Report, EnvDepsHashValuesButNotSecrets) {
  write_outputs(
      fmt::format("{}/foo-abc.d:\n"
                  "# env-dep:FOO_TOKEN=value\n"
                  "# env-dep:HOME\n"
                  "# env-dep:PROFILE=debug\n"
                  "# env-dep:EMPTY=\r\n"
                  "# env-dep:PROFILE=debug\n"
                  "# env-dep:WITH_EQ=a=b",
                  out_dir.string()));
  const auto args = unit_args();
  const Json r = run(args);
  const Json expected = Json::array({
      Json::object({{"name", "FOO_TOKEN"}, {"set", true}, {"value_sha", nullptr}}),
      Json::object({{"name", "HOME"}, {"set", false}, {"value_sha", nullptr}}),
      Json::object({{"name", "PROFILE"}, {"set", true}, {"value_sha", sha16("debug")}}),
      Json::object({{"name", "EMPTY"}, {"set", true}, {"value_sha", sha16("")}}),
      Json::object({{"name", "PROFILE"}, {"set", true}, {"value_sha", sha16("debug")}}),
      Json::object({{"name", "WITH_EQ"}, {"set", true}, {"value_sha", sha16("a=b")}}),
  });
  EXPECT_EQ(r["inputs"]["env_deps"], expected);
  EXPECT_EQ(sha16("debug").size(), 16u);
  EXPECT_EQ(r["inputs"]["env_deps"][2]["value_sha"].get<std::string>().find_first_not_of(
                "0123456789abcdef"),
            std::string::npos);
  EXPECT_EQ(r["inputs"]["local"], Json::array());
}

TEST_F(Report, LargeInputIsListedWithoutHash) {
  write_file(pkg / "big.bin", std::string(9 * 1024 * 1024, 'x'));
  write_file(pkg / "limit.bin", std::string(8 * 1024 * 1024, 'y'));
  write_outputs(fmt::format("{}/foo-abc.d: big.bin limit.bin vanished.rs\n", out_dir.string()));
  const auto args = unit_args();
  const Json r = run(args);
  const Json& local = r["inputs"]["local"];
  ASSERT_EQ(local.size(), 2u);  // the vanished input is left out
  EXPECT_EQ(local[0], file_entry(pkg / "big.bin", /*hashed=*/false));
  EXPECT_EQ(local[0]["bytes"], 9 * 1024 * 1024);
  EXPECT_EQ(local[1], file_entry(pkg / "limit.bin"));
  EXPECT_TRUE(local[1]["sha"].is_string());
}

TEST_F(Report, FirstDependencyLineWithPathsIsUsed) {
  write_file(pkg / "a.rs", "a");
  write_file(pkg / "b.rs", "b");
  write_outputs(
      "# a comment: with a colon\n"
      "empty.d: \n"
      "first.d: a.rs\n"
      "second.d: b.rs\n");
  const auto args = unit_args();
  const Json r = run(args);
  EXPECT_EQ(r["inputs"]["local"], Json::array({file_entry(pkg / "a.rs")}));
}

TEST_F(Report, NoInputsWithoutUsableDepInfoOrFromExternalPackages) {
  const auto args = unit_args();
  write_outputs("foo.d: \xff\n");  // not UTF-8
  EXPECT_FALSE(run(args).contains("inputs"));

  fs::remove_all(events);
  fs::remove(out_dir / "foo-abc.d");
  EXPECT_FALSE(run(args).contains("inputs"));

  fs::remove_all(events);
  write_outputs("foo.d: src/lib.rs\n");
  set_env("CARGO_MANIFEST_DIR", (dir / "home/cargo/registry/src/x-1.0").string());
  EXPECT_FALSE(run(args).contains("inputs"));

  fs::remove_all(events);
  set_env("CARGO_MANIFEST_DIR", std::nullopt);
  EXPECT_FALSE(run(args).contains("inputs"));
}

// ------------------------------------------------------------ arguments

TEST_F(Report, ArgumentFilesAreExpanded) {
  write_file(dir / "unit.args", "--crate-name\r\nfoo\n--out-dir\n" + out_dir.string() +
                                    "\n-C\nextra-filename=-abc\n--token\nhunter2\n");
  write_file(dir / "more.args", "--cfg\nfeature=\"x\"");
  write_file(dir / "empty.args", "");
  write_file(dir / "binary.args", "\xff\n");
  write_file(out_dir / "libfoo-abc.rlib", "x");
  const std::vector<std::string> args = {
      "@" + (dir / "unit.args").string(),         "@" + (dir / "more.args").string(),
      "@" + (dir / "empty.args").string(),        "@" + (dir / "binary.args").string(),
      "@" + (dir / "missing/TOKEN=abc").string(), "src/lib.rs"};
  report::RunFacts facts = run_facts(args);
  facts.start_wall_ns = util::now_wall_ns();
  report::report_run(facts);
  const Json r = only_report();
  EXPECT_EQ(r["kind"], "compile");
  const Json expected = Json::array(
      {"--crate-name", "foo", "--out-dir", out_dir.string(), "-C", "extra-filename=-abc", "--token",
       "<redacted>", "--cfg", "feature=\"x\"", "@" + (dir / "binary.args").string(),
       "@" + (dir / "missing/TOKEN").string() + "=<redacted>", "src/lib.rs"});
  EXPECT_EQ(r["args"], expected);
  // The crate name, output directory and extra filename come from the file.
  ASSERT_EQ(r["outputs"].size(), 1u);
  EXPECT_EQ(r["outputs"][0]["file"], "libfoo-abc.rlib");
}

TEST_F(Report, ArgumentsAreRedactedAndNonUtf8Noted) {
  const std::vector<std::string> args = {"--crate-name", "foo", "--cfg=u=\"https://u:pw@h/x\"",
                                         "CARGO_REGISTRY_TOKEN=abc", "src/\xff.rs"};
  const Json r = run(args);
  EXPECT_EQ(r["args"], Json::array({"--crate-name", "foo", "--cfg=u=\"https://<redacted>@h/x\"",
                                    "CARGO_REGISTRY_TOKEN=<redacted>", "src/\xEF\xBF\xBD.rs"}));
  EXPECT_EQ(r["args_non_utf8"], true);
}

// ------------------------------------------------------------ files

TEST_F(Report, FileNameAndCompactText) {
  const std::vector<std::string> args = {"-vV"};
  report::RunFacts facts = run_facts(args);
  facts.start_wall_ns = 42;
  report::report_run(facts);
  const auto files = report_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename(), fmt::format("00000000000000000042-{}.json", ::getpid()));
  const std::string text = testing::read_file(files[0]);
  EXPECT_EQ(text, Json::parse(text).dump());
  EXPECT_NE(text.back(), '\n');
}

TEST_F(Report, MissingEventDirectoryIsCreated) {
  const fs::path nested = dir / "a/b/events";
  const std::string nested_text = nested.string();
  const std::vector<std::string> args = {"-vV"};
  report::RunFacts facts = run_facts(args);
  facts.event_dir = nested_text;
  report::report_run(facts);
  ASSERT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(std::distance(fs::directory_iterator(nested), fs::directory_iterator()), 1);
}

TEST_F(Report, UnwritableEventDirectoryIsSilent) {
  write_file(dir / "not-a-dir", "x");
  const std::string bad = (dir / "not-a-dir").string();
  const std::vector<std::string> args = {"-vV"};
  report::RunFacts facts = run_facts(args);
  facts.event_dir = bad;
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  report::report_run(facts);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::read_file(dir / "not-a-dir"), "x");
}

TEST_F(Report, SameStartFromTwoProcessesGivesTwoFiles) {
  const std::vector<std::string> args = {"-vV"};
  const report::RunFacts facts = run_facts(args);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    report::report_run(facts);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  report::report_run(facts);
  const auto files = report_files();
  ASSERT_EQ(files.size(), 2u);
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(f.filename().string());
  std::vector<std::string> expected = {fmt::format("{:020}-{}.json", start, ::getpid()),
                                       fmt::format("{:020}-{}.json", start, child)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  for (const auto& f : files) {
    const Json r = Json::parse(testing::read_file(f));
    EXPECT_EQ(r["start_wall_ns"], start);
    EXPECT_EQ(f.filename().string(), fmt::format("{:020}-{}.json", start, r["pid"].get<int>()));
  }
}

}  // namespace
}  // namespace kelv
