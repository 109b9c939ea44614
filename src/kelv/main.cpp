// kelv: runs Cargo builds through kelv-rustc-wrapper, summarises them from
// their reports, keeps the artifact cache in bounds and builds the compiler
// driver of a toolchain.
#include <fmt/format.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kelv/commands.h"
#include "util/platform.h"
#include "util/ui.h"

namespace kelv::tool {

int fail(std::string_view text, int status) {
  util::ui::say(util::ui::Level::fail, text);
  return status;
}

std::filesystem::path own_dir() {
  return util::platform::current_exe().parent_path();
}

// Run by Cargo as the external subcommand `cargo kelv`: `cargo-kelv kelv
// <args>`, with CARGO naming the Cargo that ran it (the toolchain rustup
// chose for `cargo +nightly kelv build`).
int cargo_subcommand(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "kelv") args.erase(args.begin());
  std::optional<std::filesystem::path> cargo;
  if (const char* from = std::getenv("CARGO"); from && *from && ::access(from, X_OK) == 0)
    cargo = from;
  return cargo_command(args, cargo);
}

}  // namespace kelv::tool

int main(int argc, char** argv) {
  using namespace kelv::tool;
  if (argc > 0 && std::filesystem::path(argv[0]).filename() == "cargo-kelv")
    return cargo_subcommand(argc, argv);
  constexpr std::string_view usage =
      "usage: kelv cargo <args...> | kelv report [DIR] [--json] | kelv cache stats | "
      "kelv cache trim --max-size SIZE | kelv cache push | kelv driver build [--rustc PATH]";
  if (argc < 2) return fail(usage);
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "cargo") return cargo_command(args);
  if (command == "report") return report_command(args);
  if (command == "cache") return cache_command(args);
  if (command == "driver") return driver_command(args);
  if (command == "--help" || command == "help") {
    fmt::print("{}\n", usage);
    return 0;
  }
  return fail(fmt::format("unknown command `{}`; {}", command, usage));
}
