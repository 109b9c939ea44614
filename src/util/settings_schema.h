#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "util/files.h"

// The wrapper's settings file, "wrapper.settings" in the event directory:
// `kelv` writes it (from its own configuration and the build) and the wrapper
// reads it. Both programs take the members from the table below, so a member
// is added by adding its field and its row.
namespace kelv::util {

struct SettingsValues {
  std::optional<std::string> artifact_cache;  // the artifact cache's directory; absent: no cache
  std::optional<uint32_t> frontend_threads;   // asked of the compiler with "-Zthreads="
  uint64_t min_link_store_ns = 0;         // linked workspace units compiled faster are not stored
  std::optional<std::string> linker_dir;  // handed to the linker driver as "-B"
  bool early_cutoff = false;              // units may run through the compiler driver
  std::optional<std::string> target_dir;  // Cargo's target directory, for the reports
  bool path_independent = false;          // remap the checkout's directories to fixed names
};

// A member's field. Its JSON kind follows from the type: a string, an
// unsigned integer of that width or a boolean; null too when optional.
using SettingsField = std::variant<std::optional<std::string> SettingsValues::*,
                                   std::optional<uint32_t> SettingsValues::*,
                                   uint64_t SettingsValues::*, bool SettingsValues::*>;

struct SettingsMember {
  std::string_view name;
  SettingsField field;
  bool required = false;     // the file must hold it; an optional member left out is absent
  bool configurable = true;  // $KELV_HOME/config.json may set it; if not, it is each build's own
};

// In declaration order: the order written, the order of the array form, and
// the order in which messages list the members.
inline constexpr std::array<SettingsMember, 7> kSettingsMembers{{
    {.name = "artifact_cache", .field = &SettingsValues::artifact_cache},
    {.name = "frontend_threads", .field = &SettingsValues::frontend_threads},
    {.name = "min_link_store_ns", .field = &SettingsValues::min_link_store_ns, .required = true},
    {.name = "linker_dir", .field = &SettingsValues::linker_dir},
    {.name = "early_cutoff", .field = &SettingsValues::early_cutoff, .required = true},
    {.name = "target_dir", .field = &SettingsValues::target_dir, .configurable = false},
    {.name = "path_independent", .field = &SettingsValues::path_independent},
}};

// The settings as the file holds them: every member in declaration order, an
// absent one as null.
Json settings_json(const SettingsValues& values);

}  // namespace kelv::util
