// The planning of a unit (options added, bootstrap, relink) and the choice
// of what happens to its outputs, as tables: no processes, no files.
#include "wrapper/plan.h"

#include <gtest/gtest.h>

#include "wrapper/finish.h"

namespace kelv::wrapper {
namespace {

using Args = std::vector<std::string>;

// A compiling, linking unit on a stable toolchain with settings and a cache.
PlanInput linking_unit() {
  return {.own_road = true,
          .channel = Channel::stable,
          .linker_dir = "/opt/ld",
          .frontend_threads = 4,
          .is_compile = true,
          .links_output = true,
          .single_input = 3,
          .driver = true,
          .job = true,
          .objects_key = true};
}

const Args kLinker = {"-Zunstable-options", "-Clink-self-contained=-linker",
                      "-Clinker-features=-lld", "-Clink-arg=-B/opt/ld"};

TEST(Plan, OptionsBootstrapAndRelink) {
  struct Case {
    const char* label;
    std::function<void(PlanInput&)> change;
    Args linker, later;
    bool bootstrap, relink;
  };
  const Args threads_then_gate = {"-Zthreads=4", "-Zallow-features="};
  const Case cases[] = {
      {"everything applies", [](PlanInput&) {}, kLinker, threads_then_gate, true, true},
      {"nightly: no feature gate",
       [](PlanInput& in) { in.channel = Channel::unstable; },
       kLinker,
       {"-Zthreads=4"},
       true,
       true},
      {"RUSTC_BOOTSTRAP from Cargo: nothing unstable, no relink",
       [](PlanInput& in) { in.bootstrap_set = true; },
       {},
       {},
       false,
       false},
      {"unidentified toolchain",
       [](PlanInput& in) { in.channel = Channel::unidentified; },
       {},
       {},
       false,
       false},
      {"chained wrapper or no settings: nothing added",
       [](PlanInput& in) {
         in.own_road = false;
         in.driver = false;
       },
       {},
       {},
       false,
       false},
      {"a target of its own keeps its linker",
       [](PlanInput& in) { in.has_target = true; },
       {},
       threads_then_gate,
       true,
       true},
      {"the user chose the linker",
       [](PlanInput& in) { in.user_chose_linker = true; },
       {},
       threads_then_gate,
       true,
       true},
      {"a library links nothing",
       [](PlanInput& in) {
         in.links_output = false;
         in.objects_key = false;
       },
       {},
       threads_then_gate,
       true,
       false},
      {"threads= anywhere suppresses the thread option",
       [](PlanInput& in) { in.mentions_threads = true; },
       kLinker,
       {"-Zallow-features="},
       true,
       true},
      {"incremental rebuild: bootstrap but no threads",
       [](PlanInput& in) { in.incremental_with_depinfo = true; },
       kLinker,
       {"-Zallow-features="},
       true,
       true},
      {"known quick: compiled without threads, never relinked",
       [](PlanInput& in) { in.known_quick = true; },
       kLinker,
       {"-Zallow-features="},
       true,
       false},
      {"no thread setting, no linker: relink alone needs bootstrap",
       [](PlanInput& in) {
         in.frontend_threads.reset();
         in.linker_dir.reset();
       },
       {},
       {"-Zallow-features="},
       true,
       true},
      {"no driver: no relink",
       [](PlanInput& in) {
         in.driver = false;
         in.frontend_threads.reset();
         in.linker_dir.reset();
       },
       {},
       {},
       false,
       false},
      {"not cached: no relink",
       [](PlanInput& in) {
         in.job = false;
         in.frontend_threads.reset();
         in.linker_dir.reset();
       },
       {},
       {},
       false,
       false},
      {"no single input: no relink",
       [](PlanInput& in) {
         in.single_input.reset();
         in.frontend_threads.reset();
         in.linker_dir.reset();
       },
       {},
       {},
       false,
       false},
      {"a probe adds nothing",
       [](PlanInput& in) {
         in.is_compile = false;
         in.driver = false;
       },
       {},
       {},
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PlanInput in = linking_unit();
    c.change(in);
    const Plan plan = plan_unit(in);
    EXPECT_EQ(plan.linker_args, c.linker);
    EXPECT_EQ(plan.later_args, c.later);
    EXPECT_EQ(plan.needs_bootstrap, c.bootstrap);
    EXPECT_EQ(plan.relink_candidate, c.relink);
  }
}

TEST(Plan, FreshBuildAndRelinkArguments) {
  PlanInput in = linking_unit();
  EXPECT_TRUE(plan_unit(in).fresh_build);
  in.incremental_with_depinfo = true;
  EXPECT_FALSE(plan_unit(in).fresh_build);
  in = {};  // the plain road asks nothing
  EXPECT_FALSE(plan_unit(in).fresh_build);

  EXPECT_EQ(
      relink_arguments({"--crate-name", "app", "src/main.rs", "-Zthreads=4"}, 2, "/o/app.rlink"),
      (Args{"--crate-name", "app", "/o/app.rlink", "-Zthreads=4", "-Zlink-only"}));
}

TEST(Plan, RemapsOfTheCheckoutsDirectories) {
  using Names = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* label;
    Names names;
    Args remaps;
    bool own_road = true;
  };
  const Case cases[] = {
      {"a directory inside another comes after it",
       {{"/h/.cargo", "/kelv/cargo-home"},
        {"/w/x/target", "/kelv/target"},
        {"/w/x", "/kelv/workspace"}},
       {"--remap-path-prefix=/h/.cargo=/kelv/cargo-home",
        "--remap-path-prefix=/w/x=/kelv/workspace",
        "--remap-path-prefix=/w/x/target=/kelv/target"}},
      {"Cargo's home inside the workspace, a name that only begins alike",
       {{"/w/x/.cargo", "/kelv/cargo-home"},
        {"/w/x", "/kelv/workspace"},
        {"/w/xy", "/kelv/target"}},
       {"--remap-path-prefix=/w/x=/kelv/workspace", "--remap-path-prefix=/w/xy=/kelv/target",
        "--remap-path-prefix=/w/x/.cargo=/kelv/cargo-home"}},
      {"the same directory once; never the root",
       {{"/w/x", "/kelv/workspace"}, {"/w/x", "/kelv/target"}, {"/", "/kelv/cargo-home"}},
       {"--remap-path-prefix=/w/x=/kelv/workspace"}},
      {"chained wrapper or no settings: none", {{"/w/x", "/kelv/workspace"}}, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PlanInput in = linking_unit();
    in.fixed_names = c.names;
    in.own_road = c.own_road;
    EXPECT_EQ(plan_unit(in).remap_args, c.remaps);
  }
}

TEST(Finish, WhatHappensToTheOutputs) {
  struct Case {
    StorageFacts facts;
    Storage storage;
  };
  const StorageFacts ok{.job = true, .diagnostics_captured = true, .success = true};
  const auto with = [&](auto change) {
    StorageFacts f = ok;
    change(f);
    return f;
  };
  const Case cases[] = {
      {ok, Storage::store},
      {with([](StorageFacts& f) { f.job = false; }), Storage::off},
      {with([](StorageFacts& f) { f.driver_failure = true; }), Storage::driver_broke},
      {with([](StorageFacts& f) { f.success = false; }), Storage::failed},
      {with([](StorageFacts& f) { f.diagnostics_captured = false; }), Storage::failed},
      {with([](StorageFacts& f) { f.captured_whole = false; }), Storage::incomplete},
      {with([](StorageFacts& f) {
         f.captured_whole = false;
         f.success = false;
       }),
       Storage::failed},
      {with([](StorageFacts& f) { f.quick_to_link = true; }), Storage::quick},
      {with([](StorageFacts& f) {
         f.quick_to_link = true;
         f.driver_failure = true;
       }),
       Storage::driver_broke},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(storage_for(cases[i].facts), cases[i].storage);
  }
}

}  // namespace
}  // namespace kelv::wrapper
