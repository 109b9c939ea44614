#pragma once
#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rustc/options.h"

// The unit's command line and the questions the wrapper asks about it. The
// arguments are not kept parsed: each query walks the list with `take_value`.
namespace kelv::rustc {

// The value of the first occurrence of option `name`.
std::optional<std::string_view> option_value(List args, std::string_view name);
// The value of the first "-C key=value".
std::optional<std::string_view> codegen_option(List args, std::string_view key);
// Cargo's compiler probes: no crate name (or "___"), or printing something.
bool is_probe(List args);
// A unit that compiles a crate: not a probe, and Cargo gave it "-C metadata".
bool is_compile(List args);
bool links_output(List args);
bool user_chose_linker(List args);
std::optional<size_t> single_input(List args);
bool contains(List args, std::string_view text);
bool depinfo_exists(List args);
// The unit's stem: crate name followed by its extra filename.
std::string unit_stem(List args);
// key digest of the absolute output directory and the stem; names the unit.
std::string unit_name(List args);

// Whether a path lies in code the user does not edit (registry and git
// sources and toolchains below the home directory, or the Rust sysroot).
bool is_external_source(const std::filesystem::path& path);

}  // namespace kelv::rustc

namespace kelv::rustc {

struct Invocation {
  std::string compiler;                                 // argument 1, unchanged
  std::vector<std::string> args;                        // passed to the child; options get appended
  std::vector<std::string> lossy_args;                  // text form taken before any addition
  std::optional<std::vector<std::string>> strict_args;  // when every argument is UTF-8

  // The text forms cost a copy of every argument: `with_text` is false when
  // nothing will ask about the arguments (no event directory).
  Invocation(std::string compiler, std::vector<std::string> args, bool with_text = true);

  // Takes the strict text form of the arguments as they stand now.
  void take_strict();

  rustc::List lossy() const { return lossy_args; }
  std::optional<std::string_view> option_value(std::string_view name) const {
    return rustc::option_value(lossy_args, name);
  }
  std::optional<std::string_view> codegen_option(std::string_view key) const {
    return rustc::codegen_option(lossy_args, key);
  }
  bool is_compile() const { return rustc::is_compile(lossy_args); }
  bool links_output() const { return rustc::links_output(lossy_args); }
  bool user_chose_linker() const { return rustc::user_chose_linker(lossy_args); }
  std::optional<size_t> single_input() const { return rustc::single_input(lossy_args); }
  bool contains(std::string_view text) const { return rustc::contains(lossy_args, text); }
  bool depinfo_exists() const { return rustc::depinfo_exists(lossy_args); }
  std::string unit_name() const { return rustc::unit_name(lossy_args); }
};

}  // namespace kelv::rustc
