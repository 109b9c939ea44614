#include "wrapper/decide.h"

#include <cstdlib>

#include "driver/driver.h"
#include "driver/rustc_info.h"
#include "util/clock.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/utf8.h"
#include "wrapper/roads.h"

namespace kelv::wrapper {
namespace {

enum class Channel { stable, unstable, unidentified };

struct Identity {
  std::optional<std::string> version_text;  // on success
  std::string reason;                       // otherwise
  Channel channel = Channel::unidentified;
};

// Step 1: who the compiler is, from its memoised `-vV` text.
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

// Step 5: the toolchain's driver, unless the unit is not eligible or the
// driver failed on it before.
std::optional<std::string> plan_driver(const Front& front, const Identity& id) {
  if (std::filesystem::path(front.inv.compiler).stem() != "rustc") return std::nullopt;
  if (!front.settings || front.inner || !id.version_text || !front.settings->early_cutoff)
    return std::nullopt;
  if (!front.inv.is_compile() || !util::is_utf8(front.inv.compiler)) return std::nullopt;
  auto compiler = rustc_info::Compiler::of(front.inv.compiler);
  if (!compiler) return std::nullopt;
  auto found = driver::find(*compiler);
  if (!found || driver::failed_before(*found, front.inv.unit_name())) return std::nullopt;
  return found->native();
}

}  // namespace

UnitRun decide_and_run(Front& front) {
  UnitRun unit;
  Invocation& inv = front.inv;
  const Settings* settings = front.settings ? &*front.settings : nullptr;
  const bool own_road = settings && !front.inner;  // the wrapper may add options

  const Identity id = identify(front);

  // Step 2: unstable options need an identified channel and a Cargo that
  // did not set RUSTC_BOOTSTRAP itself.
  std::optional<std::vector<std::string>> driver_extra_args;
  if (!std::getenv("RUSTC_BOOTSTRAP") && id.channel != Channel::unidentified) {
    driver_extra_args.emplace();
    if (id.channel == Channel::stable) driver_extra_args->push_back("-Zallow-features=");
  }
  const bool unstable_allowed = driver_extra_args.has_value();
  bool needs_bootstrap = false;

  // Step 4: the linker directory, for linking units whose linker the user
  // did not choose.
  if (own_road && settings->linker_dir && unstable_allowed && inv.is_compile() &&
      inv.links_output() && !inv.option_value("--target") && !inv.user_chose_linker()) {
    inv.args.insert(inv.args.end(), {"-Zunstable-options", "-Clink-self-contained=-linker",
                                     "-Clinker-features=-lld",
                                     "-Clink-arg=-B" + util::lossy(*settings->linker_dir)});
    needs_bootstrap = true;
  }

  unit.driver = plan_driver(front, id);

  // Step 6.
  unit.start_wall_ns = util::now_wall_ns();
  const uint64_t start = util::mono_ns();
  inv.take_strict();

  // Step 7: the cache (not built yet): the job's reason.
  if (!front.inner && front.event_dir && inv.strict_args && !id.version_text)
    unit.cache_reason = settings && settings->artifact_cache ? id.reason : "off";

  // Step 8: a build without usable incremental state.
  const bool fresh_build = !(inv.codegen_option("incremental") && inv.depinfo_exists());

  // Step 9: front-end threads.
  if (own_road && settings->frontend_threads && unstable_allowed && inv.is_compile() &&
      !inv.contains("threads=")) {
    needs_bootstrap = true;
    if (fresh_build) inv.args.push_back("-Zthreads=" + std::to_string(*settings->frontend_threads));
  }

  // Step 11.
  if (needs_bootstrap && driver_extra_args)
    inv.args.insert(inv.args.end(), driver_extra_args->begin(), driver_extra_args->end());

  // Step 13: no driver runner yet, so every unit runs on the plain road (or
  // the chained one).
  if (front.inner) {
    ChainedResult chained = chained_road(inv, *front.inner, front.fail_open);
    unit.run = chained.run;
    unit.inner_fallback_used = chained.inner_fallback_used;
  } else {
    unit.run = plain_road(inv, needs_bootstrap);
  }
  unit.elapsed_ns = util::mono_ns() - start;
  return unit;
}

}  // namespace kelv::wrapper
