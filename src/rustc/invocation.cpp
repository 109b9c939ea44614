#include "rustc/invocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "util/hash.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/utf8.h"

namespace kelv::rustc {
namespace {

// Calls f with the value of each occurrence of option `name` until f
// returns true.
template <class F>
bool each_value(List args, std::string_view name, F f) {
  for (size_t i = 0; i < args.size(); ++i) {
    const auto v = take_value(args, i, name, Attached::after_equals, LastWithoutValue::absent);
    if (v && f(*v)) return true;
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
  std::optional<std::string_view> found;
  each_value(args, name, [&](std::string_view v) {
    found = v;
    return true;
  });
  return found;
}

std::optional<std::string_view> codegen_option(List args, std::string_view key) {
  // "--codegen" is not read: Cargo never spells it so.
  for (size_t i = 0; i < args.size(); ++i) {
    const auto v = take_value(args, i, "-C", Attached::rest, LastWithoutValue::absent);
    if (v && v->size() > key.size() && v->starts_with(key) && (*v)[key.size()] == '=')
      return v->substr(key.size() + 1);
  }
  return std::nullopt;
}

bool is_probe(List args) {
  const auto name = option_value(args, "--crate-name");
  return !name || *name == "___" || std::any_of(args.begin(), args.end(), [](const std::string& a) {
    return a.starts_with("--print");
  });
}

bool is_compile(List args) {
  return !is_probe(args) && codegen_option(args, "metadata");
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
