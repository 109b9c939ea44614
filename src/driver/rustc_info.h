#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The toolchain behind the compiler that Cargo named, from its own answers to
// `-vV` and `--print=sysroot`, remembered in memo files keyed by the compiler
// file's identity.
//
// A rustup proxy or a version manager's shim is one file that runs different
// toolchains, so its answers cannot be keyed by the file alone. A file is a
// toolchain's compiler when it is <sysroot>/bin/<its name> of the sysroot it
// names; otherwise it is a proxy, and its own memos hold only a marker
// saying so. A proxy's sysroot is remembered together with everything that
// chooses its toolchain (see toolchain_choice.h), and its answers are those of
// the chosen toolchain's compiler, identified by that compiler's own file.
namespace kelv::rustc_info {

// The compiler's standard output for `flag`, from the memo or from a run; for
// a proxy, the answer of the toolchain it chooses here and now.
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
