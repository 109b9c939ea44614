#include <sys/stat.h>

#include <algorithm>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/layout.h"
#include "artifact_cache/relink.h"
#include "rustc/options.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"

namespace kelv::artifact_cache {
namespace {

// What the link record needs of the unit's arguments.
struct LinkArguments {
  std::optional<std::string_view> out_dir, crate_name;
  std::string_view extra_filename;
  std::vector<std::string_view> externs;
};

// An option standing last has no value and is ignored.
LinkArguments read_link_arguments(std::span<const std::string> args) {
  LinkArguments read;
  const auto value_of = [&](size_t& i, std::string_view option) {
    return rustc::take_value(args, i, option, rustc::Attached::rest_without_equals,
                             rustc::LastWithoutValue::absent);
  };
  for (size_t i = 0; i < args.size(); ++i) {
    if (auto v = value_of(i, "--out-dir")) {
      read.out_dir = v;
    } else if (auto v = value_of(i, "--crate-name")) {
      read.crate_name = v;
    } else if (auto v = value_of(i, "--extern")) {
      read.externs.push_back(*v);
    } else if (auto v = value_of(i, "-C")) {
      if (v->starts_with("extra-filename=")) read.extra_filename = v->substr(15);
    }
  }
  return read;
}

// [name, absolute path] of every "--extern NAME=PATH".
std::expected<util::Json, std::string> link_deps(const std::vector<std::string_view>& externs) {
  util::Json deps = util::Json::array();
  const auto has_path = [](std::string_view e) { return e.find('=') != std::string_view::npos; };
  if (std::none_of(externs.begin(), externs.end(), has_path)) return deps;
  std::error_code ec;
  const fs::path cwd = fs::current_path(ec);
  if (ec) return std::unexpected(util::os_error(ec));
  for (std::string_view e : externs) {
    const size_t eq = e.find('=');
    if (eq != std::string_view::npos)
      deps.push_back({e.substr(0, eq), util::path_str(cwd / e.substr(eq + 1))});
  }
  return deps;
}

}  // namespace

std::expected<void, std::string> record_link_inputs(
    const fs::path& cache_dir, std::span<const std::string> args,
    std::optional<std::span<const NativeInput>> natives) {
  if (!natives && native_arguments(args).names_any()) return {};
  const LinkArguments read = read_link_arguments(args);
  auto deps = link_deps(read.externs);
  if (!deps) return std::unexpected(deps.error());
  if (!read.out_dir || !read.crate_name) return {};
  const fs::path rlib = fs::path(*read.out_dir) / ("lib" + std::string(*read.crate_name) +
                                                   std::string(read.extra_filename) + ".rlib");
  struct stat st;
  if (::stat(rlib.c_str(), &st) != 0) return {};
  util::Json record = util::Json::object();
  record["rlib"] = util::path_str(rlib);
  record["deps"] = std::move(*deps);
  util::Json native = util::Json::array();
  if (natives)
    for (const NativeInput& input : *natives)
      native.push_back(
          {input.what, input.file ? util::Json(util::path_str(*input.file)) : util::Json(nullptr)});
  record["native"] = std::move(native);
  const fs::path path = layout::link_record(cache_dir, util::key_digest({fingerprint(st)}));
  if (auto w = util::write_json_fast(path, record); !w)
    return std::unexpected(util::os_error(w.error()));
  return {};
}

}  // namespace kelv::artifact_cache
