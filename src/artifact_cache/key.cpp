#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/job.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/utf8.h"
#include "wrapper/invocation.h"

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

// The value of option `name` at args[i] ("--opt value", "--optvalue" or
// "--opt=value"); advances i past a separate value. Absent when args[i] is
// not the option, or it stands last without its value.
std::optional<std::string_view> take_value(std::span<const std::string> args, size_t& i,
                                           std::string_view name) {
  std::string_view a = args[i];
  if (!a.starts_with(name)) return std::nullopt;
  if (a.size() == name.size()) {
    if (i + 1 >= args.size()) return std::string_view();  // nothing to take: an empty value
    return std::string_view(args[++i]);
  }
  a.remove_prefix(name.size());
  if (a.starts_with('=')) a.remove_prefix(1);
  return a;
}

void record_inlining(std::string_view z, InliningOptions& inlining) {
  if (z.starts_with("mir-opt-level=")) {
    inlining.mir_opt_level = std::string(z.substr(14));
  } else if (z.starts_with("inline-mir=")) {
    inlining.inline_mir = std::string(z.substr(11));
  } else if (z == "inline-mir") {
    inlining.inline_mir = "yes";
  } else if (z.starts_with("mir-enable-passes=")) {
    std::string_view passes = z.substr(18);
    while (true) {
      const size_t comma = passes.find(',');
      const std::string_view item = passes.substr(0, comma);
      if (item.starts_with('+') && item.find("Inline") != std::string_view::npos)
        inlining.inline_mir = "yes";
      if (comma == std::string_view::npos) break;
      passes.remove_prefix(comma + 1);
    }
  }
}

