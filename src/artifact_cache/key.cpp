#include "artifact_cache/key.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "artifact_cache/codegen_facts.h"
#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/native_inputs.h"
#include "rustc/invocation.h"
#include "rustc/options.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/utf8.h"

extern char** environ;

namespace kelv::artifact_cache {
namespace {

constexpr std::string_view format_line = "kelv-artifact-cache-4";

// RUSTC_BOOTSTRAP as the wrapper received it decides whether unstable
// features compile at all: a unit that only builds with it must not be
// replayed for a build without it.
constexpr std::string_view env_prefixes[] = {
    "CARGO_PKG_",          "CARGO_CRATE_NAME",     "CARGO_MANIFEST_DIR",
    "CARGO_MANIFEST_PATH", "CARGO_MANIFEST_LINKS", "CARGO_PRIMARY_PACKAGE",
    "CARGO_BIN_NAME",      "CARGO_CFG_",           "RUSTC_BOOTSTRAP="};

std::unexpected<Refusal> refuse(std::string_view category, std::string text) {
  return std::unexpected(Refusal{std::string(category), std::move(text)});
}

// The key reads an option standing last as having an empty value.
std::optional<std::string_view> take_value(std::span<const std::string> args, size_t& i,
                                           std::string_view name) {
  return rustc::take_value(args, i, name, rustc::Attached::rest_without_equals,
                           rustc::LastWithoutValue::empty_value);
}

// The items of a comma-separated list, empty ones included.
std::vector<std::string_view> split_list(std::string_view list) {
  std::vector<std::string_view> items;
  while (true) {
    const size_t comma = list.find(',');
    items.push_back(list.substr(0, comma));
    if (comma == std::string_view::npos) return items;
    list.remove_prefix(comma + 1);
  }
}

void record_inlining(std::string_view z, InliningOptions& inlining) {
  if (z.starts_with("mir-opt-level=")) {
    inlining.mir_opt_level = std::string(z.substr(14));
  } else if (z.starts_with("inline-mir=")) {
    inlining.inline_mir = std::string(z.substr(11));
  } else if (z == "inline-mir") {
    inlining.inline_mir = "yes";
  } else if (z.starts_with("mir-enable-passes=")) {
    for (std::string_view item : split_list(z.substr(18)))
      if (item.starts_with('+') && item.find("Inline") != std::string_view::npos)
        inlining.inline_mir = "yes";
  }
}

// What the walk over the compiler arguments learns about the unit.
struct UnitArguments {
  std::vector<std::string> lines;  // the argument lines of the key
  std::optional<std::string> out_dir, crate_name, emit;
  std::string extra_filename;
  std::vector<std::string> crate_types, externs;
  // Files named by options, keyed by content; "-C lto" as last given (a
  // bare "-C lto" as an empty value); the `--target` value.
  std::vector<std::string> option_files;
  std::optional<std::optional<std::string>> lto;
  std::optional<std::string> target;
  NativeArguments native;
  Remaps remaps;
  bool incremental = false, metadata_seen = false, is_test = false;
  InliningOptions inlining;

