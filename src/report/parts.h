#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/files.h"
#include "util/text.h"

// The pieces of a report that look at the file system: argument files, the
// unit's outputs and the inputs named by its dep-info file.
namespace kelv::report::parts {

// The arguments as text, each "@file" replaced by the file's lines when the
// file reads as UTF-8 text.
std::vector<std::string> expand_arg_files(std::span<const std::string> args);

// Adds "rmeta_ready_ns" (when the metadata file was written after the start)
// and "outputs": the unit's output files written at most 2 s before the start.
void add_outputs(util::Json& report, const std::filesystem::path& out_dir, std::string_view stem,
                 uint64_t start_wall_ns, uint64_t dur_ns);

// The "inputs" object from the dep-info file; absent when the file cannot be
// read as UTF-8 text.
std::optional<util::Json> read_inputs(const std::filesystem::path& depinfo,
                                      const std::filesystem::path& cwd,
                                      const std::optional<std::string>& target_dir);

}  // namespace kelv::report::parts
