#include <sys/stat.h>

#include <cstdlib>

#include "report/parts.h"
#include "report/redact.h"
#include "rustc/invocation.h"
#include "util/clock.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/utf8.h"

namespace kelv::report::parts {
namespace {

// Inputs above this size are listed without reading their content.
constexpr off_t max_hashed_bytes = off_t{8} * 1024 * 1024;

constexpr std::string_view env_dep_prefix = "# env-dep:";

util::Json short_sha(std::string_view hex64) {
  return hex64.substr(0, 16);
}

class InputsBuilder {
 public:
  InputsBuilder(const std::filesystem::path& cwd, const std::optional<std::string>& target_dir)
      : cwd_(cwd), target_dir_(target_dir) {
    if (const char* v = std::getenv("OUT_DIR")) out_dir_ = v;
  }

  // One line of the dep-info file, without its line ending.
  void line(std::string_view line) {
    if (line.starts_with(env_dep_prefix)) {
      env_dep(line.substr(env_dep_prefix.size()));
    } else if (!paths_taken_ && !line.starts_with('#')) {
      const size_t sep = line.find(": ");
      if (sep == std::string_view::npos) return;
      const std::vector<std::string> paths = rustc::split_depinfo_paths(line.substr(sep + 2));
      paths_taken_ = !paths.empty();
      for (const std::string& p : paths) input(p);
    }
  }

  util::Json finish() {
    return util::Json::object({{"local", std::move(local_)},
                               {"generated", std::move(generated_)},
                               {"external_count", external_count_},
                               {"env_deps", std::move(env_deps_)}});
  }

 private:
  void env_dep(std::string_view body) {
    const size_t eq = body.find('=');
    const std::string_view name = body.substr(0, eq);
    util::Json sha = nullptr;
    if (eq != std::string_view::npos && !is_secret_name(name))
      sha = short_sha(util::sha256_hex(body.substr(eq + 1)));
    env_deps_.push_back(util::Json::object(
        {{"name", name}, {"set", eq != std::string_view::npos}, {"value_sha", std::move(sha)}}));
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
  bool paths_taken_ = false;
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
  util::for_each_line(*content, [&](std::string_view line) { inputs.line(line); });
  return inputs.finish();
}

}  // namespace kelv::report::parts
