#include "kelv/config.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>
#include <variant>

#include "remote/url.h"
#include "util/files.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/ui.h"

namespace kelv::tool {

namespace {

// Why the file may not set a member to a value.
enum class Refusal { none, wrong_type, too_large };

Refusal take(const util::Json& value, bool& out) {
  if (!value.is_boolean()) return Refusal::wrong_type;
  out = value.get<bool>();
  return Refusal::none;
}

Refusal take(const util::Json& value, std::string& out) {
  if (!value.is_string()) return Refusal::wrong_type;
  out = value.get<std::string>();
  return Refusal::none;
}

Refusal take(const util::Json& value, uint64_t& out) {
  if (!value.is_number_unsigned()) return Refusal::wrong_type;
  out = value.get<uint64_t>();
  return Refusal::none;
}

Refusal take(const util::Json& value, uint32_t& out) {
  if (!value.is_number_unsigned()) return Refusal::wrong_type;
  if (value.get<uint64_t>() > UINT32_MAX) return Refusal::too_large;
  out = value.get<uint32_t>();
  return Refusal::none;
}

template <class T>
Refusal take(const util::Json& value, T& out, const T& /*fallback*/) {
  return take(value, out);
}

// Null leaves an optional member absent, which a member with a default value
// may not be.
template <class T>
Refusal take(const util::Json& value, std::optional<T>& out, const std::optional<T>& fallback) {
  if (value.is_null()) {
    if (fallback) return Refusal::wrong_type;
    out.reset();
    return Refusal::none;
  }
  T inner{};
  const Refusal refusal = take(value, inner);
  if (refusal == Refusal::none) out = std::move(inner);
  return refusal;
}

// Sets the member `key` as the file gives it; the reason when it may not.
std::expected<void, std::string> configure(util::SettingsValues& settings,
                                           const util::SettingsValues& fallback,
                                           const std::string& key, const util::Json& value) {
  const auto member = std::ranges::find(util::kSettingsMembers, key, &util::SettingsMember::name);
  Refusal refusal = Refusal::wrong_type;
  if (member != util::kSettingsMembers.end() && member->configurable) {
    refusal = std::visit([&](auto field) { return take(value, settings.*field, fallback.*field); },
                         member->field);
  }
  if (refusal == Refusal::too_large) return std::unexpected(fmt::format("{} is too large", key));
  if (refusal == Refusal::wrong_type) {
    return std::unexpected(fmt::format("unexpected member `{}` or wrong type", key));
  }
  return {};
}

// The server address of "remote_cache" (null: none), checked as the wrapper
// will read it.
std::expected<std::optional<std::string>, std::string> remote_cache_of(const util::Json& value) {
  if (value.is_null()) return std::nullopt;
  if (!value.is_string()) return std::unexpected("remote_cache must be a text");
  const std::string text = value.get<std::string>();
  if (auto parsed = remote::parse_server_url(text); !parsed) {
    // The parser's texts name the variable; here the address is the member.
    std::string why = parsed.error();
    constexpr std::string_view variable = "KELV_REMOTE_CACHE";
    if (why.starts_with(variable)) why.replace(0, variable.size(), "remote_cache");
    return std::unexpected(why);
  }
  return text;
}

// The bound "max_cache_size" sets; absent (after one WARN line) when the
// value is not a size, so that a typo never stops a build.
std::optional<uint64_t> max_cache_size_of(const util::Json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_string())
    if (auto size = parse_size(value.get<std::string>())) return size;
  util::ui::say(util::ui::Level::warn,
                fmt::format("kelv: {}: max_cache_size {} is not a size (examples: \"500M\", "
                            "\"10G\"); the cache is kept within {}",
                            Config::file().native(),
                            value.dump(-1, ' ', false, util::Json::error_handler_t::replace),
                            format_size(Config::default_max_cache_size)));
  return std::nullopt;
}

}  // namespace

std::filesystem::path Config::file() {
  return util::kelv_home() / "config.json";
}

std::expected<Config, std::string> Config::load() {
  const util::SettingsValues fallback{
      .artifact_cache = util::path_str(util::kelv_home() / "cache" / "artifacts"),
      .early_cutoff = true};
  Config config{.settings = fallback};
  const std::filesystem::path path = file();
  auto text = util::read_file(path);
  if (!text && text.error() != std::errc::no_such_file_or_directory) {
    return std::unexpected(
        fmt::format("cannot read {}: {}", path.native(), util::os_error(text.error())));
  }
  if (text) {
    const auto bad = [&](std::string_view why) {
      return std::unexpected(
          fmt::format("{} is not a valid kelv configuration: {}", path.native(), why));
    };
    auto json = util::parse_json(*text);
    if (!json || !json->is_object()) return bad("expected a JSON object");
    for (const auto& [key, value] : json->items()) {
      if (key == "max_cache_size") {
        config.max_cache_size = max_cache_size_of(value).value_or(Config::default_max_cache_size);
        continue;
      }
      if (key == "remote_cache") {
        if (auto remote = remote_cache_of(value); remote)
          config.remote_cache = std::move(*remote);
        else
          return bad(remote.error());
        continue;
      }
      if (auto set = configure(config.settings, fallback, key, value); !set)
        return bad(set.error());
    }
  }
  config.artifact_cache = *config.settings.artifact_cache;
  return config;
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
