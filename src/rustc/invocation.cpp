#include "rustc/invocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "util/hash.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/utf8.h"

namespace kelv::rustc {
namespace {

// Options whose value is the next element when they stand alone.
constexpr std::array<std::string_view, 34> value_options = {"--crate-name",
                                                            "--crate-type",
                                                            "--edition",
                                                            "--emit",
                                                            "--out-dir",
                                                            "-o",
                                                            "-L",
                                                            "-l",
                                                            "--extern",
                                                            "-C",
                                                            "--codegen",
                                                            "-Z",
                                                            "--cfg",
                                                            "--check-cfg",
                                                            "--cap-lints",
                                                            "--target",
                                                            "--error-format",
                                                            "--json",
                                                            "--diagnostic-width",
                                                            "--print",
                                                            "-W",
                                                            "-A",
                                                            "-D",
                                                            "-F",
                                                            "--warn",
                                                            "--allow",
                                                            "--deny",
                                                            "--forbid",
                                                            "--force-warn",
                                                            "--remap-path-prefix",
                                                            "--explain",
                                                            "--sysroot",
                                                            "--color",
                                                            "--env-set"};

bool takes_value(std::string_view arg) {
  return std::find(value_options.begin(), value_options.end(), arg) != value_options.end();
}

// Calls f with the value of each occurrence of `name` (both forms) until f
// returns true.
template <class F>
bool each_value(List args, std::string_view name, F f) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a == name) {
      if (i + 1 < args.size() && f(std::string_view(args[i + 1]))) return true;
      ++i;
    } else if (a.size() > name.size() && a.starts_with(name) && a[name.size()] == '=') {
      if (f(a.substr(name.size() + 1))) return true;
    }
  }
  return false;
}

std::string current_dir_text() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  return ec ? std::string() : cwd.native();
}

}  // namespace

std::optional<std::string_view> option_value(List args, std::string_view name) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a == name) {
      if (i + 1 == args.size()) return std::nullopt;
      return std::string_view(args[i + 1]);
    }
    if (a.size() > name.size() && a.starts_with(name) && a[name.size()] == '=')
      return a.substr(name.size() + 1);
  }
  return std::nullopt;
}

std::optional<std::string_view> codegen_option(List args, std::string_view key) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    std::string_view candidate;
    if (a == "-C") {
      if (i + 1 == args.size()) return std::nullopt;
      candidate = args[++i];
    } else if (a.size() > 2 && a.starts_with("-C")) {
      candidate = a.substr(2);
    } else {
      continue;
    }
    if (candidate.size() > key.size() && candidate.starts_with(key) && candidate[key.size()] == '=')
      return candidate.substr(key.size() + 1);
  }
  return std::nullopt;
}

bool is_compile(List args) {
  const auto name = option_value(args, "--crate-name");
  if (!name || *name == "___") return false;
  if (!codegen_option(args, "metadata")) return false;
  return std::none_of(args.begin(), args.end(),
                      [](const std::string& a) { return a.starts_with("--print"); });
}

bool links_output(List args) {
  if (std::find(args.begin(), args.end(), "--test") != args.end()) return true;
  return each_value(args, "--crate-type", [](std::string_view value) {
    while (true) {
      const size_t comma = value.find(',');
      const std::string_view item = value.substr(0, comma);
      if (item == "bin" || item == "dylib" || item == "cdylib" || item == "proc-macro") return true;
      if (comma == std::string_view::npos) return false;
      value.remove_prefix(comma + 1);
    }
  });
}

bool user_chose_linker(List args) {
  for (std::string_view key : {"linker", "link-self-contained", "linker-features", "linker-flavor"})
    if (codegen_option(args, key)) return true;
  return contains(args, "-fuse-ld=") || contains(args, "--ld-path=");
}

std::optional<size_t> single_input(List args) {
  std::optional<size_t> found;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (takes_value(a)) {
      ++i;
    } else if (a.empty() || a[0] != '-') {
      if (found) return std::nullopt;
      found = i;
    }
  }
  return found;
}

bool contains(List args, std::string_view text) {
  return std::any_of(args.begin(), args.end(),
                     [&](const std::string& a) { return a.find(text) != std::string::npos; });
}

std::string unit_stem(List args) {
  std::string stem(option_value(args, "--crate-name").value_or(""));
  stem += codegen_option(args, "extra-filename").value_or("");
  return stem;
}

bool depinfo_exists(List args) {
  const auto name = option_value(args, "--crate-name");
  const auto out_dir = option_value(args, "--out-dir");
  if (!name || !out_dir) return false;
  std::filesystem::path path = std::filesystem::path(*out_dir) / (unit_stem(args) + ".d");
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string unit_name(List args) {
  std::string out_dir;
  if (const auto dir = option_value(args, "--out-dir")) {
    const std::string cwd = current_dir_text();
    out_dir = cwd.empty() ? std::string(*dir) : util::path_str(std::filesystem::path(cwd) / *dir);
  }
  const std::string stem = unit_stem(args);
  return util::key_digest({out_dir, stem});
}

std::vector<std::string> split_depinfo_paths(std::string_view line) {
  std::vector<std::string> paths;
  std::string current;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && line[i + 1] == ' ') {
      current += ' ';
      ++i;
    } else if (c == ' ' || c == '\t') {
      if (!current.empty()) paths.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) paths.push_back(std::move(current));
  return paths;
}

bool is_external_source(const std::filesystem::path& path) {
  const std::filesystem::path home = util::kelv_home();
  if (util::starts_with_path(path, home / "cargo" / "registry") ||
      util::starts_with_path(path, home / "cargo" / "git") ||
      util::starts_with_path(path, home / "toolchains"))
    return true;
  return util::path_str(path).find("/lib/rustlib/") != std::string::npos;
}

}  // namespace kelv::rustc

namespace kelv::rustc {

Invocation::Invocation(std::string compiler_path, std::vector<std::string> arguments,
                       bool with_text)
    : compiler(std::move(compiler_path)), args(std::move(arguments)) {
  if (!with_text) return;
  lossy_args.reserve(args.size());
  for (const std::string& a : args) lossy_args.push_back(util::lossy(a));
}

void Invocation::take_strict() {
  if (std::all_of(args.begin(), args.end(), [](const std::string& a) { return util::is_utf8(a); }))
    strict_args = args;
  else
    strict_args.reset();
}

}  // namespace kelv::rustc
