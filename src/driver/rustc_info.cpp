#include "driver/rustc_info.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <optional>
#include <vector>

#include "driver/engine.h"
#include "driver/toolchain_choice.h"
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

namespace fs = std::filesystem;

// Memo names begin with this tag. Memos named before it existed were keyed by
// the compiler file alone even for a proxy, whose answer then belonged to one
// toolchain among several; the tag keeps them from ever being read again.
constexpr std::string_view file_memo_tag = "kelv-rustc-file/2";

// The tag of the memos of a proxy's answers, keyed by its file and by what
// chooses its toolchain.
constexpr std::string_view chosen_memo_tag = "kelv-rustc-chosen/1";

// The content of a file's own memo when the file is a proxy. A `-vV` answer
// begins with "rustc " and a sysroot answer is an absolute path, so no answer
// reads like it.
constexpr std::string_view proxy_marker = "kelv:proxy\n";

constexpr std::string_view sysroot_flag = "--print=sysroot";

bool is_blank(std::string_view s) {
  return s.find_first_not_of(" \t\n\r\f\v") == std::string_view::npos;
}

// A compiler file as found, with what identifies it.
struct CompilerFile {
  fs::path path;  // as resolved: run, and named in messages
  fs::path canonical;
  std::string size;
  std::string mtime;
  bool is_self = false;  // this very program, never remembered
};

std::expected<CompilerFile, std::string> find_compiler(const std::string& compiler) {
  fs::path resolved;
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
  fs::path canonical = util::canon(resolved);
  const bool is_self = canonical == util::platform::current_exe();
  return CompilerFile{std::move(resolved), std::move(canonical), std::to_string(st.st_size),
                      std::to_string(util::mtime_ns(st)), is_self};
}

fs::path file_memo(const fs::path& memo_dir, const CompilerFile& file, std::string_view flag) {
  return memo_dir / util::key_digest({file_memo_tag, util::path_str(file.canonical), file.size,
                                      file.mtime, flag});
}

// The memo of a proxy's answer to `flag` while `selectors` hold.
fs::path chosen_memo(const fs::path& memo_dir, const CompilerFile& proxy,
                     const std::vector<std::string>& selectors, std::string_view flag) {
  std::vector<std::string> texts = {std::string(chosen_memo_tag), util::path_str(proxy.canonical),
                                    proxy.size, proxy.mtime, util::path_str(proxy.path.filename())};
  texts.insert(texts.end(), selectors.begin(), selectors.end());
  texts.emplace_back(flag);
  return memo_dir / util::key_digest(texts);
}

// A remembered answer: absent when the memo is missing, empty or not UTF-8.
std::optional<std::string> recall(const fs::path& memo) {
  auto text = util::read_file(memo);
  if (!text || text->empty() || !util::is_utf8(*text)) return std::nullopt;
  return std::move(*text);
}

std::expected<void, std::string> remember(const fs::path& memo_dir, const fs::path& memo,
                                          std::string_view text) {
  if (auto made = util::create_dirs(memo_dir, 0700); !made)
    return std::unexpected(util::os_error(made.error()));
  if (auto written = util::write_atomic(memo, text); !written)
    return std::unexpected(util::os_error(written.error()));
  return {};
}

// The program's standard output for `flag`.
std::expected<std::string, std::string> run_probe(const fs::path& program, std::string_view flag) {
  exec::Command cmd = engine::toolchain_program(program);
  cmd.args.emplace_back(flag);
  auto captured = exec::capture_output(std::move(cmd));
  if (!captured)
    return std::unexpected(fmt::format("cannot run {} {}: {}", program.native(), flag,
                                       util::os_error(captured.error())));
  if (!util::is_utf8(captured->out))
    return std::unexpected(
        fmt::format("{} {} printed something other than UTF-8", program.native(), flag));
  if (!captured->status.success() || is_blank(captured->out))
    return std::unexpected(fmt::format("{} {} failed", program.native(), flag));
  return std::move(captured->out);
}

