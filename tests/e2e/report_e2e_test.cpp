// Reports of a real Cargo build of the fixture workspace: one per wrapper
// invocation, probes and compiling units told apart, and no secret from the
// environment or the compiler flags in any of them.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "rustc/invocation.h"
#include "support/world.h"
#include "util/files.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using util::Json;

constexpr const char* registry_token = "supersecretvalue1234";
constexpr const char* url_password = "hunter2pass";

// An inner wrapper that records the compiler arguments of each invocation in
// a file named by the wrapper's process id, then runs the compiler.
void write_logging_wrapper(const fs::path& script, const fs::path& log_dir) {
  testing::write_script(
      script, "printf '%s\\0' \"$@\" > '" + log_dir.string() + "'/\"$PPID\"\nexec \"$@\"\n");
}

// Wrapper pid -> the arguments after the compiler path.
std::map<int, std::vector<std::string>> invocations(const fs::path& log_dir) {
  std::map<int, std::vector<std::string>> out;
  for (const auto& entry : fs::directory_iterator(log_dir)) {
    std::vector<std::string> args;
    std::istringstream in(testing::read_file(entry.path()));
    for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
    if (!args.empty()) args.erase(args.begin());
    out[std::stoi(entry.path().filename().string())] = std::move(args);
  }
  return out;
}

bool has_env_dep(const Json& report, std::string_view name, bool set) {
  const Json& deps = report["inputs"]["env_deps"];
  return std::any_of(deps.begin(), deps.end(), [&](const Json& d) {
    return d["name"] == name && d["set"] == set && d["value_sha"].is_string() == set;
  });
}

class ReportE2e : public ::testing::Test, protected testing::World {};

TEST_F(ReportE2e, FixtureBuildLeavesOneRedactedReportPerInvocation) {
  const fs::path log_dir = dir / "invocations";
  copy_fixture();
  fs::create_directories(log_dir);
  write_logging_wrapper(dir / "log-wrapper.sh", log_dir);

  const std::string rustflags = std::string("--cfg=kelv_url=\"https://user:") + url_password +
                                "@example.com/x\" --cfg kelv_token=\"" + registry_token + "\"";
  auto built =
      build({"build", "--offline"}, {{"KELV_INNER_WRAPPER", (dir / "log-wrapper.sh").string()},
                                     {"KELV_SESSION_ID", "e2e-session"},
                                     {"CARGO_REGISTRY_TOKEN", registry_token},
                                     {"RUSTFLAGS", rustflags}});
  ASSERT_EQ(built.exit_code, 0) << built.err;

  const auto runs = invocations(log_dir);
  std::map<int, Json> reports;
  for (const auto& entry : fs::directory_iterator(events)) {
    const std::string name = entry.path().filename().string();
    ASSERT_FALSE(name.starts_with(".")) << "temporary file left behind: " << name;
    ASSERT_TRUE(name.ends_with(".json")) << name;
    const std::string text = testing::read_file(entry.path());
    EXPECT_EQ(text.find(registry_token), std::string::npos) << name;
    EXPECT_EQ(text.find(url_password), std::string::npos) << name;
    auto report = util::parse_json(text);
    ASSERT_TRUE(report) << name;
    const int pid = (*report)["pid"].get<int>();
    EXPECT_EQ(name, fmt::format("{:020}-{}.json", (*report)["start_wall_ns"].get<uint64_t>(), pid));
    EXPECT_TRUE(reports.emplace(pid, std::move(*report)).second) << "two reports of pid " << pid;
  }
  ASSERT_EQ(reports.size(), runs.size());

  int probes = 0, units = 0, workspace_units = 0;
  bool saw_generated = false, saw_banner = false, saw_digest = false;
  for (const auto& [pid, args] : runs) {
    ASSERT_TRUE(reports.contains(pid)) << "no report for pid " << pid;
    const Json& r = reports.at(pid);
    EXPECT_EQ(r["session"], "e2e-session");
    EXPECT_EQ(r["inner_wrapper"], (dir / "log-wrapper.sh").string());
    EXPECT_EQ(r["rusage"]["scope"], "wrapper-client");
    EXPECT_EQ(r["cache"]["result"], "off");
    const auto crate = rustc::option_value(args, "--crate-name");
    const bool prints = std::any_of(args.begin(), args.end(),
                                    [](const std::string& a) { return a.starts_with("--print"); });
    if (!crate || *crate == "___" || prints) {
      ++probes;
      EXPECT_EQ(r["kind"], "probe") << r.dump();
      EXPECT_FALSE(r.contains("args")) << r.dump();
      continue;
    }
    EXPECT_EQ(r["kind"], "compile") << r.dump();
    if (!rustc::is_compile(args)) continue;  // e.g. a build script's own probe compilation
    ++units;
    ASSERT_TRUE(r.contains("outputs")) << r.dump();
    const Json& listed = r["args"];
    EXPECT_EQ(listed.size(), args.size());
    EXPECT_NE(std::find(listed.begin(), listed.end(),
                        "--cfg=kelv_url=\"https://<redacted>@example.com/x\""),
              listed.end())
        << r.dump();
    EXPECT_NE(std::find(listed.begin(), listed.end(), "kelv_token=<redacted>"), listed.end())
        << r.dump();
    if (r["exit_code"] != 0) continue;
    EXPECT_FALSE(r["outputs"].empty()) << r.dump();
    const Json& manifest_dir = r["env"]["manifest_dir"];
    if (!manifest_dir.is_string() || !manifest_dir.get<std::string>().starts_with(project.string()))
      continue;
    ++workspace_units;
    ASSERT_TRUE(r.contains("inputs")) << r.dump();
    EXPECT_FALSE(r["inputs"]["local"].empty()) << r.dump();
    saw_generated = saw_generated || !r["inputs"]["generated"].empty();
    saw_banner = saw_banner || has_env_dep(r, "KELV_FIXTURE_BANNER", false);
    saw_digest = saw_digest || has_env_dep(r, "ORCHARD_CATALOG_DIGEST", true);
  }
  EXPECT_GT(probes, 0);
  EXPECT_GE(units, 30);
  EXPECT_GE(workspace_units, 5);
  EXPECT_TRUE(saw_generated) << "orchard-model includes a file from OUT_DIR";
  EXPECT_TRUE(saw_banner) << "orchard-report reads KELV_FIXTURE_BANNER";
  EXPECT_TRUE(saw_digest) << "orchard-model reads ORCHARD_CATALOG_DIGEST";
}

}  // namespace
}  // namespace kelv
