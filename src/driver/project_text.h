#pragma once
#include <string_view>

// The driver's Cargo project, carried verbatim (generated from
// driver_project/ at build time).
namespace kelv::driver {
extern const std::string_view manifest_text;
extern const std::string_view main_rs_text;
extern const std::string_view early_link_rs_text;
}  // namespace kelv::driver