// The remembered answer, or the program's answer remembered.
std::expected<std::string, std::string> run_remembered(const fs::path& memo_dir,
                                                       const fs::path& memo,
                                                       const fs::path& program,
                                                       std::string_view flag) {
  if (auto text = recall(memo)) return std::move(*text);
  auto out = run_probe(program, flag);
  if (!out) return out;
  if (auto kept = remember(memo_dir, memo, *out); !kept) return std::unexpected(kept.error());
  return out;
}

enum class Role { compiler, proxy, unknown };

// A toolchain's compiler is the file root/bin/<name> of the sysroot it
// names; anything else that answers for a toolchain runs one. The name is
// the file's own, or the one it was found by (a link such as rustc-1.95).
Role role_of(const CompilerFile& file, const std::expected<std::string, std::string>& root_text) {
  if (!root_text) return Role::unknown;
  const fs::path root(util::trim(*root_text));
  if (!root.is_absolute()) return Role::unknown;
  for (const fs::path& name : {file.canonical.filename(), file.path.filename()})
    if (util::canon(root / "bin" / name) == file.canonical) return Role::compiler;
  return Role::proxy;
}

// The file's answer to `flag` under its own identity; absent when the file is
// a proxy, whose answers depend on more than the file.
std::expected<std::optional<std::string>, std::string> own_answer(const fs::path& memo_dir,
                                                                  const CompilerFile& file,
                                                                  std::string_view flag) {
  const fs::path memo = file_memo(memo_dir, file, flag);
  if (auto text = recall(memo)) {
    if (*text == proxy_marker) return std::nullopt;
    return std::move(*text);
  }
  auto out = run_probe(file.path, flag);
  if (!out) return std::unexpected(out.error());
  const bool asked_sysroot = flag == sysroot_flag;
  const auto root_text = asked_sysroot ? out : run_probe(file.path, sysroot_flag);
  switch (role_of(file, root_text)) {
    case Role::unknown:
      // Without a sysroot nothing tells whether the file answers for itself,
      // so the answer is not remembered.
      return std::move(*out);
    case Role::proxy:
      for (std::string_view asked : {flag, sysroot_flag}) {
        if (auto kept = remember(memo_dir, file_memo(memo_dir, file, asked), proxy_marker); !kept)
          return std::unexpected(kept.error());
      }
      return std::nullopt;
    case Role::compiler:
      if (auto kept = remember(memo_dir, memo, *out); !kept) return std::unexpected(kept.error());
      // The sysroot was asked anyway; a later probe of it need not run.
      if (!asked_sysroot)
        (void)remember(memo_dir, file_memo(memo_dir, file, sysroot_flag), *root_text);
      return std::move(*out);
  }
  return std::nullopt;
}

// The compiler of the toolchain whose sysroot a proxy named: root/bin/<the
// name the proxy was found by>; absent when there is none to ask.
std::optional<CompilerFile> toolchain_compiler(const CompilerFile& proxy,
                                               std::string_view root_text) {
  const fs::path root(util::trim(root_text));
  if (!root.is_absolute()) return std::nullopt;
  auto found = find_compiler((root / "bin" / proxy.path.filename()).string());
  if (!found || found->is_self || found->canonical == proxy.canonical) return std::nullopt;
  return std::move(*found);
}

// The toolchain a proxy chooses here and now: what chooses it, the sysroot it
// names (remembered with the choice) and that toolchain's compiler.
struct Choice {
  std::vector<std::string> selectors;
  std::string root_text;
  std::optional<CompilerFile> compiler;
};

std::expected<Choice, std::string> choose(const fs::path& memo_dir, const CompilerFile& proxy) {
  Choice choice{toolchain_choice::selectors(), {}, {}};
  auto root_text =
      run_remembered(memo_dir, chosen_memo(memo_dir, proxy, choice.selectors, sysroot_flag),
                     proxy.path, sysroot_flag);
  if (!root_text) return std::unexpected(root_text.error());
  choice.root_text = std::move(*root_text);
  choice.compiler = toolchain_compiler(proxy, choice.root_text);
  return choice;
}

