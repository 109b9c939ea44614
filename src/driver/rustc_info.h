#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The toolchain behind the compiler that Cargo named, from its own answers to
// `-vV` and `--print=sysroot`, remembered in memo files keyed by the compiler
// file's identity.
namespace kelv::rustc_info {

// The compiler's standard output for `flag`, from the memo or from a run.
std::expected<std::string, std::string> probe_compiler(const std::filesystem::path& memo_dir,
                                                       const std::string& compiler,
                                                       std::string_view flag);

// The complete `-vV` text; it must begin with "rustc ".
std::expected<std::string, std::string> version_verbose(const std::filesystem::path& memo_dir,
                                                        const std::string& compiler);

// The absolute sysroot.
std::expected<std::filesystem::path, std::string> sysroot(const std::filesystem::path& memo_dir,
                                                          const std::string& compiler);

// Whether the release line names a nightly or development build; absent
// without a "release: " line.
std::optional<bool> is_unstable_channel(std::string_view version_text);

// The value of the first line starting with `label` (for example
// "commit-hash: "), trimmed; absent when there is none.
std::optional<std::string_view> version_field(std::string_view version_text,
                                              std::string_view label);

// The compiler's identity: its `-vV` text and its sysroot.
struct Compiler {
  std::string version_text;
  std::filesystem::path sysroot;

  static std::expected<Compiler, std::string> of(const std::string& compiler);
};

}  // namespace kelv::rustc_info