  bool has_type(std::string_view type) const {
    return std::find(crate_types.begin(), crate_types.end(), type) != crate_types.end();
  }
  bool executable() const { return is_test || has_type("bin"); }
};

void take_codegen_option(std::string_view value, UnitArguments& unit) {
  if (value.starts_with("incremental")) {
    // The directory differs between checkouts, not the outputs.
    unit.lines.push_back("-Cincremental");
    unit.incremental = true;
    return;
  }
  if (value.starts_with("extra-filename=")) unit.extra_filename = std::string(value.substr(15));
  if (value.starts_with("opt-level=")) unit.inlining.opt_level = std::string(value.substr(10));
  if (value.starts_with("metadata=")) unit.metadata_seen = true;
  if (value == "lto") unit.lto.emplace();
  if (value.starts_with("lto=")) unit.lto.emplace(value.substr(4));
  if (auto file = option_file(value)) unit.option_files.emplace_back(*file);
  unit.native.take_codegen(value);
  unit.lines.push_back(fmt::format("-C{}", value));
}

// Records the value of `--target` without changing the argument lines.
void note_target(std::span<const std::string> args, size_t i, UnitArguments& unit) {
  const std::string& a = args[i];
  if (a == "--target" && i + 1 < args.size()) unit.target = args[i + 1];
  if (a.starts_with("--target=")) unit.target = a.substr(9);
}

// Takes args[i] (with a separate value) into `unit`, or refuses the unit.
std::expected<void, Refusal> take_argument(std::span<const std::string> args, size_t& i,
                                           UnitArguments& unit) {
  const std::string& a = args[i];
  if (a.starts_with('@')) return refuse("argument_file", "arguments come from an argument file");
  if (auto v = take_value(args, i, "--out-dir")) {
    unit.out_dir = std::string(*v);
  } else if (auto v = take_value(args, i, "--crate-name")) {
    unit.crate_name = std::string(*v);
    unit.lines.push_back(fmt::format("--crate-name={}", *v));
  } else if (auto v = take_value(args, i, "--crate-type")) {
    for (std::string_view type : split_list(*v)) unit.crate_types.emplace_back(type);
    unit.lines.push_back(fmt::format("--crate-type={}", *v));
  } else if (auto v = take_value(args, i, "--extern")) {
    unit.externs.emplace_back(*v);
  } else if (auto v = take_value(args, i, "-L")) {
    // Keyed with the libraries they resolve (native_inputs.h).
    if (!v->starts_with("dependency=")) unit.native.search.emplace_back(*v);
  } else if (auto v = take_value(args, i, "-l")) {
    unit.native.libraries.emplace_back(*v);
    unit.lines.push_back(fmt::format("-l{}", *v));
  } else if (a.starts_with("--print")) {
    return refuse("probe", "links native libraries or prints compiler information");
  } else if (auto v = take_value(args, i, "-C")) {
    take_codegen_option(*v, unit);
  } else if (a.starts_with("-Zthreads")) {
    // The thread count does not change the outputs.
  } else if (auto v = take_value(args, i, "-Z")) {
    record_inlining(*v, unit.inlining);
    if (auto file = option_file(*v)) unit.option_files.emplace_back(*file);
    unit.native.take_unstable(*v);
    unit.lines.push_back(fmt::format("-Z{}", *v));
  } else if (a == "-O") {
    unit.inlining.opt_level = "3";
    unit.lines.push_back("-O");
  } else if (auto v = take_value(args, i, "--emit")) {
    unit.emit = std::string(*v);
    unit.lines.push_back(fmt::format("--emit={}", *v));
  } else if (a == "--test") {
    unit.is_test = true;
    unit.lines.push_back("--test");
  } else if (auto v = take_value(args, i, "--remap-path-prefix")) {
    unit.remaps.take(*v);
    unit.lines.push_back(fmt::format("--remap-path-prefix={}", *v));
  } else if (take_value(args, i, "--diagnostic-width")) {
    // Only the layout of the diagnostics, which are replayed as stored.
  } else {
    note_target(args, i, unit);
    unit.lines.push_back(a);
  }
  return {};
}

std::expected<UnitArguments, Refusal> read_arguments(std::span<const std::string> args) {
  UnitArguments unit;
  for (size_t i = 0; i < args.size(); ++i) {
    if (auto taken = take_argument(args, i, unit); !taken) return std::unexpected(taken.error());
  }
  return unit;
}

// Whether the unit, as its arguments describe it, is one the cache keeps.
std::expected<void, Refusal> check_eligible(const UnitArguments& unit, bool workspace_member) {
  if (!unit.metadata_seen)
    return refuse("probe", "a compiler probe run by a build script, not a unit Cargo scheduled");
  if (!unit.crate_name) return refuse("not_a_unit", "no crate name");
  if (!unit.out_dir) return refuse("not_a_unit", "no output directory");
  for (const std::string& type : unit.crate_types) {
    if (type != "lib" && type != "rlib" && type != "bin" && type != "proc-macro")
      return refuse("crate_type", fmt::format("crate type {} is not cached", type));
  }
  if (!workspace_member && unit.executable() && !unit.crate_name->starts_with("build_script_"))
    return refuse("dependency_binary",
                  "dependency binaries other than build scripts are not cached");
  return {};
}

// Format, compiler, driver and workspace.
std::vector<std::string> head_lines(std::string_view compiler_version_text,
                                    const std::optional<fs::path>& driver_path, const Job& job) {
  std::vector<std::string> lines = {std::string(format_line),
                                    "rustc=" + util::sha256_hex(compiler_version_text)};
  if (driver_path)
    lines.push_back("driver=" + util::path_str(driver_path->parent_path().filename()));
  if (job.workspace_member) lines.push_back("workspace=" + util::path_str(job.cwd));
  return lines;
}

void append_environment_lines(std::vector<std::string>& lines) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view kv(*e);
    if (!std::any_of(std::begin(env_prefixes), std::end(env_prefixes),
                     [&](std::string_view p) { return kv.starts_with(p); }))
      continue;
    if (kv.find('=') == std::string_view::npos || !util::is_utf8(kv)) continue;
    env.emplace_back(kv);
  }
  std::sort(env.begin(), env.end());
  for (std::string& line : env) lines.push_back(std::move(line));
}

