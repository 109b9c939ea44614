#include "wrapper/finish.h"

#include "artifact_cache/relink.h"

namespace kelv::wrapper {
namespace {

util::Json outcome(std::string_view result, std::string_view member, std::string_view text) {
  util::Json o = util::Json::object();
  o["result"] = result;
  o[std::string(member)] = text;
  return o;
}

// The report's cache outcome for a unit that was looked up and missed:
// stored, or not stored and why (with a stable category); and why the
// lookup missed.
util::Json missed(const FinishRequest& r, std::string_view category, std::string_view text) {
  util::Json o = util::Json::object();
  if (category.empty()) {
    o["result"] = "stored";
  } else {
    o["result"] = "miss";
    o["not_stored"] = text;
    o["not_stored_category"] = category;
  }
  if (r.miss)
    o["miss"] = util::Json::object({{"category", r.miss->category}, {"detail", r.miss->detail}});
  return o;
}

// Stores the outputs (or remembers that the unit is quick to link).
util::Json store_or_remember(const FinishRequest& r, Storage storage) {
  const artifact_cache::Job& job = *r.job;
  if (storage == Storage::quick) {
    if (r.fresh_build && r.run.run_kind != report::RunKind::relinked) (void)job.remember_quick();
    return missed(r, "quick", "quick to link");
  }
  if (r.fresh_build) job.forget_quick();
  auto stored = job.store(r.run.diagnostics, r.start_wall_ns);
  if (!stored) return missed(r, "store", stored.error());
  if (r.remote && r.remote_outcome)
    artifact_cache::upload_to_remote(job, *r.remote, stored->name, *r.remote_outcome);
  util::Json o = missed(r, "", "");
  o["key"] = job.key;
  o["entry"] = stored->name;  // what the build added to the cache, for its size
  if (stored->path_bound) o["path_bound"] = *stored->path_bound;
  return o;
}

util::Json cache_outcome(const FinishRequest& r, Storage storage) {
  switch (storage) {
    case Storage::off: {
      util::Json o = outcome("off", "reason", r.job_reason);
      o["category"] = r.job_category;
      return o;
    }
    case Storage::driver_broke:
      return missed(r, "driver_failed", "compiled by rustc after Kelvane's compiler driver failed");
    case Storage::failed:
      return missed(r, "failed", "the compilation failed");
    case Storage::incomplete:
      // A replay would lack whatever arrived after the capture ended.
      return missed(r, "incomplete_diagnostics",
                    "its diagnostics were not captured whole (standard error stayed open after the "
                    "compiler exited)");
    case Storage::quick:
    case Storage::store:
      return store_or_remember(r, storage);
  }
  return util::Json::object();
}

}  // namespace

Storage storage_for(const StorageFacts& f) {
  if (!f.job) return Storage::off;
  if (f.driver_failure) return Storage::driver_broke;
  if (!f.diagnostics_captured || !f.success) return Storage::failed;
  if (!f.captured_whole) return Storage::incomplete;
  if (f.quick_to_link) return Storage::quick;
  return Storage::store;
}

Finished finish_unit(const FinishRequest& r) {
  Finished done;
  const bool success = r.run.run.status.success();
  if (r.run.run_kind == report::RunKind::compiled && r.job && r.kept_objects &&
      !r.run.driver_failure && success) {
    if (auto kept = r.job->record_kept_objects(r.start_wall_ns); !kept)
      done.kept_objects_error = kept.error();
  }
  if (r.settings && r.settings->artifact_cache && r.strict_args && !r.inner && success &&
      r.is_compile)
    (void)artifact_cache::record_link_inputs(
        *r.settings->artifact_cache, *r.strict_args,
        r.job ? std::optional(std::span<const artifact_cache::NativeInput>(r.job->natives))
              : std::nullopt);

  const StorageFacts facts{
      .job = r.job != nullptr,
      .driver_failure = r.run.driver_failure.has_value(),
      .diagnostics_captured = r.run.diagnostics_captured,
      .success = success,
      .captured_whole = r.run.captured_whole,
      .quick_to_link = r.settings && r.job && r.job->workspace_member && r.job->links &&
                       r.elapsed_ns < r.settings->min_link_store_ns,
  };
  done.cache = cache_outcome(r, storage_for(facts));
  return done;
}

}  // namespace kelv::wrapper
