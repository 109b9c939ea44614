#include <sys/stat.h>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/job.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"

namespace kelv::artifact_cache {

std::expected<void, std::string> record_link_inputs(const fs::path& cache_dir,
                                                    std::span<const std::string> args) {
  std::optional<std::string_view> out_dir, crate_name;
  std::string_view extra_filename;
  std::vector<std::string_view> externs;
  // "--opt value", "--optvalue" or "--opt=value"; an option standing last
  // has no value and is ignored.
  const auto value_of = [&](size_t& i, std::string_view option) -> std::optional<std::string_view> {
    std::string_view a = args[i];
    if (!a.starts_with(option)) return std::nullopt;
    if (a.size() == option.size()) {
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string_view(args[++i]);
    }
    a.remove_prefix(option.size());
    if (a.starts_with('=')) a.remove_prefix(1);
    return a;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    if (auto v = value_of(i, "--out-dir")) {
      out_dir = v;
    } else if (auto v = value_of(i, "--crate-name")) {
      crate_name = v;
    } else if (auto v = value_of(i, "--extern")) {
      externs.push_back(*v);
    } else if (auto v = value_of(i, "-C")) {
      if (v->starts_with("extra-filename=")) extra_filename = v->substr(15);
    }
  }

  util::Json deps = util::Json::array();
  if (std::any_of(externs.begin(), externs.end(),
                  [](std::string_view e) { return e.find('=') != std::string_view::npos; })) {
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    if (ec) return std::unexpected(util::os_error(ec));
    for (std::string_view e : externs) {
      const size_t eq = e.find('=');
      if (eq == std::string_view::npos) continue;
      deps.push_back({e.substr(0, eq), util::path_str(cwd / e.substr(eq + 1))});
    }
  }
  if (!out_dir || !crate_name) return {};
  const fs::path rlib = fs::path(*out_dir) /
                        ("lib" + std::string(*crate_name) + std::string(extra_filename) + ".rlib");
  struct stat st;
  if (::stat(rlib.c_str(), &st) != 0) return {};
  if (auto made = util::create_dirs(cache_dir / "l"); !made)
    return std::unexpected(util::os_error(made.error()));
  util::Json record = util::Json::object();
  record["rlib"] = util::path_str(rlib);
  record["deps"] = std::move(deps);
  if (auto w = util::write_json_fast(cache_dir / "l" / util::key_digest({fingerprint(st)}), record);
      !w)
    return std::unexpected(util::os_error(w.error()));
  return {};
}

}  // namespace kelv::artifact_cache
