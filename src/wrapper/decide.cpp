#include "wrapper/decide.h"

#include <cstdlib>

#include "artifact_cache/key.h"
#include "artifact_cache/remote_tier.h"
#include "driver/driver.h"
#include "driver/rustc_info.h"
#include "util/clock.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/utf8.h"
#include "wrapper/finish.h"
#include "wrapper/plan.h"
#include "wrapper/run.h"

namespace kelv::wrapper {
namespace {

using artifact_cache::Job;

// Who the compiler is, asked once, and the driver the unit may use.
struct Toolchain {
  std::optional<std::string> version_text;  // on success
  std::string reason = "off";               // otherwise
  Channel channel = Channel::unidentified;
  std::optional<std::string> driver;
};

// Whether the unit may be compiled by the toolchain's driver at all.
bool driver_eligible(const Front& front) {
  return front.settings && !front.inner && front.settings->early_cutoff &&
         std::filesystem::path(front.inv.compiler).stem() == "rustc" && front.inv.is_compile();
}

std::optional<std::string> find_driver(const Front& front, const rustc_info::Compiler& compiler) {
  auto found = driver::find(compiler);
  if (!found || driver::failed_before(*found, front.inv.unit_name())) return std::nullopt;
  return found->native();
}

Toolchain resolve_toolchain(const Front& front) {
  Toolchain t;
  if (!front.settings || front.inner) return t;
  if (!util::is_utf8(front.inv.compiler)) {
    t.reason = "the compiler's path is not UTF-8";
    return t;
  }
  std::expected<std::string, std::string> version = std::unexpected("");
  if (driver_eligible(front)) {
    if (auto compiler = rustc_info::Compiler::of(front.inv.compiler)) {
      t.driver = find_driver(front, *compiler);
      version = std::move(compiler->version_text);
    }
  }
  if (!version) version = rustc_info::version_verbose(util::memo_dir("rustc"), front.inv.compiler);
  if (!version) {
    t.reason = std::move(version.error());
    return t;
  }
  t.channel = rustc_info::is_unstable_channel(*version).value_or(false) ? Channel::unstable
                                                                        : Channel::stable;
  t.version_text = std::move(*version);
  return t;
}

// The unit's cache work, or why there is none.
struct CacheJob {
  std::optional<Job> job;
  std::string reason = "off";
  std::string category = "off";  // stable, for tools that group the reasons
  std::optional<artifact_cache::Miss> miss;
};

CacheJob prepare_job(const Front& front, const Toolchain& t) {
  CacheJob c;
  if (front.inner || !front.event_dir || !front.inv.strict_args) return c;
  std::optional<std::filesystem::path> cache_dir;
  if (front.settings && front.settings->artifact_cache) cache_dir = *front.settings->artifact_cache;
  if (!t.version_text) {
    if (cache_dir) {
      c.reason = t.reason;
      c.category = "compiler_unidentified";
    }
    return c;
  }
  std::optional<std::filesystem::path> driver_path;
  if (t.driver) driver_path = *t.driver;
  auto prepared =
      artifact_cache::prepare(cache_dir, *t.version_text, driver_path, *front.inv.strict_args);
  if (prepared)
    c.job = std::move(*prepared);
  else {
    c.reason = std::move(prepared.error().text);
    c.category = std::move(prepared.error().category);
  }
  return c;
}

// The remote tier of a cached unit: the server of KELV_REMOTE_CACHE, or why
// it is not used, and what it did.
struct RemoteTier {
  std::optional<artifact_cache::Remote> remote;
  std::string problem;  // a bad setting
  artifact_cache::RemoteOutcome outcome;

