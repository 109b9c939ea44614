#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "kelv/target_dir.h"

// A rustc wrapper the user had Cargo run. `kelv cargo` puts its own wrapper
// in RUSTC_WRAPPER, which Cargo prefers to every other setting, so the
// user's would silently stop running; instead it is chained inside kelv's.
namespace kelv::tool {

struct UserWrapper {
  std::string variable;  // RUSTC_WRAPPER or CARGO_BUILD_RUSTC_WRAPPER
  std::string program;   // absolute when it was given as a relative path
};

// The wrapper Cargo would have run without kelv, chosen as Cargo chooses it:
// RUSTC_WRAPPER when set (empty meaning none), else
// CARGO_BUILD_RUSTC_WRAPPER. Absent when there is none or it is a
// kelv-rustc-wrapper (`own` or another copy), which would chain itself for
// ever.
std::optional<UserWrapper> user_wrapper(const std::filesystem::path& own);

// Where Cargo's configuration sets build.rustc-wrapper for this command line:
// a --config argument or a configuration file (those of the working
// directory and its parents, then $CARGO_HOME's). Absent when nothing does,
// or when one of the variables above is set and so wins anyway. Found by
// looking for the key, without reading the TOML in full.
std::optional<std::string> configured_wrapper(const CargoLine& line);

}  // namespace kelv::tool
