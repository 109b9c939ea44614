#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the wrapper does with one unit, decided from facts gathered before:
// no I/O here, so every rule is a row in a table test.
namespace kelv::wrapper {

// The toolchain's release channel, from its `-vV` text.
enum class Channel { stable, unstable, unidentified };

// What the front knows when it plans the unit.
struct PlanInput {
  bool own_road = false;  // settings present and no chained wrapper: options may be added
  Channel channel = Channel::unidentified;
  bool bootstrap_set = false;  // RUSTC_BOOTSTRAP in the wrapper's environment (any value)
  // From the settings.
  std::optional<std::string> linker_dir;
  std::optional<uint64_t> frontend_threads;
  // The directories to give fixed names in what the compiler writes, as
  // (directory, name): Cargo's home, the workspace, the target directory.
  std::vector<std::pair<std::string, std::string>> fixed_names;
  // From the compiler arguments.
  bool is_compile = false;
  bool links_output = false;
  bool has_target = false;
  bool user_chose_linker = false;
  bool mentions_threads = false;          // some argument contains "threads="
  bool incremental_with_depinfo = false;  // -Cincremental, and the unit's dep-info exists
  std::optional<size_t> single_input;
  // From the toolchain and the cache.
  bool driver = false;  // a driver is planned
  bool job = false;     // the unit is cached
  bool known_quick = false;
  bool objects_key = false;
};

struct Plan {
  // Unstable options may be added: the toolchain is identified and Cargo did
  // not set RUSTC_BOOTSTRAP itself. What must follow them on the command line
  // ("-Zallow-features=" on a stable toolchain).
  std::optional<std::vector<std::string>> extra_args;
  std::vector<std::string> linker_args;  // appended before the cache key is taken
  std::vector<std::string> remap_args;   // so are these
  std::vector<std::string> later_args;   // appended after the lookup
  bool needs_bootstrap = false;          // the child runs with RUSTC_BOOTSTRAP=1
  bool fresh_build = false;              // no usable incremental state
  bool relink_candidate = false;         // try a relink from kept objects first
};

// The whole plan. The linker options depend only on what is known before
// the cache is asked, so they are the same in every plan of one unit.
Plan plan_unit(const PlanInput& in);

// The relink arguments: the unit's arguments with the single input replaced
// by the link-only input.
std::vector<std::string> relink_arguments(std::vector<std::string> args, size_t input_index,
                                          const std::string& rlink);

}  // namespace kelv::wrapper
