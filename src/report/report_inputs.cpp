#include <sys/stat.h>

#include <cstdlib>

#include "report/parts.h"
#include "report/redact.h"
#include "rustc/depinfo.h"
#include "rustc/invocation.h"
#include "util/clock.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/secret_names.h"
#include "util/utf8.h"

namespace kelv::report::parts {
namespace {

// Inputs above this size are listed without reading their content.
constexpr off_t max_hashed_bytes = off_t{8} * 1024 * 1024;

util::Json short_sha(std::string_view hex64) {
  return hex64.substr(0, 16);
}

class InputsBuilder {
 public:
  InputsBuilder(const std::filesystem::path& cwd, const std::optional<std::string>& target_dir)
      : cwd_(cwd), target_dir_(target_dir) {
    if (const char* v = std::getenv("OUT_DIR")) out_dir_ = v;
  }

  void add(const rustc::DepInfo& depinfo) {
    for (const rustc::EnvDep& dep : depinfo.env_deps) env_dep(dep);
    for (const std::string& path : depinfo.inputs) input(path);
  }

  util::Json finish() {
    return util::Json::object({{"local", std::move(local_)},
                               {"generated", std::move(generated_)},
                               {"external_count", external_count_},
                               {"env_deps", std::move(env_deps_)}});
  }

 private:
  void env_dep(const rustc::EnvDep& dep) {
    util::Json sha = nullptr;
    if (dep.value && !util::is_secret_name(dep.name)) sha = short_sha(util::sha256_hex(*dep.value));
    env_deps_.push_back(util::Json::object(
        {{"name", dep.name}, {"set", dep.value.has_value()}, {"value_sha", std::move(sha)}}));
  }

  void input(const std::string& dep_path) {
    const std::filesystem::path path = cwd_ / dep_path;
    if (rustc::is_external_source(path)) {
      ++external_count_;
      return;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    std::string text = util::path_str(path);
    const bool generated = (out_dir_ && text.starts_with(*out_dir_)) ||
                           (target_dir_ && text.starts_with(*target_dir_));
    util::Json sha = nullptr;
    if (st.st_size <= max_hashed_bytes) {
      if (auto digest = util::sha256_file(path)) sha = short_sha(*digest);
    }
    (generated ? generated_ : local_)
        .push_back(util::Json::object({{"path", std::move(text)},
                                       {"bytes", static_cast<uint64_t>(st.st_size)},
                                       {"mtime_ns", util::mtime_ns(st)},
                                       {"sha", std::move(sha)}}));
  }

  const std::filesystem::path& cwd_;
  const std::optional<std::string>& target_dir_;
  std::optional<std::string_view> out_dir_;
  util::Json local_ = util::Json::array();
  util::Json generated_ = util::Json::array();
  uint64_t external_count_ = 0;
  util::Json env_deps_ = util::Json::array();
};

}  // namespace

std::optional<util::Json> read_inputs(const std::filesystem::path& depinfo,
                                      const std::filesystem::path& cwd,
                                      const std::optional<std::string>& target_dir) {
  auto content = util::read_file(depinfo);
  if (!content || !util::is_utf8(*content)) return std::nullopt;
  InputsBuilder inputs(cwd, target_dir);
  inputs.add(rustc::parse_depinfo(*content));
  return inputs.finish();
}

}  // namespace kelv::report::parts
