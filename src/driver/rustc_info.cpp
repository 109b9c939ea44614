#include "driver/rustc_info.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include "driver/engine.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/text.h"
#include "util/utf8.h"

namespace kelv::rustc_info {
namespace {

bool is_blank(std::string_view s) {
  return s.find_first_not_of(" \t\n\r\f\v") == std::string_view::npos;
}

}  // namespace

std::expected<std::string, std::string> probe_compiler(const std::filesystem::path& memo_dir,
                                                       const std::string& compiler,
                                                       std::string_view flag) {
  std::filesystem::path resolved;
  if (compiler.find('/') != std::string::npos) {
    resolved = compiler;
  } else if (auto found = util::which(compiler)) {
    resolved = *found;
  } else {
    return std::unexpected(fmt::format("{} is not on PATH", compiler));
  }

  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0)
    return std::unexpected(fmt::format("cannot inspect {}: {}", resolved.native(),
                                       util::os_error(util::last_error())));

  const std::filesystem::path canonical = util::canon(resolved);
  const bool is_self = canonical == util::platform::current_exe();
  const std::string canonical_text = util::path_str(canonical);
  const std::string size = std::to_string(st.st_size);
  const std::string mtime = std::to_string(util::mtime_ns(st));
  const std::filesystem::path memo =
      memo_dir / util::key_digest({canonical_text, size, mtime, flag});

  if (!is_self) {
    if (auto text = util::read_file(memo); text && !text->empty() && util::is_utf8(*text))
      return *text;
  }

  proc::Command cmd = engine::toolchain_program(resolved);
  cmd.args.emplace_back(flag);
  auto captured = proc::capture_output(std::move(cmd));
  if (!captured)
    return std::unexpected(fmt::format("cannot run {} {}: {}", resolved.native(), flag,
                                       util::os_error(captured.error())));
  if (!util::is_utf8(captured->out))
    return std::unexpected(
        fmt::format("{} {} printed something other than UTF-8", resolved.native(), flag));
  if (!captured->status.success() || is_blank(captured->out))
    return std::unexpected(fmt::format("{} {} failed", resolved.native(), flag));

  if (!is_self) {
    if (auto made = util::create_dirs(memo_dir, 0700); !made)
      return std::unexpected(util::os_error(made.error()));
    if (auto written = util::write_atomic(memo, captured->out); !written)
      return std::unexpected(util::os_error(written.error()));
  }
  return std::move(captured->out);
}

std::expected<std::string, std::string> version_verbose(const std::filesystem::path& memo_dir,
                                                        const std::string& compiler) {
  auto text = probe_compiler(memo_dir, compiler, "-vV");
  if (!text) return text;
  if (text->size() < 6 || !text->starts_with("rustc "))
    return std::unexpected(fmt::format("{} -vV did not identify a Rust compiler", compiler));
  return text;
}

std::expected<std::filesystem::path, std::string> sysroot(const std::filesystem::path& memo_dir,
                                                          const std::string& compiler) {
  auto text = probe_compiler(memo_dir, compiler, "--print=sysroot");
  if (!text) return std::unexpected(text.error());
  std::filesystem::path root(util::trim(*text));
  if (!root.is_absolute())
    return std::unexpected(fmt::format("{} --print sysroot did not name a directory", compiler));
  return root;
}

std::optional<std::string_view> version_field(std::string_view version_text,
                                              std::string_view label) {
  std::optional<std::string_view> value;
  util::for_each_line(version_text, [&](std::string_view line) {
    if (!line.starts_with(label)) return false;
    value = util::trim(line.substr(label.size()));
    return true;
  });
  return value;
}

std::optional<bool> is_unstable_channel(std::string_view version_text) {
  std::optional<bool> unstable;
  util::for_each_line(version_text, [&](std::string_view line) {
    if (!line.starts_with("release: ")) return false;
    unstable = line.ends_with("-nightly") || line.ends_with("-dev");
    return true;
  });
  return unstable;
}

std::expected<Compiler, std::string> Compiler::of(const std::string& compiler) {
  const std::filesystem::path memo = util::memo_dir("rustc");
  auto version = version_verbose(memo, compiler);
  if (!version) return std::unexpected(version.error());
  auto root = rustc_info::sysroot(memo, compiler);
  if (!root) return std::unexpected(root.error());
  return Compiler{std::move(*version), std::move(*root)};
}

}  // namespace kelv::rustc_info
