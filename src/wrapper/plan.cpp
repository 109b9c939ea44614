#include "wrapper/plan.h"

#include <algorithm>

namespace kelv::wrapper {
namespace {

// Unstable options need an identified channel and a Cargo that did not set
// RUSTC_BOOTSTRAP itself.
std::optional<std::vector<std::string>> unstable_extra_args(const PlanInput& in) {
  if (in.bootstrap_set || in.channel == Channel::unidentified) return std::nullopt;
  std::vector<std::string> extra;
  if (in.channel == Channel::stable) extra.emplace_back("-Zallow-features=");
  return extra;
}

// The linker directory, for linking units whose linker the user did not choose.
bool wants_linker_dir(const PlanInput& in, bool unstable_allowed) {
  return in.own_road && in.linker_dir && unstable_allowed && in.is_compile && in.links_output &&
         !in.has_target && !in.user_chose_linker;
}

bool wants_threads(const PlanInput& in, bool unstable_allowed) {
  return in.own_road && in.frontend_threads && unstable_allowed && in.is_compile &&
         !in.mentions_threads;
}

bool relink_candidate(const PlanInput& in, bool unstable_allowed) {
  return in.driver && in.job && unstable_allowed && in.single_input && in.objects_key &&
         !in.known_quick;
}

// "--remap-path-prefix=DIR=NAME" for each directory; one inside another
// comes after it, since the compiler applies the last remap that matches.
std::vector<std::string> remap_args(const PlanInput& in) {
  std::vector<std::string> args;
  if (!in.own_road || !in.is_compile) return args;
  const auto inside = [](const std::string& dir, const std::string& outer) {
    return dir.size() > outer.size() && dir.starts_with(outer) && dir[outer.size()] == '/';
  };
  std::vector<std::pair<size_t, const std::pair<std::string, std::string>*>> ranked;
  for (const auto& named : in.fixed_names) {
    if (named.first.empty() || named.first == "/") continue;
    size_t depth = 0;
    bool repeated = false;
    for (const auto& other : in.fixed_names) {
      if (inside(named.first, other.first)) ++depth;
      if (&other < &named && other.first == named.first) repeated = true;
    }
    if (!repeated) ranked.emplace_back(depth, &named);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [depth, named] : ranked)
    args.push_back("--remap-path-prefix=" + named->first + "=" + named->second);
  return args;
}

}  // namespace

Plan plan_unit(const PlanInput& in) {
  Plan plan;
  plan.extra_args = unstable_extra_args(in);
  const bool unstable_allowed = plan.extra_args.has_value();

  if (wants_linker_dir(in, unstable_allowed)) {
    plan.linker_args = {"-Zunstable-options", "-Clink-self-contained=-linker",
                        "-Clinker-features=-lld", "-Clink-arg=-B" + *in.linker_dir};
    plan.needs_bootstrap = true;
  }

  plan.remap_args = remap_args(in);

  // Only asked when it matters: the plain road needs neither the answer nor
  // the file system check behind it.
  plan.fresh_build = (in.own_road || in.job) && !in.incremental_with_depinfo;

  // Threads pay off for a fresh compilation that takes a while; the unit
  // runs with RUSTC_BOOTSTRAP either way, so that Cargo sees one command.
  if (wants_threads(in, unstable_allowed)) {
    plan.needs_bootstrap = true;
    if (plan.fresh_build && !in.known_quick)
      plan.later_args.push_back("-Zthreads=" + std::to_string(*in.frontend_threads));
  }

  plan.relink_candidate = relink_candidate(in, unstable_allowed);
  if (plan.relink_candidate) plan.needs_bootstrap = true;

  if (plan.needs_bootstrap && plan.extra_args)
    plan.later_args.insert(plan.later_args.end(), plan.extra_args->begin(), plan.extra_args->end());
  return plan;
}

std::vector<std::string> relink_arguments(std::vector<std::string> args, size_t input_index,
                                          const std::string& rlink) {
  args[input_index] = rlink;
  args.push_back("-Zlink-only");
  return args;
}

}  // namespace kelv::wrapper
