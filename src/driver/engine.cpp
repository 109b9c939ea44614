#include "driver/engine.h"

#include <cstdlib>
#include <string_view>

#include "util/platform.h"

namespace kelv::engine {
namespace {

// Paths compared component by component, so "/t/lib/" equals "/t/lib".
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b) {
  return (a / "").lexically_normal() == (b / "").lexically_normal();
}

}  // namespace

std::string loader_path_with(const std::filesystem::path& lib, const char* current) {
  std::string joined = lib.native();
  if (lib.native().find(':') != std::string::npos) return lib.native();
  if (!current) return joined;
  std::string_view rest(current);
  for (;;) {
    const size_t colon = rest.find(':');
    const std::string_view entry = rest.substr(0, colon);
    if (!same_path(std::filesystem::path(entry), lib)) {
      joined += ':';
      joined += entry;
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return joined;
}

exec::Command toolchain_program(const std::filesystem::path& program) {
  exec::Command cmd{.program = program.native()};
  const std::filesystem::path bin = program.parent_path();
  // "rustc" and "/rustc" name no toolchain root; "bin/rustc" has the root "".
  if (bin.empty() || bin == bin.root_path()) return cmd;
  const std::filesystem::path lib = bin.parent_path() / "lib";
  cmd.set_env(util::platform::loader_path_var,
              loader_path_with(lib, std::getenv(util::platform::loader_path_var)));
  return cmd;
}

}  // namespace kelv::engine
