#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The native side of a unit's linking, keyed by content: the libraries "-l"
// names, resolved as rustc and the linker resolve them (the "-L"
// directories in order, then the linker's own); the directories "-L" adds;
// the files that link arguments name. A library that is a GNU ld script
// (libc.so, libm.so) is keyed with the files it names by absolute path; what
// cannot be known (a script that searches for more, a thin archive, an
// argument file) is refused.
namespace kelv::artifact_cache {

// A file that native linking reads, or a library name that resolved to no
// file (`file` absent).
struct NativeInput {
  std::string what;  // "-lstatic=foo", "-lc>/lib/x86_64-linux-gnu/libc.so.6", "link-arg x.o"
  std::optional<std::filesystem::path> file;
};

// The native options of a unit, as the key's walk over its arguments finds
// them.
struct NativeArguments {
  std::vector<std::string> search;     // "-L" values other than "dependency=…"
  std::vector<std::string> libraries;  // "-l" values
  // Arguments for the C compiler driver that links: each "-C link-arg",
  // each word of "-C link-args", the same of "-Z pre-link-arg(s)".
  std::vector<std::string> link_args;
  std::optional<std::string> linker;  // the last "-C linker="

  bool names_any() const { return !search.empty() || !libraries.empty() || !link_args.empty(); }
  // Takes the native option among the values of "-C" and "-Z"; false for
  // any other.
  bool take_codegen(std::string_view value);
  bool take_unstable(std::string_view value);
};

struct NativeContext {
  std::filesystem::path cache_dir;
  std::filesystem::path cwd;
  // Directories of the build (the target directory, OUT_DIR): one of them
  // or below is keyed by its content, not by its path.
  std::vector<std::filesystem::path> own_dirs;
  std::filesystem::path out_dir;  // the unit's own OUT_DIR, hashed afresh; empty when none
  bool cross = false;             // for another target than the compiler's host
};

struct NativeKey {
  std::vector<std::string> lines;  // for the cache key, in argument order
  std::vector<NativeInput> inputs;
};

// The key lines and inputs of the unit's native linking, or why they cannot
// be known.
std::expected<NativeKey, std::string> key_native(const NativeArguments& args,
                                                 const NativeContext& ctx);

// The same options found in a whole argument list.
NativeArguments native_arguments(std::span<const std::string> args);

// The files a GNU ld script names by absolute path (in INPUT, GROUP,
// AS_NEEDED, STARTUP, INCLUDE), or why it may read others.
std::expected<std::vector<std::filesystem::path>, std::string> script_files(std::string_view text);

}  // namespace kelv::artifact_cache
