#include "driver/driver.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include "driver/project_text.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/home.h"
#include "util/paths.h"

namespace kelv::driver {
namespace {

constexpr std::string_view executable_name = "kelv-rustc-driver";

std::filesystem::path marker_path(const std::filesystem::path& driver, std::string_view unit) {
  return driver.parent_path() / "failed" / unit;
}

}  // namespace

std::string source_digest(const std::filesystem::path& sysroot) {
  const std::string root = util::path_str(util::canon(sysroot));
  return util::key_digest_from(project_digest_state, {root});
}

std::optional<std::filesystem::path> dir(const rustc_info::Compiler& compiler) {
  const auto commit = rustc_info::version_field(compiler.version_text, "commit-hash: ");
  const auto host = rustc_info::version_field(compiler.version_text, "host: ");
  if (!commit || !host) return std::nullopt;
  const std::string name = fmt::format("{}-{}-{}", commit->substr(0, 12), *host,
                                       source_digest(compiler.sysroot).substr(0, 16));
  return util::kelv_home() / "cache" / "drivers" / name;
}

std::optional<std::filesystem::path> find(const rustc_info::Compiler& compiler) {
  auto directory = dir(compiler);
  if (!directory) return std::nullopt;
  std::filesystem::path exe = *directory / executable_name;
  struct stat st;
  if (::stat(exe.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & 0111))
    return std::nullopt;
  return exe;
}

bool failed_before(const std::filesystem::path& driver, std::string_view unit_name) {
  struct stat st;
  return ::stat(marker_path(driver, unit_name).c_str(), &st) == 0;
}

std::expected<std::filesystem::path, std::string> record_failure(
    const std::filesystem::path& driver, std::string_view unit_name, std::string_view text) {
  const std::filesystem::path marker = marker_path(driver, unit_name);
  if (auto made = util::create_dirs(marker.parent_path()); !made)
    return std::unexpected(fmt::format("cannot create {}: {}", marker.parent_path().native(),
                                       util::os_error(made.error())));
  if (auto written = util::write_atomic(marker, text); !written)
    return std::unexpected(
        fmt::format("cannot write {}: {}", marker.native(), util::os_error(written.error())));
  return marker;
}

}  // namespace kelv::driver