// A proxy's answer for the toolchain it chose. It comes from that
// toolchain's compiler, identified by its own file, so that an update of the
// toolchain in place is seen. A toolchain without such a compiler has the
// proxy's answer remembered with the choice.
std::expected<std::string, std::string> chosen_answer(const fs::path& memo_dir,
                                                      const CompilerFile& proxy,
                                                      const Choice& choice, std::string_view flag) {
  if (choice.compiler) {
    auto answer = own_answer(memo_dir, *choice.compiler, flag);
    if (!answer) return std::unexpected(answer.error());
    if (*answer) return std::move(**answer);
  }
  if (flag == sysroot_flag) return choice.root_text;
  return run_remembered(memo_dir, chosen_memo(memo_dir, proxy, choice.selectors, flag), proxy.path,
                        flag);
}

// The probes of one compiler as named. A proxy's choice is looked at once,
// on the first probe that finds the file to be a proxy.
struct Probes {
  fs::path memo_dir;
  CompilerFile file;
  std::optional<Choice> choice;
};

std::expected<std::string, std::string> ask(Probes& probes, std::string_view flag) {
  if (probes.file.is_self) return run_probe(probes.file.path, flag);
  if (!probes.choice) {
    auto own = own_answer(probes.memo_dir, probes.file, flag);
    if (!own) return std::unexpected(own.error());
    if (*own) return std::move(**own);
    auto choice = choose(probes.memo_dir, probes.file);
    if (!choice) return std::unexpected(choice.error());
    probes.choice = std::move(*choice);
  }
  return chosen_answer(probes.memo_dir, probes.file, *probes.choice, flag);
}

std::expected<Probes, std::string> probes_of(const fs::path& memo_dir,
                                             const std::string& compiler) {
  auto file = find_compiler(compiler);
  if (!file) return std::unexpected(file.error());
  return Probes{memo_dir, std::move(*file), std::nullopt};
}

std::expected<std::string, std::string> checked_version(
    const std::string& compiler, std::expected<std::string, std::string> text) {
  if (!text) return text;
  if (text->size() < 6 || !text->starts_with("rustc "))
    return std::unexpected(fmt::format("{} -vV did not identify a Rust compiler", compiler));
  return text;
}

std::expected<fs::path, std::string> checked_sysroot(
    const std::string& compiler, const std::expected<std::string, std::string>& text) {
  if (!text) return std::unexpected(text.error());
  fs::path root(util::trim(*text));
  if (!root.is_absolute())
    return std::unexpected(fmt::format("{} --print sysroot did not name a directory", compiler));
  return root;
}

}  // namespace

std::expected<std::string, std::string> probe_compiler(const std::filesystem::path& memo_dir,
                                                       const std::string& compiler,
                                                       std::string_view flag) {
  auto probes = probes_of(memo_dir, compiler);
  if (!probes) return std::unexpected(probes.error());
  return ask(*probes, flag);
}

std::expected<std::string, std::string> version_verbose(const std::filesystem::path& memo_dir,
                                                        const std::string& compiler) {
  return checked_version(compiler, probe_compiler(memo_dir, compiler, "-vV"));
}

std::expected<std::filesystem::path, std::string> sysroot(const std::filesystem::path& memo_dir,
                                                          const std::string& compiler) {
  return checked_sysroot(compiler, probe_compiler(memo_dir, compiler, "--print=sysroot"));
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
  auto probes = probes_of(util::memo_dir("rustc"), compiler);
  if (!probes) return std::unexpected(probes.error());
  auto version = checked_version(compiler, ask(*probes, "-vV"));
  if (!version) return std::unexpected(version.error());
  auto root = checked_sysroot(compiler, ask(*probes, "--print=sysroot"));
  if (!root) return std::unexpected(root.error());
  return Compiler{std::move(*version), std::move(*root)};
}

}  // namespace kelv::rustc_info
