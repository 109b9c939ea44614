#pragma once
#include <filesystem>
#include <optional>
#include <string_view>

// What a unit's code generation options imply for the cache: the files whose
// content the output depends on, and whether link-time optimisation puts the
// upstream crates' code into the unit's own object files.
namespace kelv::artifact_cache {

// The value of a "-C" or "-Z" option that names an input file whose content
// changes the output ("profile-use=FILE", "profile-sample-use=FILE", a
// "codegen-backend=" given as a path), or nothing.
std::optional<std::string_view> option_file(std::string_view value);

// The target's JSON description that rustc reads for `--target`: the value
// itself when it names a ".json" file, else the first "<target>.json" in
// the directories of RUST_TARGET_PATH (rustc takes a built-in target first;
// keying that file anyway costs nothing).
std::optional<std::filesystem::path> target_spec_file(std::string_view target);

// Whether "-C lto" with this value (nothing for a bare "-C lto") turns
// link-time optimisation on. Values rustc rejects count as on.
bool lto_enabled(std::optional<std::string_view> value);

// Whether the target makes rustc use link-time optimisation whatever the
// options say: a built-in target that requires it, or a JSON description
// with "requires-lto" that is true, or that cannot be read as an object.
bool target_requires_lto(std::string_view target,
                         const std::optional<std::filesystem::path>& json_file);

}  // namespace kelv::artifact_cache
