#pragma once
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Where Cargo puts a build's outputs. The wrapper's reports tell generated
// inputs from the user's own by this directory, so it has to be the one Cargo
// really uses, wherever it was chosen: on the command line, in the
// environment or in Cargo's configuration files.
namespace kelv::tool {

// What `kelv cargo` needs from cargo's command line. Everything after a
// lone "--" belongs to the program being run and is not looked at.
struct CargoLine {
  std::optional<std::string> toolchain;   // "+nightly", only as the first argument
  std::optional<std::string> subcommand;  // absent for `cargo --version` and the like
  std::optional<std::string> target_dir;  // the value of --target-dir
  std::optional<std::string> directory;   // the value of -C (cargo runs in it)
  // Options that change what Cargo reads: --config, -Z and -C (placed before
  // the subcommand), and --manifest-path (placed after it).
  std::vector<std::string> global_options;
  std::vector<std::string> manifest_options;
};

CargoLine read_cargo_line(std::span<const std::string> args);

// The directory cargo works in: the current one, or the one -C names.
std::filesystem::path working_dir(const CargoLine& line);

// Whether the subcommand is worth asking Cargo for its target directory:
// false for built-in subcommands that compile nothing, and for `install`,
// which builds in a temporary directory of its own unless told otherwise.
// Aliases and installed subcommands (cargo-nextest and the like) may build.
bool asks_cargo(const std::optional<std::string>& subcommand);

// The target directory Cargo will use for this command line, absolute, in
// Cargo's order: --target-dir; CARGO_TARGET_DIR; what `cargo metadata`
// reports (for subcommands that build; it knows the configuration files,
// --config and CARGO_BUILD_TARGET_DIR); else CARGO_BUILD_TARGET_DIR. Absent
// when none of these tells; never an error, the build goes on either way.
std::optional<std::filesystem::path> target_dir(const CargoLine& line,
                                                const std::filesystem::path& cargo);

}  // namespace kelv::tool
