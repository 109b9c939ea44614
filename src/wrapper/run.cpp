#include "wrapper/run.h"

#include <fmt/format.h>
#include <signal.h>

#include "driver/driver.h"
#include "util/ui.h"
#include "wrapper/roads.h"
#include "wrapper/runners.h"

namespace kelv::wrapper {
namespace {

using report::RunKind;

// A relink whose diagnostics are shown only when it succeeded; absent when
// it failed and the unit must be compiled.
std::optional<exec::TeedResult> try_relink(const RunRequest& r) {
  auto relinked =
      relink_runner(r.kept_objects, r.needs_bootstrap, r.inv.compiler, *r.relink_args, *r.driver);
  if (!relinked || !relinked->status.success()) return std::nullopt;
  util::ui::write_stderr(relinked->held);
  relinked->shown = std::move(relinked->held);
  relinked->held.clear();
  return std::move(*relinked);
}

void take_result(RunOutcome& out, exec::TeedResult&& result) {
  out.run = result;
  out.early_exit = result.early_exit;
  out.diagnostics = std::move(result.shown);
  out.diagnostics_captured = true;
  out.captured_whole = result.captured_whole;
}

// The driver broke: remember it for this unit, say so, and compile with the
// compiler itself.
std::expected<void, StartFailure> fall_back(const RunRequest& r, RunOutcome& out,
                                            std::string_view held) {
  const std::string unit_name = r.inv.unit_name();
  auto marker = driver::record_failure(*r.driver, unit_name, held);
  const std::string crate(r.inv.option_value("--crate-name").value_or("?"));
  util::ui::say(
      util::ui::Level::warn,
      fmt::format("Kelvane's compiler driver failed on crate `{}`; compiled with rustc "
                  "instead ({})",
                  crate,
                  marker ? fmt::format("report: {}", marker->native())
                         : fmt::format("its report could not be kept: {}", marker.error())));
  out.driver_failure = marker ? marker->native() : std::string();
  out.driver.reset();
  out.early_exit = false;
  exec::Command cmd =
      build_command(std::nullopt, r.needs_bootstrap, r.inv.compiler, r.inv.args, std::nullopt);
  if (r.job) {
    auto rerun = exec::run_teed(std::move(cmd), exec::Capture::tee, false);
    if (!rerun) return std::unexpected(StartFailure{r.inv.compiler, rerun.error()});
    out.run = *rerun;
    out.diagnostics = std::move(rerun->shown);
    out.captured_whole = rerun->captured_whole;
  } else {
    auto rerun = exec::run_child(cmd, true);
    if (!rerun) return std::unexpected(StartFailure{r.inv.compiler, rerun.error()});
    out.run = *rerun;
    out.diagnostics_captured = false;
  }
  return {};
}

// The runners that capture diagnostics: used when a driver is planned or
// the unit is cached.
std::expected<RunOutcome, StartFailure> captured_road(const RunRequest& r) {
  RunOutcome out;
  out.driver = r.driver;
  std::optional<exec::TeedResult> result;
  if (r.relink_ready) {
    result = try_relink(r);
    if (result) out.run_kind = RunKind::relinked;
  }
  if (!result) {
    auto compiled = compile_runner(r.kept_objects, r.needs_bootstrap, r.inv.compiler, r.inv.args,
                                   r.driver, r.job);
    if (!compiled) return std::unexpected(StartFailure{r.inv.compiler, compiled.error()});
    result = std::move(*compiled);
    out.run_kind = RunKind::compiled;
  }
  const std::string held = std::move(result->held);
  const bool artifact_seen = result->artifact_seen;
  take_result(out, std::move(*result));

  // A driver that broke is recorded and the unit compiled by rustc, unless
  // it already announced outputs that Cargo may have used.
  if (r.driver && driver_crashed(out.run.status) && !artifact_seen) {
    if (auto fell = fall_back(r, out, held); !fell) return std::unexpected(fell.error());
  } else {
    util::ui::write_stderr(held);
    out.diagnostics += held;
  }
  return out;
}

}  // namespace

bool driver_crashed(const exec::ExitStatus& status) {
  if (status.has_code) return status.code == 101 || status.code == 127;
  if (!status.signaled) return false;
  switch (status.signal) {
    case SIGILL:
    case SIGABRT:
    case SIGFPE:
    case SIGBUS:
    case SIGSEGV:
      return true;
    default:
      return false;
  }
}

std::expected<RunOutcome, StartFailure> run_unit(const RunRequest& r) {
  if (r.inner) {
    auto chained = chained_road(r.inv, *r.inner, r.fail_open);
    if (!chained) return std::unexpected(chained.error());
    RunOutcome out;
    out.run = chained->run;
    out.inner_fallback_used = chained->inner_fallback_used;
    return out;
  }
  if (!r.driver && !r.job) {
    auto plain = plain_road(r.inv, r.needs_bootstrap);
    if (!plain) return std::unexpected(plain.error());
    RunOutcome out;
    out.run = *plain;
    return out;
  }
  return captured_road(r);
}

}  // namespace kelv::wrapper
