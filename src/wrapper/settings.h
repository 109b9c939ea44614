#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "util/settings_schema.h"

namespace kelv::wrapper {

// The wrapper's settings, read from "wrapper.settings" in the event directory.
struct Settings : util::SettingsValues {
  // Settings present, absent (no file), or an error text ready to print.
  static std::expected<std::optional<Settings>, std::string> read(
      const std::filesystem::path& event_dir);

  // Parses the file's bytes; the error is the parser's text with its
  // position ("... at line L column C").
  static std::expected<Settings, std::string> parse(std::string_view bytes);
};

}  // namespace kelv::wrapper