// The build script's output directory, by content.
std::expected<void, Refusal> append_out_dir_line(Job& job, std::vector<std::string>& lines) {
  const char* out_dir_env = std::getenv("OUT_DIR");
  if (!out_dir_env || !util::is_utf8(out_dir_env)) return {};
  job.out_dir_env = fs::path(out_dir_env);
  auto digest = out_dir_digest(*job.out_dir_env);
  if (!digest) return refuse("unreadable", "OUT_DIR is unreadable");
  lines.push_back("OUT_DIR=sha:" + *digest);
  return {};
}

// The files that options name (profiles, a target specification, a
// backend), by content: rewriting one in place changes the output, not the
// arguments.
std::expected<void, Refusal> append_option_file_lines(const Job& job, const UnitArguments& unit,
                                                      std::vector<std::string>& lines) {
  std::vector<fs::path> files(unit.option_files.begin(), unit.option_files.end());
  if (unit.target)
    if (auto spec = target_spec_file(*unit.target)) files.push_back(std::move(*spec));
  for (const fs::path& file : files) {
    auto hash = content_hash(job.cache_dir, file);
    if (!hash)
      return refuse("unreadable", fmt::format("option file {} is unreadable: {}", file.native(),
                                              util::os_error(hash.error())));
    lines.push_back(fmt::format("file:{}=sha:{}", file.native(), *hash));
  }
  return {};
}

// The compiler's own target, from its `-vV` text.
std::string_view host_of(std::string_view version_text) {
  const size_t at = version_text.find("\nhost: ");
  if (at == std::string_view::npos) return {};
  const std::string_view rest = version_text.substr(at + 7);
  return rest.substr(0, rest.find('\n'));
}

// The native libraries, their directories and the files of link arguments.
std::expected<void, Refusal> append_native_lines(Job& job, const UnitArguments& unit,
                                                 std::string_view host,
                                                 std::vector<std::string>& lines) {
  if (!unit.native.names_any()) return {};
  NativeContext ctx{.cache_dir = job.cache_dir, .cwd = job.cwd};
  // The target directory's profile folder ("target/debug" for
  // "target/debug/deps"), where build scripts' output directories are.
  const fs::path out_dir = (job.cwd / *unit.out_dir).lexically_normal();
  ctx.own_dirs.push_back(out_dir.filename() == "deps" ? out_dir.parent_path() : out_dir);
  if (job.out_dir_env) {
    ctx.out_dir = (job.cwd / *job.out_dir_env).lexically_normal();
    ctx.own_dirs.push_back(ctx.out_dir);
  }
  // The root would make every directory of the system one to read whole.
  std::erase_if(ctx.own_dirs, [](const fs::path& d) { return !d.has_relative_path(); });
  ctx.cross = unit.target && *unit.target != host;
  auto native = key_native(unit.native, ctx);
  if (!native) return refuse("native_libraries", std::move(native.error()));
  for (std::string& line : native->lines) lines.push_back(std::move(line));
  job.natives = std::move(native->inputs);
  return {};
}

// With link-time optimisation the unit's objects hold its dependencies'
// code, so they cannot be relinked against new dependencies.
bool link_time_optimised(const UnitArguments& unit) {
  if (unit.lto && lto_enabled(*unit.lto)) return true;
  if (!unit.target) return false;
  return target_requires_lto(*unit.target, target_spec_file(*unit.target));
}

