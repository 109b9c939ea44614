#include "report/report.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "report/parts.h"
#include "report/redact.h"
#include "rustc/invocation.h"
#include "util/clock.h"
#include "util/paths.h"
#include "util/utf8.h"

namespace kelv::report {
namespace {

namespace fs = std::filesystem;
using util::Json;

// What both finishers know about the unit.
struct Common {
  std::string_view compiler;
  std::span<const std::string> args;
  uint64_t start_wall_ns = 0;
  uint64_t dur_ns = 0;
  exec::ExitStatus status;
  const std::optional<std::string>& inner_wrapper;
  bool cache_fallback = false;
  const exec::Usage* usage = nullptr;
  const std::optional<std::string>& target_dir;
};

// The variable's text; null when unset or not UTF-8.
Json env_text(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !util::is_utf8(value)) return nullptr;
  return value;
}

bool env_set(const char* name) {
  const char* value = std::getenv(name);
  return value && util::is_utf8(value);
}

fs::path current_dir() {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  return ec ? fs::path() : cwd;
}

Json rusage(const exec::Usage& usage, std::string_view scope) {
  return Json::object({{"user_ns", usage.user_ns},
                       {"sys_ns", usage.system_ns},
                       {"max_rss_bytes", usage.max_rss_bytes},
                       {"scope", scope}});
}

std::optional<Json> rustc_id(std::string_view compiler) {
  struct stat st;
  if (::stat(std::string(compiler).c_str(), &st) != 0) return std::nullopt;
  return Json::object(
      {{"bytes", static_cast<uint64_t>(st.st_size)}, {"mtime_ns", util::mtime_ns(st)}});
}

Json cargo_env() {
  return Json::object({{"pkg_name", env_text("CARGO_PKG_NAME")},
                       {"pkg_version", env_text("CARGO_PKG_VERSION")},
                       {"manifest_dir", env_text("CARGO_MANIFEST_DIR")},
                       {"primary", env_set("CARGO_PRIMARY_PACKAGE")},
                       {"out_dir", env_text("OUT_DIR")},
                       {"toolchain", env_text("RUSTUP_TOOLCHAIN")},
                       {"jobserver", env_set("CARGO_MAKEFLAGS")}});
}

// Inputs are reported for successful compilations of the user's own packages.
bool wants_inputs(const Common& c) {
  if (!c.status.success()) return false;
  const char* manifest_dir = std::getenv("CARGO_MANIFEST_DIR");
  return manifest_dir && !rustc::is_external_source(manifest_dir);
}

// Adds "args" to "inputs" for a unit that compiles a crate.
void add_compile_part(Json& report, const Common& c, const std::vector<std::string>& args) {
  Json listed = Json::array();
  for (std::string& arg : redact_args(args)) listed.push_back(std::move(arg));
  report["args"] = std::move(listed);
  report["args_non_utf8"] =
      std::ranges::any_of(c.args, [](const std::string& a) { return !util::is_utf8(a); });
  const fs::path cwd = current_dir();
  report["cwd"] = util::path_str(cwd);
  report["env"] = cargo_env();

  const auto out_dir = rustc::option_value(args, "--out-dir");
  if (!out_dir) return;
  const fs::path out_path = cwd / *out_dir;
  const std::string stem = rustc::unit_stem(args);
  parts::add_outputs(report, out_path, stem, c.start_wall_ns, c.dur_ns);
  if (!wants_inputs(c)) return;
  if (auto inputs = parts::read_inputs(out_path / (stem + ".d"), cwd, c.target_dir))
    report["inputs"] = std::move(*inputs);
}

// Keys "v" to "inputs".
Json base_report(const Common& c) {
  const std::vector<std::string> args = parts::expand_arg_files(c.args);
  const bool probe = rustc::is_probe(args);

  Json report = Json::object();
  report["v"] = 1;
  report["session"] = env_text("KELV_SESSION_ID");
  report["kind"] = probe ? "probe" : "compile";
  report["pid"] = ::getpid();
  report["start_wall_ns"] = c.start_wall_ns;
  report["dur_ns"] = c.dur_ns;
  report["exit_code"] = c.status.has_code ? Json(c.status.code) : Json(nullptr);
  report["signal"] = c.status.signaled ? Json(c.status.signal) : Json(nullptr);
  report["rustc"] = util::lossy(c.compiler);
  report["inner_wrapper"] = c.inner_wrapper ? Json(util::lossy(*c.inner_wrapper)) : Json(nullptr);
  report["cache_fallback"] = c.cache_fallback;
  if (c.usage)
    report["rusage"] =
        rusage(*c.usage, c.inner_wrapper && !c.cache_fallback ? "wrapper-client" : "rustc");
  if (auto id = rustc_id(c.compiler)) report["rustc_id"] = std::move(*id);
  if (!probe) add_compile_part(report, c, args);
  return report;
}

std::string link_outcome(const RunFacts& f) {
  if (f.run_kind == RunKind::relinked) return "relinked";
  if (!f.kept_objects_error) return "objects kept";
  return fmt::format("objects not kept: {}", *f.kept_objects_error);
}

void write_report(const Json& report, std::string_view event_dir, uint64_t start_wall_ns) {
  const std::string name = fmt::format("{:020}-{}.json", start_wall_ns, ::getpid());
  const std::string text = report.dump(-1, ' ', false, Json::error_handler_t::replace);
  (void)util::write_atomic(fs::path(event_dir) / name, text);
}

}  // namespace

