#include "kelv/config.h"

#include <fmt/format.h>

#include <cctype>
#include <charconv>

#include "util/files.h"
#include "util/home.h"

namespace kelv::tool {

std::filesystem::path Config::file() { return util::kelv_home() / "config.json"; }

std::expected<Config, std::string> Config::load() {
  Config config;
  config.artifact_cache = util::kelv_home() / "cache" / "artifacts";
  const std::filesystem::path path = file();
  auto text = util::read_file(path);
  if (!text) {
    if (text.error() == std::errc::no_such_file_or_directory) return config;
    return std::unexpected(
        fmt::format("cannot read {}: {}", path.native(), util::os_error(text.error())));
  }
  auto json = util::parse_json(*text);
  const auto bad = [&](std::string_view why) {
    return std::unexpected(fmt::format("{} is not a valid kelv configuration: {}", path.native(), why));
  };
  if (!json || !json->is_object()) return bad("expected a JSON object");
  for (const auto& [key, value] : json->items()) {
    if (key == "artifact_cache" && value.is_string()) {
      config.artifact_cache = value.get<std::string>();
    } else if (key == "early_cutoff" && value.is_boolean()) {
      config.early_cutoff = value.get<bool>();
    } else if (key == "min_link_store_ns" && value.is_number_unsigned()) {
      config.min_link_store_ns = value.get<uint64_t>();
    } else if (key == "frontend_threads" && (value.is_null() || value.is_number_unsigned())) {
      if (value.is_null()) {
        config.frontend_threads.reset();
      } else if (value.get<uint64_t>() > UINT32_MAX) {
        return bad("frontend_threads is too large");
      } else {
        config.frontend_threads = value.get<uint32_t>();
      }
    } else if (key == "linker_dir" && (value.is_null() || value.is_string())) {
      if (value.is_null())
        config.linker_dir.reset();
      else
        config.linker_dir = value.get<std::string>();
    } else {
      return bad(fmt::format("unexpected member `{}` or wrong type", key));
    }
  }
  return config;
}

std::optional<uint64_t> parse_size(std::string_view text) {
  uint64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  std::string unit(end, text.data() + text.size());
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit.ends_with("IB")) unit.erase(unit.size() - 2);
  else if (unit.size() > 1 && unit.ends_with("B")) unit.pop_back();
  else if (unit == "B") unit.clear();
  int shift = 0;
  if (unit == "K") shift = 10;
  else if (unit == "M") shift = 20;
  else if (unit == "G") shift = 30;
  else if (unit == "T") shift = 40;
  else if (!unit.empty()) return std::nullopt;
  if (shift && n > (UINT64_MAX >> shift)) return std::nullopt;
  return n << shift;
}

std::string format_size(uint64_t bytes) {
  static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int u = 0;
  while (value >= 1024 && u < 4) {
    value /= 1024;
    ++u;
  }
  return u == 0 ? fmt::format("{} B", bytes) : fmt::format("{:.1f} {}", value, units[u]);
}

}  // namespace kelv::tool
