#include "wrapper/decide.h"

#include <fmt/format.h>
#include <signal.h>

#include <cstdlib>

#include "artifact_cache/job.h"
#include "driver/driver.h"
#include "driver/rustc_info.h"
#include "util/clock.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/utf8.h"
#include "wrapper/roads.h"
#include "wrapper/runners.h"
#include "wrapper/ui.h"

namespace kelv::wrapper {
namespace {

using artifact_cache::Job;

enum class Channel { stable, unstable, unidentified };

struct Identity {
  std::optional<std::string> version_text;  // on success
  std::string reason;                       // otherwise
  Channel channel = Channel::unidentified;
};

// Who the compiler is, from its memoised `-vV` text.
Identity identify(const Front& front) {
  Identity id;
  if (!front.settings || front.inner) {
    id.reason = "off";
  } else if (!util::is_utf8(front.inv.compiler)) {
    id.reason = "the compiler's path is not UTF-8";
  } else if (auto text = rustc_info::version_verbose(util::memo_dir("rustc"), front.inv.compiler)) {
    id.channel = rustc_info::is_unstable_channel(*text).value_or(false) ? Channel::unstable
                                                                        : Channel::stable;
    id.version_text = std::move(*text);
  } else {
    id.reason = std::move(text.error());
  }
  return id;
}

// The toolchain's driver, unless the unit is not eligible or the driver
// failed on it before.
std::optional<std::string> plan_driver(const Front& front, const Identity& id) {
  if (!front.settings || front.inner || !id.version_text || !front.settings->early_cutoff)
    return std::nullopt;
  if (std::filesystem::path(front.inv.compiler).stem() != "rustc") return std::nullopt;
  if (!front.inv.is_compile() || !util::is_utf8(front.inv.compiler)) return std::nullopt;
  auto compiler = rustc_info::Compiler::of(front.inv.compiler);
  if (!compiler) return std::nullopt;
  auto found = driver::find(*compiler);
  if (!found || driver::failed_before(*found, front.inv.unit_name())) return std::nullopt;
  return found->native();
}

// Exit codes and signals by which a driver shows that it broke, not that
// the code it compiled is wrong.
bool driver_crashed(const proc::ExitStatus& status) {
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

util::Json outcome(std::string_view result, std::string_view member, std::string_view text) {
  util::Json o = util::Json::object();
  o["result"] = result;
  o[std::string(member)] = text;
  return o;
}

void replay_hit(const Front& front, const artifact_cache::LookupHit& hit, uint64_t start_wall_ns,
                uint64_t start) {
  if (front.settings && front.settings->artifact_cache)
    (void)artifact_cache::record_link_inputs(*front.settings->artifact_cache,
                                             *front.inv.strict_args);
  {
    std::lock_guard lock(ui::stderr_lock());
    ui::write_stderr_locked(hit.stderr_text);
  }
  if (front.event_dir) {
    report::report_hit({.compiler = front.inv.compiler,
                        .args = front.inv.args,
                        .start_wall_ns = start_wall_ns,
                        .start_mono_ns = start,
                        .target_dir = front.settings ? front.settings->target_dir : std::nullopt,
                        .entry = hit.entry,
                        .foreign_out_dir = hit.foreign_out_dir,
                        .event_dir = *front.event_dir});
  }
  proc::propagate(proc::ExitStatus::exited(0));
}

}  // namespace

UnitRun decide_and_run(Front& front) {
  UnitRun unit;
  Invocation& inv = front.inv;
  const Settings* settings = front.settings ? &*front.settings : nullptr;
  const bool own_road = settings && !front.inner;  // the wrapper may add options

  const Identity id = identify(front);

  // Unstable options need an identified channel and a Cargo that did not set
  // RUSTC_BOOTSTRAP itself.
  std::optional<std::vector<std::string>> driver_extra_args;
  if (!std::getenv("RUSTC_BOOTSTRAP") && id.channel != Channel::unidentified) {
    driver_extra_args.emplace();
    if (id.channel == Channel::stable) driver_extra_args->push_back("-Zallow-features=");
  }
  const bool unstable_allowed = driver_extra_args.has_value();
  bool needs_bootstrap = false;

  // The linker directory, for linking units whose linker the user did not choose.
  if (own_road && settings->linker_dir && unstable_allowed && inv.is_compile() &&
      inv.links_output() && !inv.option_value("--target") && !inv.user_chose_linker()) {
    inv.args.insert(inv.args.end(), {"-Zunstable-options", "-Clink-self-contained=-linker",
                                     "-Clinker-features=-lld",
                                     "-Clink-arg=-B" + util::lossy(*settings->linker_dir)});
    needs_bootstrap = true;
  }

  unit.driver = plan_driver(front, id);

  unit.start_wall_ns = util::now_wall_ns();
  const uint64_t start = util::mono_ns();
  // Only the cache needs the strict text form.
  if (!front.inner && front.event_dir) inv.take_strict();

  // The cache: a job, or why there is none.
  std::optional<Job> job;
  std::string job_reason = "off";
  if (!front.inner && front.event_dir && inv.strict_args) {
    std::optional<std::filesystem::path> cache_dir;
    if (settings && settings->artifact_cache) cache_dir = *settings->artifact_cache;
    if (!id.version_text) {
      job_reason = cache_dir ? id.reason : "off";
    } else {
      std::optional<std::filesystem::path> driver_path;
      if (unit.driver) driver_path = *unit.driver;
      auto prepared =
          artifact_cache::prepare(cache_dir, *id.version_text, driver_path, *inv.strict_args);
      if (prepared) {
        job = std::move(*prepared);
      } else {
        job_reason = std::move(prepared.error());
      }
    }
    if (job) {
      if (auto hit = job->lookup()) replay_hit(front, *hit, unit.start_wall_ns, start);
    }
  }

  // A build without usable incremental state (only asked when it matters:
  // the plain road needs neither the answer nor its file system check).
  const bool fresh_build =
      (own_road || job) && !(inv.codegen_option("incremental") && inv.depinfo_exists());
  const bool known_quick = job && job->known_quick();

  if (own_road && settings->frontend_threads && unstable_allowed && inv.is_compile() &&
      !inv.contains("threads=")) {
    needs_bootstrap = true;
    if (fresh_build && !known_quick)
      inv.args.push_back("-Zthreads=" + std::to_string(*settings->frontend_threads));
  }

  std::optional<size_t> input_index;
  if (unit.driver && job && unstable_allowed) input_index = inv.single_input();
  const bool relink_candidate = input_index && job->objects_key && !known_quick;
  if (relink_candidate) needs_bootstrap = true;

  if (needs_bootstrap && driver_extra_args)
    inv.args.insert(inv.args.end(), driver_extra_args->begin(), driver_extra_args->end());

  // The relink plan: the same arguments, linking the kept objects instead of
  // compiling the source.
  std::optional<std::filesystem::path> relink_ready;
  std::optional<std::string> kept_objects;
  if (relink_candidate) {
    unit.relink_args = inv.args;
    (*unit.relink_args)[*input_index] = job->rlink_path().native();
    unit.relink_args->push_back("-Zlink-only");
    relink_ready = job->prepare_relink();
  }
  if (unit.relink_args && job) kept_objects = job->kept_objects().native();

  // Run the unit.
  bool diagnostics_captured = false;
  bool captured_whole = true;  // nothing arrived after the capture ended
  std::string diagnostics;
  bool fallback = false;
  if (front.inner) {
    ChainedResult chained = chained_road(inv, *front.inner, front.fail_open);
    unit.run = chained.run;
    unit.inner_fallback_used = chained.inner_fallback_used;
  } else if (!unit.driver && !job) {
    unit.run = plain_road(inv, needs_bootstrap);
  } else {
    std::optional<TeedResult> result;
    if (relink_ready) {
      auto relinked = relink_runner(kept_objects, needs_bootstrap, inv.compiler, *unit.relink_args,
                                    *unit.driver);
      if (relinked && relinked->status.success()) {
        ui::write_stderr(relinked->held);
        relinked->shown = std::move(relinked->held);
        relinked->held.clear();
        result = std::move(*relinked);
        unit.run_kind = RunKind::relinked;
      }
    }
    if (!result) {
      auto compiled = compile_runner(kept_objects, needs_bootstrap, inv.compiler, inv.args,
                                     unit.driver, job ? &*job : nullptr);
      if (!compiled) start_failure(inv.compiler, compiled.error());
      result = std::move(*compiled);
      unit.run_kind = RunKind::compiled;
    }
    unit.run = *result;
    unit.early_exit = result->early_exit;
    diagnostics = std::move(result->shown);
    diagnostics_captured = true;
    captured_whole = result->captured_whole;

    // A driver that broke is recorded and the unit compiled by rustc, unless
    // it already announced outputs that Cargo may have used.
    if (unit.driver && driver_crashed(result->status) && !result->artifact_seen) {
      const std::string unit_name = inv.unit_name();
      auto marker = driver::record_failure(*unit.driver, unit_name, result->held);
      const std::string crate(inv.option_value("--crate-name").value_or("?"));
      ui::say(
          ui::Level::warn,
          fmt::format("Kelvane's compiler driver failed on crate `{}`; compiled with rustc "
                      "instead ({})",
                      crate,
                      marker ? fmt::format("report: {}", marker->native())
                             : fmt::format("its report could not be kept: {}", marker.error())));
      unit.driver_failure = marker ? marker->native() : std::string();
      unit.driver.reset();
      fallback = true;
      proc::Command cmd =
          build_command(std::nullopt, needs_bootstrap, inv.compiler, inv.args, std::nullopt);
      if (job) {
        auto rerun = run_teed(std::move(cmd), Capture::tee, false);
        if (!rerun) start_failure(inv.compiler, rerun.error());
        unit.run = *rerun;
        unit.early_exit = false;
        diagnostics = std::move(rerun->shown);
        captured_whole = rerun->captured_whole;
      } else {
        auto rerun = proc::run_child(cmd, true);
        if (!rerun) start_failure(inv.compiler, rerun.error());
        unit.run = *rerun;
        unit.early_exit = false;
        diagnostics_captured = false;
      }
    } else {
      ui::write_stderr(result->held);
      diagnostics += result->held;
    }
  }
  unit.elapsed_ns = util::mono_ns() - start;

  const bool success = unit.run.status.success();
  if (unit.run_kind == RunKind::compiled && job && kept_objects && !fallback && success) {
    if (auto kept = job->record_kept_objects(unit.start_wall_ns); !kept)
      unit.kept_objects_error = kept.error();
  }
  if (settings && settings->artifact_cache && inv.strict_args && !front.inner && success &&
      inv.is_compile())
    (void)artifact_cache::record_link_inputs(*settings->artifact_cache, *inv.strict_args);

  // The cache outcome.
  if (!job) {
    unit.cache = outcome("off", "reason", job_reason);
  } else if (unit.driver_failure) {
    unit.cache =
        outcome("miss", "not_stored", "compiled by rustc after Kelvane's compiler driver failed");
  } else if (!diagnostics_captured || !success) {
    unit.cache = outcome("miss", "not_stored", "the compilation failed");
  } else if (!captured_whole) {
    // A replay would lack whatever arrived after the capture ended.
    unit.cache = outcome("miss", "not_stored",
                         "its diagnostics were not captured whole (standard error stayed open "
                         "after the compiler exited)");
  } else if (settings && job->workspace_member && job->links &&
             unit.elapsed_ns < settings->min_link_store_ns) {
    if (fresh_build && unit.run_kind != RunKind::relinked) (void)job->remember_quick();
    unit.cache = outcome("miss", "not_stored", "quick to link");
  } else {
    if (fresh_build) job->forget_quick();
    auto stored = job->store(diagnostics, unit.start_wall_ns);
    unit.cache = stored ? util::Json::object({{"result", "stored"}})
                        : outcome("miss", "not_stored", stored.error());
  }
  return unit;
}

}  // namespace kelv::wrapper
