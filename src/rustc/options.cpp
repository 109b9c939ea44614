#include "rustc/options.h"

#include <algorithm>
#include <array>

namespace kelv::rustc {
namespace {

// rustc's options that take a value.
constexpr std::array<std::string_view, 34> value_options = {"--crate-name",
                                                            "--crate-type",
                                                            "--edition",
                                                            "--emit",
                                                            "--out-dir",
                                                            "-o",
                                                            "-L",
                                                            "-l",
                                                            "--extern",
                                                            "-C",
                                                            "--codegen",
                                                            "-Z",
                                                            "--cfg",
                                                            "--check-cfg",
                                                            "--cap-lints",
                                                            "--target",
                                                            "--error-format",
                                                            "--json",
                                                            "--diagnostic-width",
                                                            "--print",
                                                            "-W",
                                                            "-A",
                                                            "-D",
                                                            "-F",
                                                            "--warn",
                                                            "--allow",
                                                            "--deny",
                                                            "--forbid",
                                                            "--force-warn",
                                                            "--remap-path-prefix",
                                                            "--explain",
                                                            "--sysroot",
                                                            "--color",
                                                            "--env-set"};

}  // namespace

bool takes_value(std::string_view element) {
  return std::find(value_options.begin(), value_options.end(), element) != value_options.end();
}

std::optional<std::string_view> take_value(List args, size_t& i, std::string_view name,
                                           Attached attached, LastWithoutValue last) {
  std::string_view a = args[i];
  if (!a.starts_with(name)) return std::nullopt;
  if (a.size() == name.size()) {
    if (i + 1 >= args.size()) {
      if (last == LastWithoutValue::absent) return std::nullopt;
      return std::string_view();
    }
    return std::string_view(args[++i]);
  }
  a.remove_prefix(name.size());
  switch (attached) {
    case Attached::after_equals:
      if (!a.starts_with('=')) return std::nullopt;
      return a.substr(1);
    case Attached::rest_without_equals:
      if (a.starts_with('=')) a.remove_prefix(1);
      return a;
    case Attached::rest:
      return a;
  }
  return std::nullopt;
}

}  // namespace kelv::rustc
