#include "kelv/user_wrapper.h"

#include <cstdlib>
#include <string_view>
#include <vector>

#include "util/files.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/text.h"

namespace kelv::tool {
namespace {

namespace fs = std::filesystem;

// Whether the program (a path, or a name looked up along PATH) is a
// kelv-rustc-wrapper.
bool is_kelv_wrapper(const std::string& program, const fs::path& own) {
  fs::path found = program;
  if (program.find('/') == std::string::npos) {
    auto on_path = util::which(program);
    if (!on_path) return false;
    found = *on_path;
  }
  return found.filename() == own.filename() || util::canon(found) == util::canon(own);
}

// Whether a line of TOML assigns rustc-wrapper: `rustc-wrapper = ...` under
// [build], `build.rustc-wrapper = ...`, or inside `build = { ... }`.
bool sets_rustc_wrapper(std::string_view line) {
  line = line.substr(0, line.find('#'));
  for (size_t at = line.find("rustc-wrapper"); at != std::string_view::npos;
       at = line.find("rustc-wrapper", at + 1)) {
    const std::string_view after = util::trim(line.substr(at + 13));
    if (after.starts_with('=')) return true;
  }
  return false;
}

bool file_sets_rustc_wrapper(const fs::path& file) {
  auto text = util::read_file(file);
  if (!text) return false;
  bool found = false;
  util::for_each_line(*text,
                      [&](std::string_view line) { return found = sets_rustc_wrapper(line); });
  return found;
}

// Cargo's configuration files in the order it reads them: .cargo/config.toml
// (or the older .cargo/config) of the directory and each parent, then
// $CARGO_HOME's (~/.cargo).
std::vector<fs::path> config_files(const fs::path& dir) {
  std::vector<fs::path> files;
  for (fs::path d = dir;; d = d.parent_path()) {
    for (const char* name : {".cargo/config.toml", ".cargo/config"}) files.push_back(d / name);
    if (d == d.parent_path()) break;
  }
  const fs::path home_dir = util::cargo_home();
  if (!home_dir.empty())
    for (const char* name : {"config.toml", "config"}) files.push_back(home_dir / name);
  return files;
}

}  // namespace

std::optional<UserWrapper> user_wrapper(const fs::path& own) {
  for (const char* variable : {"RUSTC_WRAPPER", "CARGO_BUILD_RUSTC_WRAPPER"}) {
    const char* value = std::getenv(variable);
    if (!value) continue;
    std::string program = value;
    if (program.empty() || is_kelv_wrapper(program, own)) return std::nullopt;
    // Cargo takes a path with a slash relative to where it starts; units run
    // elsewhere.
    std::error_code ec;
    if (program.find('/') != std::string::npos)
      if (fs::path absolute = fs::absolute(program, ec); !ec) program = absolute.native();
    return UserWrapper{variable, program};
  }
  return std::nullopt;
}

std::optional<std::string> configured_wrapper(const CargoLine& line) {
  if (std::getenv("RUSTC_WRAPPER") || std::getenv("CARGO_BUILD_RUSTC_WRAPPER")) return std::nullopt;
  for (size_t i = 0; i + 1 < line.global_options.size(); ++i)
    if (line.global_options[i] == "--config" && sets_rustc_wrapper(line.global_options[i + 1]))
      return "--config " + line.global_options[i + 1];
  for (const fs::path& file : config_files(working_dir(line)))
    if (file_sets_rustc_wrapper(file)) return util::path_str(file);
  return std::nullopt;
}

}  // namespace kelv::tool
