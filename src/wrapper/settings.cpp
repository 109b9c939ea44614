#include "wrapper/settings.h"

#include <fmt/format.h>

#include <array>
#include <system_error>
#include <utility>
#include <variant>

#include "util/error.h"
#include "util/files.h"
#include "util/json_reader.h"

// The settings file is JSON that an earlier, Rust-based implementation read
// with serde's derived deserializer (unknown fields denied); its error texts
// are part of the format, and the JSON reader keeps them.
namespace kelv::wrapper {
namespace {

// The settings' members as the reader sees them, in declaration order.
constexpr auto kFields = [] {
  std::array<util::JsonField, util::kSettingsMembers.size()> fields;
  for (size_t k = 0; k < fields.size(); ++k) {
    fields[k] = {.name = util::kSettingsMembers[k].name,
                 .required = util::kSettingsMembers[k].required};
  }
  return fields;
}();

constexpr util::JsonStruct kShape{.name = "Settings", .fields = kFields};

}  // namespace

std::expected<Settings, std::string> Settings::parse(std::string_view bytes) {
  Settings settings;
  auto read_field = [&settings](size_t k, util::JsonReader& in) {
    return std::visit([&](auto field) { return util::read_json_value(in, settings.*field); },
                      util::kSettingsMembers[k].field);
  };
  if (auto read = util::read_json_struct(bytes, kShape, read_field); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return settings;
}

std::expected<std::optional<Settings>, std::string> Settings::read(
    const std::filesystem::path& event_dir) {
  const std::filesystem::path path = event_dir / "wrapper.settings";
  auto bytes = util::read_file(path);
  if (!bytes) {
    if (bytes.error() == std::errc::no_such_file_or_directory) return std::optional<Settings>();
    return std::unexpected(
        fmt::format("cannot read {}: {}", path.native(), util::os_error(bytes.error())));
  }
  auto settings = parse(*bytes);
  if (!settings) {
    return std::unexpected(fmt::format(
        "{} is not valid wrapper settings ({}); the kelv and kelv-rustc-wrapper binaries may be "
        "from different versions",
        path.native(), settings.error()));
  }
  return std::optional<Settings>(std::move(*settings));
}

}  // namespace kelv::wrapper
