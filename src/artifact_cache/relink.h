#pragma once
#include <expected>
#include <filesystem>
#include <span>
#include <string>

// Relinking a unit from kept objects instead of compiling it. The per-unit
// operations are the Job's (`rlink_path`, `kept_objects`,
// `forget_kept_objects`, `record_kept_objects`, `prepare_relink`, in
// kept_objects.cpp); the link records of libraries, which link hashes
// follow, are kept here.
namespace kelv::artifact_cache {

// Records which libraries the unit's .rlib was compiled against.
std::expected<void, std::string> record_link_inputs(const std::filesystem::path& cache_dir,
                                                    std::span<const std::string> args);

}  // namespace kelv::artifact_cache
