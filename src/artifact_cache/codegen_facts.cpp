#include "artifact_cache/codegen_facts.h"

#include <cstdlib>
#include <system_error>

#include "util/files.h"

namespace kelv::artifact_cache {

std::optional<std::string_view> option_file(std::string_view value) {
  for (std::string_view name : {"profile-use=", "profile-sample-use="})
    if (value.starts_with(name)) return value.substr(name.size());
  // rustc loads a backend named with a dot from that file.
  constexpr std::string_view backend = "codegen-backend=";
  if (value.starts_with(backend) && value.find('.', backend.size()) != std::string_view::npos)
    return value.substr(backend.size());
  return std::nullopt;
}

std::optional<std::filesystem::path> target_spec_file(std::string_view target) {
  if (target.ends_with(".json")) return std::filesystem::path(target);
  const char* dirs = std::getenv("RUST_TARGET_PATH");
  if (!dirs) return std::nullopt;
  std::string_view rest = dirs;
  while (true) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    if (!dir.empty()) {
      std::filesystem::path candidate = std::filesystem::path(dir) / target;
      candidate += ".json";
      std::error_code ec;
      if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

bool lto_enabled(std::optional<std::string_view> value) {
  if (!value) return true;
  return !(*value == "n" || *value == "no" || *value == "off" || *value == "false");
}

bool target_requires_lto(std::string_view target,
                         const std::optional<std::filesystem::path>& json_file) {
  // rustc's built-in targets with `requires_lto`.
  if (target == "amdgcn-amd-amdhsa") return true;
  if (!json_file) return false;
  const auto json = util::read_json(*json_file);
  if (!json || !json->is_object()) return true;
  const auto found = json->find("requires-lto");
  if (found == json->end()) return false;
  return !found->is_boolean() || found->get<bool>();
}

}  // namespace kelv::artifact_cache
