#pragma once
#include <optional>
#include <string>
#include <vector>

#include "artifact_cache/job.h"
#include "exec/teed.h"

// Running a unit through the compiler driver, or with its diagnostics
// captured for the cache.
namespace kelv::wrapper {

// The child's command: the driver standing in for the compiler (with its
// environment) when there is one, else the compiler.
exec::Command build_command(const std::optional<std::string>& kept_objects, bool needs_bootstrap,
                            const std::string& compiler, const std::vector<std::string>& args,
                            const std::optional<std::string>& driver);

// Compiles the unit: through the driver (JSON lines shown at once, other text
// held, ready pipe) or the compiler (everything shown and kept). A driver
// that cannot be started comes back as exit code 127 with the reason held.
util::IoResult<exec::TeedResult> compile_runner(const std::optional<std::string>& kept_objects,
                                                bool needs_bootstrap, const std::string& compiler,
                                                const std::vector<std::string>& args,
                                                const std::optional<std::string>& driver,
                                                const artifact_cache::Job* job);

// Relinks the unit from kept objects, holding every diagnostic.
util::IoResult<exec::TeedResult> relink_runner(const std::optional<std::string>& kept_objects,
                                               bool needs_bootstrap, const std::string& compiler,
                                               const std::vector<std::string>& relink_args,
                                               const std::string& driver);

}  // namespace kelv::wrapper
