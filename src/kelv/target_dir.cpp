#include "kelv/target_dir.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "exec/proc.h"
#include "util/files.h"

namespace kelv::tool {
namespace {

namespace fs = std::filesystem;

// The value of the option `name` at args[i]: "--name value", "--name=value",
// and for a short option also "-Nvalue". Moves i onto a separate value.
std::optional<std::string> take(std::string_view name, std::span<const std::string> args,
                                size_t& i) {
  const std::string& arg = args[i];
  if (arg == name) {
    if (i + 1 >= args.size()) return std::nullopt;  // cargo reports the missing value itself
    return args[++i];
  }
  if (!arg.starts_with(name)) return std::nullopt;
  const std::string_view rest = std::string_view(arg).substr(name.size());
  if (rest.starts_with('=')) return std::string(rest.substr(1));
  if (name.size() == 2) return std::string(rest);  // a short option: "-Zflag"
  return std::nullopt;
}

// "target_directory" as `cargo metadata` reports it. Without dependencies
// Cargo resolves nothing and needs no network; it reads the manifests and
// the configuration, the same ones the build will read.
std::optional<fs::path> reported_target_dir(const CargoLine& line, const fs::path& cargo) {
  exec::Command cmd{.program = cargo.native(), .args = {}};
  if (line.toolchain) cmd.args.push_back(*line.toolchain);
  cmd.args.insert(cmd.args.end(), line.global_options.begin(), line.global_options.end());
  for (const char* arg : {"metadata", "--format-version", "1", "--no-deps", "--offline"})
    cmd.args.emplace_back(arg);
  cmd.args.insert(cmd.args.end(), line.manifest_options.begin(), line.manifest_options.end());
  auto run = exec::capture_output(std::move(cmd));
  if (!run || !run->status.success()) return std::nullopt;
  const auto metadata = util::parse_json(run->out);
  if (!metadata || !metadata->is_object()) return std::nullopt;
  const auto found = metadata->find("target_directory");
  if (found == metadata->end() || !found->is_string()) return std::nullopt;
  fs::path dir = found->get<std::string>();
  if (!dir.is_absolute()) return std::nullopt;
  return dir;
}

}  // namespace

CargoLine read_cargo_line(std::span<const std::string> args) {
  CargoLine line;
  size_t i = 0;
  if (!args.empty() && args[0].starts_with('+')) line.toolchain = args[i++];
  for (; i < args.size() && args[i] != "--"; ++i) {
    if (auto v = take("--config", args, i)) {
      line.global_options.insert(line.global_options.end(), {"--config", *v});
    } else if (auto z = take("-Z", args, i)) {
      line.global_options.insert(line.global_options.end(), {"-Z", *z});
    } else if (auto dir = take("--target-dir", args, i)) {
      line.target_dir = *dir;
    } else if (auto manifest = take("--manifest-path", args, i)) {
      line.manifest_options.insert(line.manifest_options.end(), {"--manifest-path", *manifest});
    } else if (line.subcommand) {
      continue;  // the subcommand's own options and arguments
    } else if (auto cd = take("-C", args, i)) {
      line.directory = *cd;
      line.global_options.insert(line.global_options.end(), {"-C", *cd});
    } else if (take("--color", args, i) || take("--explain", args, i)) {
      continue;
    } else if (!args[i].starts_with('-')) {
      line.subcommand = args[i];
    }
  }
  return line;
}

fs::path working_dir(const CargoLine& line) {
  std::error_code ec;
  const fs::path here = fs::current_path(ec);
  return line.directory ? here / *line.directory : here;
}

bool asks_cargo(const std::optional<std::string>& subcommand) {
  // clang-format off
  static constexpr std::string_view compile_nothing[] = {
      "add", "clean", "config", "fetch", "generate-lockfile", "help", "info", "init", "install",
      "locate-project", "login", "logout", "metadata", "new", "owner", "pkgid", "read-manifest",
      "remove", "rm", "report", "search", "tree", "uninstall", "update", "vendor",
      "verify-project", "version", "yank"};
  // clang-format on
  return subcommand && std::ranges::find(compile_nothing, *subcommand) == std::end(compile_nothing);
}

std::optional<fs::path> target_dir(const CargoLine& line, const fs::path& cargo) {
  const fs::path base = working_dir(line);
  if (line.target_dir && !line.target_dir->empty()) return base / *line.target_dir;
  // Cargo prefers this variable to its configuration, --config included, so
  // there is nothing to ask.
  if (const char* value = std::getenv("CARGO_TARGET_DIR"); value && *value) return base / value;
  if (asks_cargo(line.subcommand))
    if (auto reported = reported_target_dir(line, cargo)) return reported;
  // Cargo could not be asked, or was not worth asking: the variable still
  // holds unless a configuration file or --config said otherwise.
  if (const char* value = std::getenv("CARGO_BUILD_TARGET_DIR"); value && *value)
    return base / value;
  return std::nullopt;
}

}  // namespace kelv::tool
