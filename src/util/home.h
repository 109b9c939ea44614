#pragma once
#include <filesystem>
#include <string_view>

namespace kelv::util {

// The product's home directory: KELV_HOME, else $HOME/.kelv (USERPROFILE when
// HOME is unset), else the temporary directory's "kelv". Never created here.
std::filesystem::path kelv_home();

// Cargo's home: CARGO_HOME, else $HOME/.cargo; empty when neither is set.
std::filesystem::path cargo_home();

// home/cache/memo/<name>; the caller creates it.
std::filesystem::path memo_dir(std::string_view name);

}  // namespace kelv::util
