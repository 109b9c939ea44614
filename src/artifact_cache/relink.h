#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "artifact_cache/native_inputs.h"

// Relinking a unit from kept objects instead of compiling it. The per-unit
// operations are the Job's (`rlink_path`, `kept_objects`,
// `forget_kept_objects`, `record_kept_objects`, `prepare_relink`, in
// kept_objects.cpp); the link records of libraries, which link hashes
// follow, are kept here.
namespace kelv::artifact_cache {

// Records which libraries the unit's .rlib was compiled against, and the
// native files that linking it pulls in: `natives` as its cache job
// resolved them. Without a job (nullopt) a library that names native
// inputs gets no record, so that nothing links it unkeyed.
std::expected<void, std::string> record_link_inputs(
    const std::filesystem::path& cache_dir, std::span<const std::string> args,
    std::optional<std::span<const NativeInput>> natives);

}  // namespace kelv::artifact_cache
