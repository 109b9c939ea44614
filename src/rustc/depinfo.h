#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// rustc's dep-info files ("<stem>.d"): the first rule's prerequisites are the
// unit's source files, and "# env-dep:NAME[=VALUE]" lines name the
// environment variables the crate read.
namespace kelv::rustc {

struct EnvDep {
  std::string_view name;
  std::optional<std::string_view> value;  // absent: the variable was unset
};

struct DepInfo {
  // The paths of the first rule ("target: ..." line), unescaped, in order;
  // absent when there is no rule.
  std::optional<std::vector<std::string>> first_rule;
  // The paths of the first rule that names any (the same unless the first
  // rule is empty).
  std::vector<std::string> inputs;
  std::vector<EnvDep> env_deps;  // views into the parsed text
};

// Parses the text of a dep-info file; the env-dep views point into `text`.
DepInfo parse_depinfo(std::string_view text);

// Paths of one dep-info line (the text after the target's ": ").
std::vector<std::string> split_depinfo_paths(std::string_view line);

}  // namespace kelv::rustc
