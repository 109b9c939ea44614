#pragma once
#include <filesystem>
#include <optional>
#include <span>
#include <string>

// The subcommands of `kelv`, the companion of kelv-rustc-wrapper. Each takes
// the arguments after its name and returns the process's exit status.
namespace kelv::tool {

// `cargo` is the Cargo to run; absent: the one on PATH.
int cargo_command(std::span<const std::string> args,
                  const std::optional<std::filesystem::path>& cargo = std::nullopt);
int report_command(std::span<const std::string> args);
int cache_command(std::span<const std::string> args);
int driver_command(std::span<const std::string> args);

// Prints a FAIL line and returns the status for it.
int fail(std::string_view text, int status = 2);

// The directory this program lives in (where kelv-rustc-wrapper is expected).
std::filesystem::path own_dir();

}  // namespace kelv::tool