  static RemoteTier of_environment() {
    RemoteTier t;
    auto remote = artifact_cache::Remote::from_env();
    if (remote)
      t.remote = std::move(*remote);
    else
      t.problem = std::move(remote.error());
    return t;
  }
  // The report's "remote" object; null when no remote is configured.
  util::Json report() const {
    if (remote) return outcome.to_json(*remote);
    if (problem.empty()) return nullptr;
    return util::Json::object({{"lookup", "skipped"}, {"reason", problem}});
  }
};

// The local cache first, then the remote; a remote hit is published into the
// local cache and replayed from there.
std::expected<artifact_cache::LookupHit, artifact_cache::Miss> look_up(const Job& job,
                                                                       RemoteTier& tier) {
  auto hit = job.lookup();
  if (hit || !tier.remote) return hit;
  tier.outcome = artifact_cache::fetch_from_remote(job, *tier.remote);
  if (tier.outcome.lookup != "hit") return hit;
  auto replayed = job.lookup();
  if (!replayed) {
    tier.outcome.lookup = "damaged";
    tier.outcome.reason = replayed.error().detail;
    return hit;
  }
  return replayed;
}

// The directories that differ between checkouts and machines, and the
// names they get instead. Cargo runs the compiler in the workspace's root
// for the workspace's packages and in a dependency's own directory (below
// Cargo's home) for the others.
std::vector<std::pair<std::string, std::string>> fixed_names(const Settings& s) {
  std::vector<std::pair<std::string, std::string>> names;
  const std::string home_dir = util::path_str(util::cargo_home());
  if (!home_dir.empty()) names.emplace_back(home_dir, "/kelv/cargo-home");
  std::error_code ec;
  const std::string cwd = util::path_str(std::filesystem::current_path(ec));
  if (!ec && (home_dir.empty() || !util::starts_with_path(cwd, home_dir)))
    names.emplace_back(cwd, "/kelv/workspace");
  if (s.target_dir) names.emplace_back(*s.target_dir, "/kelv/target");
  return names;
}

// The facts of the plan that the arguments and the toolchain give.
PlanInput plan_input(const Front& front, const Toolchain& t) {
  const rustc::Invocation& inv = front.inv;
  PlanInput in{.own_road = front.settings && !front.inner,
               .channel = t.channel,
               .bootstrap_set = std::getenv("RUSTC_BOOTSTRAP") != nullptr,
               .is_compile = inv.is_compile(),
               .driver = t.driver.has_value()};
  if (!in.own_road) return in;
  const Settings& s = *front.settings;
  if (s.linker_dir) in.linker_dir = util::lossy(*s.linker_dir);
  in.frontend_threads = s.frontend_threads;
  if (s.path_independent) in.fixed_names = fixed_names(s);
  in.links_output = inv.links_output();
  in.has_target = inv.option_value("--target").has_value();
  in.user_chose_linker = inv.user_chose_linker();
  in.mentions_threads = inv.contains("threads=");
  return in;
}

// What the cache job adds to the plan's facts (the file system check of
// the dep-info only when it matters).
void add_job_facts(PlanInput& in, const Front& front, const std::optional<Job>& job) {
  in.job = job.has_value();
  in.known_quick = job && job->known_quick();
  in.objects_key = job && job->objects_key.has_value();
  if (in.driver && job) in.single_input = front.inv.single_input();
  if (in.own_road || job)
    in.incremental_with_depinfo =
        front.inv.codegen_option("incremental") && front.inv.depinfo_exists();
}

void append(std::vector<std::string>& args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
}

}  // namespace

Decision decide(Front& front) {
  rustc::Invocation& inv = front.inv;
  const Toolchain toolchain = resolve_toolchain(front);
  PlanInput in = plan_input(front, toolchain);
  const Plan early = plan_unit(in);
  append(inv.args, early.linker_args);
  append(inv.args, early.remap_args);

  const uint64_t start_wall_ns = util::now_wall_ns();
  const uint64_t start = util::mono_ns();
  // Only the cache needs the strict text form.
  if (!front.inner && front.event_dir) inv.take_strict();

  CacheJob cache = prepare_job(front, toolchain);
  RemoteTier remote;
  if (cache.job) {
    remote = RemoteTier::of_environment();
    auto hit = look_up(*cache.job, remote);
    if (hit)
      return Replay{std::move(*hit),
                    std::move(cache.job->natives),
                    remote.outcome.lookup == "hit",
                    remote.report(),
                    start_wall_ns,
                    start,
                    cache.job->key};
    cache.miss = std::move(hit.error());
  }

  add_job_facts(in, front, cache.job);
  const Plan plan = plan_unit(in);
  append(inv.args, plan.later_args);

  const Job* job = cache.job ? &*cache.job : nullptr;
  RunRequest request{.inv = inv,
                     .inner = front.inner,
                     .fail_open = front.fail_open,
                     .needs_bootstrap = plan.needs_bootstrap,
                     .driver = toolchain.driver,
                     .job = job};
  if (plan.relink_candidate) {
    request.relink_args = relink_arguments(inv.args, *in.single_input, job->rlink_path().native());
    request.relink_ready = job->prepare_relink().has_value();
    request.kept_objects = job->kept_objects().native();
  }
  auto ran = run_unit(request);
  if (!ran) return ran.error();

  UnitRun unit{.run = ran->run,
               .start_wall_ns = start_wall_ns,
               .elapsed_ns = util::mono_ns() - start,
               .inner_fallback_used = ran->inner_fallback_used,
               .early_exit = ran->early_exit,
               .run_kind = ran->run_kind,
               .driver = ran->driver,
               .driver_failure = ran->driver_failure,
               .has_relink_args = request.relink_args.has_value()};
  Finished done = finish_unit({.settings = front.settings,
                               .strict_args = inv.strict_args,
                               .inner = front.inner.has_value(),
                               .is_compile = inv.is_compile(),
                               .job = job,
                               .job_reason = cache.reason,
                               .job_category = cache.category,
                               .miss = cache.miss,
                               .remote = remote.remote ? &*remote.remote : nullptr,
                               .remote_outcome = &remote.outcome,
                               .run = *ran,
                               .fresh_build = plan.fresh_build,
                               .kept_objects = request.kept_objects.has_value(),
                               .start_wall_ns = start_wall_ns,
                               .elapsed_ns = unit.elapsed_ns});
  unit.cache = std::move(done.cache);
  if (cache.job) {
    if (util::Json r = remote.report(); !r.is_null()) unit.cache["remote"] = std::move(r);
  }
  unit.kept_objects_error = std::move(done.kept_objects_error);
  return unit;
}

}  // namespace kelv::wrapper
