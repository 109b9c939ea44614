#pragma once
#include <filesystem>
#include <vector>

#include "util/files.h"

namespace kelv::testing {

// Copies the stand-in driver to where the wrapper looks for the driver of the
// real toolchain under `kelv_home`; returns its path.
std::filesystem::path install_stand_in_driver(const std::filesystem::path& kelv_home);

// The same for the toolchain whose compiler is `rustc`.
std::filesystem::path install_stand_in_driver(const std::filesystem::path& kelv_home,
                                              const std::string& rustc);

// Every report in the event directory.
std::vector<util::Json> read_reports(const std::filesystem::path& event_dir);

// The compile report of the crate, the last one written.
std::optional<util::Json> report_of(const std::vector<util::Json>& reports,
                                    const std::string& crate);

}  // namespace kelv::testing