// One dependency's line in the key, and in the objects stage list.
struct ExternLines {
  std::string key;
  std::string objects;
};

// What a dependent can observe of the dependency: its crate hash when the
// driver recorded one and no MIR is inlined from it, else its content.
std::expected<std::string, Refusal> interface_line(const fs::path& cache_dir, std::string_view name,
                                                   const fs::path& path, bool by_crate_hash) {
  if (by_crate_hash) {
    if (auto svh = dependency_svh(path)) return fmt::format("--extern={}=svh:{}", name, *svh);
  }
  auto hash = content_hash(cache_dir, path);
  if (!hash)
    return refuse("unreadable", fmt::format("dependency {} is unreadable: {}", path.native(),
                                            util::os_error(hash.error())));
  return fmt::format("--extern={}=sha:{}", name, *hash);
}

std::expected<ExternLines, Refusal> extern_lines(const Job& job, std::string_view value,
                                                 bool by_crate_hash, LinkMemo& memo) {
  const size_t eq = value.find('=');
  if (eq == std::string_view::npos) {
    const std::string line = fmt::format("--extern={}", value);
    return ExternLines{line, line};
  }
  const std::string_view name = value.substr(0, eq);
  const fs::path path = value.substr(eq + 1);
  auto interface = interface_line(job.cache_dir, name, path, by_crate_hash);
  if (!interface) return std::unexpected(interface.error());
  if (!job.links) return ExternLines{*interface, *interface};
  // A linked unit depends on everything the linker pulls in.
  auto linked = link_hash(job.cache_dir, path, memo);
  if (!linked)
    return refuse("link_not_recorded",
                  fmt::format("what dependency {} links was not recorded", path.native()));
  return ExternLines{fmt::format("--extern={}=link:{}", name, *linked), std::move(*interface)};
}

std::expected<void, Refusal> append_extern_lines(const Job& job, const UnitArguments& unit,
                                                 bool by_crate_hash,
                                                 std::vector<std::string>& lines,
                                                 std::optional<std::vector<std::string>>& objects) {
  LinkMemo memo;
  for (const std::string& value : unit.externs) {
    auto added = extern_lines(job, value, by_crate_hash, memo);
    if (!added) return std::unexpected(added.error());
    lines.push_back(std::move(added->key));
    if (objects) objects->push_back(std::move(added->objects));
  }
  return {};
}

// The key lines with the paths below remapped directories made portable:
// the workspace, the source file and other arguments that are paths, the
// remaps' own directories, the files options name and the manifest's
// variables. Other lines keep their paths whole.
std::vector<std::string> portable_lines(const KeyLines& key, const Remaps& remaps) {
  std::vector<std::string> out;
  out.reserve(key.lines.size());
  for (size_t i = 0; i < key.lines.size(); ++i) {
    const std::string_view line = key.lines[i];
    if (i < key.arguments_at) {
      out.push_back(line.starts_with("workspace=") ? remaps.portable_line(line, 10)
                                                   : std::string(line));
    } else if (i < key.environment_at) {
      const size_t eq = line.rfind('=');
      if (line.starts_with("--remap-path-prefix=") && eq >= 20)
        out.push_back(fmt::format("--remap-path-prefix={}{}",
                                  remaps.portable_directory(line.substr(20, eq - 20)),
                                  line.substr(eq)));
      else if (line.starts_with("file:"))
        out.push_back(remaps.portable_line(line, 5, true));
      else
        out.push_back(remaps.portable_line(line, 0));
    } else if (i < key.externs_at) {
      if (line.starts_with("CARGO_MANIFEST_DIR="))
        out.push_back(remaps.portable_line(line, 19));
      else if (line.starts_with("CARGO_MANIFEST_PATH="))
        out.push_back(remaps.portable_line(line, 20));
      else
        out.push_back(std::string(line));
    } else {
      out.push_back(std::string(line));
    }
  }
  return out;
}