std::vector<std::string> environment_lines() {
  std::vector<std::string> lines;
  for (char** e = environ; *e; ++e) {
    std::string_view kv(*e);
    if (!std::any_of(std::begin(env_prefixes), std::end(env_prefixes),
                     [&](std::string_view p) { return kv.starts_with(p); }))
      continue;
    if (kv.find('=') == std::string_view::npos || !util::is_utf8(kv)) continue;
    lines.emplace_back(kv);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace

bool emits_link(const std::optional<std::string_view>& emit) {
  if (!emit) return true;
  std::string_view rest = *emit;
  while (true) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    if (item == "link" || item.starts_with("link=")) return true;
    if (comma == std::string_view::npos) return false;
    rest.remove_prefix(comma + 1);
  }
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

std::expected<Job, std::string> prepare(const std::optional<fs::path>& cache_dir,
                                        std::string_view compiler_version_text,
                                        const std::optional<fs::path>& driver_path,
                                        std::span<const std::string> args) {
  using std::unexpected;
  if (!cache_dir) return unexpected("the artifact cache is off");
  const char* manifest_dir = std::getenv("CARGO_MANIFEST_DIR");
  if (!manifest_dir || !util::is_utf8(manifest_dir)) return unexpected("not a Cargo unit");

  Job job;
  job.cache_dir = *cache_dir;
  job.workspace_member = !args::is_external_source(manifest_dir);
  std::error_code ec;
  job.cwd = fs::current_path(ec);
  if (ec) return unexpected(util::os_error(ec));

  std::vector<std::string> lines = {std::string(format_line),
                                    "rustc=" + util::sha256_hex(compiler_version_text)};
  if (driver_path) {
    const fs::path parent = driver_path->parent_path();
    lines.push_back("driver=" + util::path_str(parent.filename()));
  }
  if (job.workspace_member) lines.push_back("workspace=" + util::path_str(job.cwd));

  std::optional<std::string> out_dir, crate_name, emit;
  std::string extra_filename;
  std::vector<std::string> crate_types, externs;
  bool incremental = false, metadata_seen = false, is_test = false;
  InliningOptions inlining;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.starts_with('@')) return unexpected("arguments come from an argument file");
    if (auto v = take_value(args, i, "--out-dir")) {
      out_dir = std::string(*v);
    } else if (auto v = take_value(args, i, "--crate-name")) {
      crate_name = std::string(*v);
      lines.push_back(fmt::format("--crate-name={}", *v));
    } else if (auto v = take_value(args, i, "--crate-type")) {
      std::string_view rest = *v;
      while (true) {
        const size_t comma = rest.find(',');
        crate_types.emplace_back(rest.substr(0, comma));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
      lines.push_back(fmt::format("--crate-type={}", *v));
    } else if (auto v = take_value(args, i, "--extern")) {
      externs.emplace_back(*v);
    } else if (auto v = take_value(args, i, "-L")) {
      if (!v->starts_with("dependency=")) return unexpected("links against native libraries");
    } else if (a.starts_with("-l") || a.starts_with("--print")) {
      return unexpected("links native libraries or prints compiler information");
    } else if (auto v = take_value(args, i, "-C")) {
      if (v->starts_with("incremental")) {
        lines.push_back("-Cincremental");
        incremental = true;
        continue;
      }
      if (v->starts_with("extra-filename=")) extra_filename = std::string(v->substr(15));
      if (v->starts_with("opt-level=")) inlining.opt_level = std::string(v->substr(10));
      if (v->starts_with("metadata=")) metadata_seen = true;
      lines.push_back(fmt::format("-C{}", *v));
    } else if (a.starts_with("-Zthreads")) {
      // The thread count does not change the outputs.
    } else if (auto v = take_value(args, i, "-Z")) {
      record_inlining(*v, inlining);
      lines.push_back(fmt::format("-Z{}", *v));
    } else if (a == "-O") {
      inlining.opt_level = "3";
      lines.push_back("-O");
    } else if (auto v = take_value(args, i, "--emit")) {
      emit = std::string(*v);
      lines.push_back(fmt::format("--emit={}", *v));
    } else if (a == "--test") {
      is_test = true;
      lines.push_back("--test");
    } else if (take_value(args, i, "--diagnostic-width")) {
      // Only the layout of the diagnostics, which are replayed as stored.
    } else {
      lines.push_back(a);
    }
  }

  if (args.empty() || !metadata_seen)
    return unexpected("a compiler probe run by a build script, not a unit Cargo scheduled");
  if (!crate_name) return unexpected("no crate name");
  if (!out_dir) return unexpected("no output directory");
  for (const std::string& type : crate_types) {
    if (type != "lib" && type != "rlib" && type != "bin" && type != "proc-macro")
      return unexpected(fmt::format("crate type {} is not cached", type));
  }
  const auto has_type = [&](std::string_view t) {
    return std::find(crate_types.begin(), crate_types.end(), t) != crate_types.end();
  };
  if (!job.workspace_member && (is_test || has_type("bin")) &&
      !crate_name->starts_with("build_script_"))
    return unexpected("dependency binaries other than build scripts are not cached");

  for (std::string& line : environment_lines()) lines.push_back(std::move(line));

  if (const char* out_dir_env = std::getenv("OUT_DIR"); out_dir_env && util::is_utf8(out_dir_env)) {
    job.out_dir_env = fs::path(out_dir_env);
    auto digest = out_dir_digest(*job.out_dir_env);
    if (!digest) return unexpected("OUT_DIR is unreadable");
    lines.push_back("OUT_DIR=sha:" + *digest);
  }

  const bool link = emits_link(emit);
  const bool inlines = mir_inlining(inlining, incremental);
  job.links = link && (is_test || has_type("bin") || has_type("proc-macro"));
  std::optional<std::vector<std::string>> objects;
  if (link && driver_path && (is_test || has_type("bin")) && !inlines) {
    objects = lines;
    objects->push_back("stage=objects");
  }

  LinkMemo link_memo;
  for (const std::string& value : externs) {
    const size_t eq = value.find('=');
    if (eq == std::string::npos) {
      lines.push_back("--extern=" + value);
      if (objects) objects->push_back("--extern=" + value);
      continue;
    }
    const std::string_view name = std::string_view(value).substr(0, eq);
    const fs::path path = std::string_view(value).substr(eq + 1);
    std::string interface_line;
    if (driver_path && !inlines) {
      if (auto svh = dependency_svh(path))
        interface_line = fmt::format("--extern={}=svh:{}", name, *svh);
    }
    if (interface_line.empty()) {
      auto hash = content_hash(job.cache_dir, path);
      if (!hash)
        return unexpected(fmt::format("dependency {} is unreadable: {}", path.native(),
                                      util::os_error(hash.error())));
      interface_line = fmt::format("--extern={}=sha:{}", name, *hash);
    }
    if (job.links) {
      auto linked = link_hash(job.cache_dir, path, link_memo);
      if (!linked)
        return unexpected(fmt::format("what dependency {} links was not recorded", path.native()));
      lines.push_back(fmt::format("--extern={}=link:{}", name, *linked));
      if (objects) objects->push_back(std::move(interface_line));
    } else {
      lines.push_back(std::move(interface_line));
    }
  }

  job.key = util::key_digest(lines);
  if (objects) job.objects_key = util::key_digest(*objects);
  job.stem = *crate_name + extra_filename;
  job.out_dir = job.cwd / *out_dir;
  return job;
}

}  // namespace kelv::artifact_cache