void report_run(const RunFacts& f) noexcept {
  try {
    const bool early_exit = f.early_exit;
    Json report = base_report({.compiler = f.compiler,
                               .args = f.args,
                               .start_wall_ns = f.start_wall_ns,
                               .dur_ns = f.elapsed_ns,
                               .status = f.status,
                               .inner_wrapper = f.inner_wrapper,
                               .cache_fallback = f.inner_fallback_used,
                               .usage = f.usage && !early_exit ? &*f.usage : nullptr,
                               .target_dir = f.target_dir});
    report["cache"] = f.cache;
    const bool through_driver = f.run_kind != RunKind::plain;
    if (f.driver && through_driver && !f.driver_failure) report["driver"] = util::lossy(*f.driver);
    if (f.driver_failure) report["driver_failure"] = util::lossy(*f.driver_failure);
    if (through_driver && f.has_relink_args && !f.driver_failure) report["link"] = link_outcome(f);
    if (early_exit) report["early_exit"] = true;
    write_report(report, f.event_dir, f.start_wall_ns);
  } catch (...) {
    // A report is never worth failing the unit for.
  }
}

void report_hit(const HitFacts& f) noexcept {
  try {
    const uint64_t now = util::mono_ns();
    const std::optional<std::string> no_inner_wrapper;
    Json report = base_report({.compiler = f.compiler,
                               .args = f.args,
                               .start_wall_ns = f.start_wall_ns,
                               .dur_ns = now > f.start_mono_ns ? now - f.start_mono_ns : 0,
                               .status = exec::ExitStatus::exited(0),
                               .inner_wrapper = no_inner_wrapper,
                               .cache_fallback = false,
                               .usage = nullptr,
                               .target_dir = f.target_dir});
    report["cache"] =
        Json::object({{"result", "hit"},
                      {"key", f.key},
                      {"entry", f.entry},
                      {"foreign_out_dir",
                       f.foreign_out_dir ? Json(util::lossy(*f.foreign_out_dir)) : Json(nullptr)}});
    if (f.stored_compile_ns) report["cache"]["stored_compile_ns"] = *f.stored_compile_ns;
    report["cache"]["source"] = f.from_remote ? "remote" : "local";
    if (f.remote && !f.remote->is_null()) report["cache"]["remote"] = *f.remote;
    write_report(report, f.event_dir, f.start_wall_ns);
  } catch (...) {
    // A report is never worth failing the unit for.
  }
}

}  // namespace kelv::report