// Fills in the job's key lines (after the head), key, objects key, stem and
// output directory.
std::expected<void, Refusal> make_key(Job& job, UnitArguments& unit, bool driver_in_use,
                                      std::string_view host) {
  KeyLines& key = job.key_lines;
  key.arguments_at = key.lines.size();
  for (std::string& line : unit.lines) key.lines.push_back(std::move(line));
  if (auto added = append_option_file_lines(job, unit, key.lines); !added) return added;
  // OUT_DIR is read first: native directories below it are its own.
  std::vector<std::string> environment;
  append_environment_lines(environment);
  if (auto added = append_out_dir_line(job, environment); !added) return added;
  if (auto added = append_native_lines(job, unit, host, key.lines); !added) return added;
  key.environment_at = key.lines.size();
  for (std::string& line : environment) key.lines.push_back(std::move(line));

  const bool link = emits_link(unit.emit);
  const bool inlines = mir_inlining(unit.inlining, unit.incremental);
  job.links = link && (unit.executable() || unit.has_type("proc-macro"));
  std::optional<std::vector<std::string>> objects;
  if (link && driver_in_use && unit.executable() && !inlines && !link_time_optimised(unit)) {
    objects = key.lines;
    objects->push_back("stage=objects");
  }
  key.externs_at = key.lines.size();
  if (auto added = append_extern_lines(job, unit, driver_in_use && !inlines, key.lines, objects);
      !added)
    return added;

  for (const std::string& value : unit.externs)
    if (const size_t eq = value.find('='); eq != std::string::npos)
      job.externs.emplace_back(value.substr(eq + 1));
  // Kept objects serve only their own checkout: a relink cannot show that
  // the objects do not name it.
  if (objects) job.objects_key = util::key_digest(*objects);
  // A remap's own line holds its directory, so with any remap the two keys
  // differ.
  job.remaps = std::move(unit.remaps);
  if (!job.remaps.empty()) {
    job.bound_key = util::key_digest(key.lines);
    key.lines = portable_lines(key, job.remaps);
  }
  job.key = util::key_digest(key.lines);
  job.stem = *unit.crate_name + unit.extra_filename;
  job.out_dir = job.cwd / *unit.out_dir;
  return {};
}

}  // namespace

bool emits_link(const std::optional<std::string_view>& emit) {
  if (!emit) return true;
  const auto items = split_list(*emit);
  return std::any_of(items.begin(), items.end(), [](std::string_view item) {
    return item == "link" || item.starts_with("link=");
  });
}

bool mir_inlining(const InliningOptions& options, bool incremental) {
  if (options.inline_mir) {
    const std::string& v = *options.inline_mir;
    return !(v == "n" || v == "no" || v == "off" || v == "false");
  }
  const std::string opt = options.opt_level.empty() ? "0" : options.opt_level;
  if (options.mir_opt_level) {
    std::string_view level = *options.mir_opt_level;
    if (level.starts_with('+')) level.remove_prefix(1);
    uint32_t n = 0;
    const auto [end, ec] = std::from_chars(level.data(), level.data() + level.size(), n);
    if (level.empty() || ec != std::errc() || end != level.data() + level.size()) return true;
    if (n < 2) return false;
    if (n > 2) return true;
  }
  return (opt == "2" || opt == "3") && !incremental;
}

std::expected<Job, Refusal> prepare(const std::optional<fs::path>& cache_dir,
                                    std::string_view compiler_version_text,
                                    const std::optional<fs::path>& driver_path,
                                    std::span<const std::string> args) {
  if (!cache_dir) return refuse("off", "the artifact cache is off");
  const char* manifest_dir = std::getenv("CARGO_MANIFEST_DIR");
  if (!manifest_dir || !util::is_utf8(manifest_dir))
    return refuse("not_a_unit", "not a Cargo unit");

  Job job;
  job.cache_dir = *cache_dir;
  job.workspace_member = !rustc::is_external_source(manifest_dir);
  job.package_dir = manifest_dir;
  std::error_code ec;
  job.cwd = fs::current_path(ec);
  if (ec) return refuse("unreadable", util::os_error(ec));
  job.key_lines.lines = head_lines(compiler_version_text, driver_path, job);

  auto unit = read_arguments(args);
  if (!unit) return std::unexpected(unit.error());
  if (auto eligible = check_eligible(*unit, job.workspace_member); !eligible)
    return std::unexpected(eligible.error());
  if (auto made = make_key(job, *unit, driver_path.has_value(), host_of(compiler_version_text));
      !made)
    return std::unexpected(made.error());
  return job;
}

}  // namespace kelv::artifact_cache
