#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "driver/rustc_info.h"

// Where a toolchain's compiler driver lives, and the units on which it failed.
namespace kelv::driver {

// Key digest of the carried driver project and the canonical sysroot.
std::string source_digest(const std::filesystem::path& sysroot);

// home/cache/drivers/<commit(12)>-<host>-<source digest(16)>; absent when the
// version text lacks a commit-hash or host line.
std::optional<std::filesystem::path> dir(const rustc_info::Compiler& compiler);

// The driver executable, when it is an executable regular file.
std::optional<std::filesystem::path> find(const rustc_info::Compiler& compiler);

// Whether the driver once failed on the unit.
bool failed_before(const std::filesystem::path& driver, std::string_view unit_name);

// Writes the unit's failure marker; its path, or an error text.
std::expected<std::filesystem::path, std::string> record_failure(
    const std::filesystem::path& driver, std::string_view unit_name, std::string_view text);

}  // namespace kelv::driver
