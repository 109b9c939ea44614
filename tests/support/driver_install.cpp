#include "support/driver_install.h"

#include <cstdlib>
#include <stdexcept>

#include "driver/driver.h"
#include "driver/rustc_info.h"
#include "support/testing.h"

namespace kelv::testing {

std::filesystem::path install_stand_in_driver(const std::filesystem::path& kelv_home) {
  return install_stand_in_driver(kelv_home, real_rustc());
}

std::filesystem::path install_stand_in_driver(const std::filesystem::path& kelv_home,
                                              const std::string& rustc) {
  const char* saved = std::getenv("KELV_HOME");
  const std::optional<std::string> previous =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("KELV_HOME", kelv_home.c_str(), 1);
  auto compiler = rustc_info::Compiler::of(rustc);
  std::optional<std::filesystem::path> dir;
  if (compiler) dir = driver::dir(*compiler);
  if (previous)
    ::setenv("KELV_HOME", previous->c_str(), 1);
  else
    ::unsetenv("KELV_HOME");
  if (!dir) throw std::runtime_error("no driver directory for " + rustc);
  std::filesystem::create_directories(*dir);
  const auto exe = *dir / "kelv-rustc-driver";
  std::filesystem::copy_file(KELV_STAND_IN_DRIVER_EXE, exe,
                             std::filesystem::copy_options::overwrite_existing);
  return exe;
}

std::vector<util::Json> read_reports(const std::filesystem::path& event_dir) {
  std::vector<util::Json> reports;
  for (const auto& e : std::filesystem::directory_iterator(event_dir)) {
    if (e.path().extension() != ".json") continue;
    if (auto r = util::read_json(e.path())) reports.push_back(std::move(*r));
  }
  std::sort(reports.begin(), reports.end(), [](const util::Json& a, const util::Json& b) {
    return a.value("start_wall_ns", 0ull) < b.value("start_wall_ns", 0ull);
  });
  return reports;
}

std::optional<util::Json> report_of(const std::vector<util::Json>& reports,
                                    const std::string& crate) {
  std::optional<util::Json> found;
  for (const auto& r : reports) {
    if (r.value("kind", "") != "compile" || !r.contains("args")) continue;
    const auto& args = r["args"];
    for (size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == "--crate-name" && args[i + 1] == crate) found = r;
  }
  return found;
}

}  // namespace kelv::testing
