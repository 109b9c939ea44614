#include "artifact_cache/store.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/miss_reasons.h"
#include "artifact_cache/records.h"
#include "rustc/depinfo.h"
#include "rustc/invocation.h"
#include "rustc/outputs.h"
#include "util/clock.h"
#include "util/fd.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/hashed_copy.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/text.h"
#include "util/utf8.h"

namespace kelv::artifact_cache {
namespace {

// Small files that a later compilation of the unit may rewrite in place
// (rustc's dep-info, the driver's interface hash): an entry gets its own
// copy, never a link that such a write would change behind its hash.
bool copied_into_entry(std::string_view name) {
  return name.ends_with(".d") || name.ends_with(".kelv-svh");
}

bool fresh(const struct stat& st, uint64_t start_ns) {
  return rustc::written_since(util::mtime_ns(st), start_ns, rustc::stored_window_ns);
}

// The spans file of the driver, when this compilation wrote it.
std::vector<std::string> read_span_deps(const Job& job, uint64_t start_ns) {
  std::vector<std::string> deps;
  const fs::path path = job.output("lib" + job.stem + ".kelv-span-deps");
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !fresh(st, start_ns)) return deps;
  auto text = util::read_file(path);
  if (!text) return deps;
  util::for_each_line(*text, [&](std::string_view line) {
    if (!line.empty()) deps.push_back(job.remaps.portable(util::lossy(line)));
  });
  return deps;
}

util::Json string_array(const std::vector<std::string>& v) {
  util::Json a = util::Json::array();
  for (const std::string& s : v) a.push_back(s);
  return a;
}

util::Json make_key_record(const Job& job, const Inputs& in,
                           const std::vector<std::string>& span_deps, const EntryState& state,
                           const std::optional<std::string>& path_bound) {
  util::Json record = util::Json::object();
  if (path_bound) {
    record["path_bound"] = *path_bound;
    record["bound_key"] = *job.bound_key;  // whose checkout it is, for miss reasons
  }
  record["env_deps"] = string_array(in.env_deps);
  record["inputs"] = string_array(in.inputs);
  record["span_deps"] = string_array(span_deps);
  add_state_digests(record, path_bound ? *job.bound_key : job.key, state);
  return record;
}

std::string error_text(const util::IoError& e) {
  return util::os_error(e);
}

// The source path of one input line of the dep-info file, as the entry keeps it.
std::expected<std::string, std::string> input_of(const Job& job, std::string path,
                                                 std::string_view out_dir_text, uint64_t start_ns) {
  const fs::path full = job.cwd / path;
  struct stat st;
  if (::stat(full.c_str(), &st) != 0)
    return std::unexpected(
        fmt::format("input {} is unreadable: {}", path, error_text(util::last_error())));
  if (util::mtime_ns(st) >= start_ns)
    return std::unexpected(fmt::format("{} changed during the compilation", path));
  // A file whose name looks like the recorded forms could not be told from them.
  if (path.starts_with("<OUT_DIR>") || Remaps::is_portable(path))
    return std::unexpected(fmt::format("input {} has a name the cache cannot record", path));
  const std::string full_text = util::path_str(full);
  if (job.out_dir_env && full_text.starts_with(out_dir_text))
    return "<OUT_DIR>" + full_text.substr(out_dir_text.size());
  return job.remaps.portable(path);
}

// Places one output into the entry being assembled (a hard link where the
// file system allows, else a copy) and hashes it, reading its bytes once.
// Library hashes go through the content memo, of the source too, so that
// dependents find them there.
std::expected<std::string, std::string> place_output(const fs::path& cache_dir,
                                                     const fs::path& source, const fs::path& placed,
                                                     std::string_view name) {
  const bool library = is_library_artifact(name);
  if (copied_into_entry(name) || ::link(source.c_str(), placed.c_str()) != 0) {
    const util::Fd in = util::open_regular(source.c_str());
    if (!in.valid()) return std::unexpected(error_text(util::last_error()));
    auto copy = util::copy_hashed(in.get(), placed);
    if (!copy) return std::unexpected(error_text(copy.error()));
    if (library) {
      // The source's memo only when it still is the file that was copied.
      struct stat now;
      const bool unchanged =
          ::stat(source.c_str(), &now) == 0 && fingerprint(now) == fingerprint(copy->source);
      if (auto memo = record_content_memo(cache_dir, placed, copy->blake3); !memo)
        return std::unexpected(error_text(memo.error()));
      if (unchanged) (void)record_content_memo(cache_dir, source, copy->blake3);
    }
    return std::move(copy->blake3);
  }
  // A link: one file, one memo.
  auto hash = library ? content_hash(cache_dir, placed) : util::blake3_file(placed);
  if (!hash) return std::unexpected(error_text(hash.error()));
  return *hash;
}

// This compilation's outputs, placed into `tmp`: the "files", "executable"
// and "hashes" members of the entry record.
std::expected<util::Json, std::string> place_outputs(const Job& job, const fs::path& tmp,
                                                     uint64_t start_ns) {
  util::Json files = util::Json::array(), executable = util::Json::array();
  util::Json hashes = util::Json::object();
  bool only_depinfo = true;
  for (const rustc::OutputName& output : rustc::stored_outputs) {
    const std::string candidate = output.around(job.stem);
    const fs::path source = job.output(candidate);
    struct stat st;
    if (::stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !fresh(st, start_ns)) continue;
    auto hash = place_output(job.cache_dir, source, tmp / candidate, candidate);
    if (!hash) return std::unexpected(hash.error());
    files.push_back(candidate);
    hashes[candidate] = *hash;
    if (st.st_mode & 0111) executable.push_back(candidate);
    if (!candidate.ends_with(".d")) only_depinfo = false;
  }
  if (only_depinfo) return std::unexpected("the compilation left no output to cache");
  util::Json record = util::Json::object();
  record["files"] = std::move(files);
  record["executable"] = std::move(executable);
  record["hashes"] = std::move(hashes);
  return record;
}

// Why the unit's outputs serve only this checkout: the first output (or
// the diagnostics) that still holds a remapped directory's path. The
// dep-info is left out (restoring rewrites its paths), and so are the
// output directories in the diagnostics (a replay rewrites them too).
std::optional<std::string> bound_to_paths(const Job& job, std::string_view stderr_bytes,
                                          uint64_t start_ns,
                                          const std::vector<std::string>& span_deps) {
  if (!job.bound_key) return std::nullopt;
  std::vector<std::string> dirs = job.remaps.directories();
  // The unit's part of the target directory, where no remap renames it:
  // outputs that name it name this checkout's, and the libraries its spans
  // came from lie there.
  const fs::path out = job.out_dir.lexically_normal();
  const fs::path own = out.filename() == "deps"                  ? out.parent_path()
                       : out.parent_path().filename() == "build" ? out.parent_path().parent_path()
                                                                 : out;
  if (!job.remaps.applying(util::path_str(own))) {
    for (const std::string& dep : span_deps)
      if (!Remaps::is_portable(dep))
        return fmt::format("its spans come from {}, which no remap renames", dep);
    dirs.push_back(util::path_str(own));
  }
  const auto holds = [&](std::string_view bytes,
                         std::string_view what) -> std::optional<std::string> {
    if (auto i = held_directory(bytes, dirs)) return fmt::format("{} holds {}", what, dirs[*i]);
    return std::nullopt;
  };
  for (const rustc::OutputName& output : rustc::stored_outputs) {
    const std::string name = output.around(job.stem);
    if (name.ends_with(".d")) continue;
    struct stat st;
    if (::stat(job.output(name).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !fresh(st, start_ns))
      continue;
    auto mapped = util::MappedFile::open(job.output(name));
    if (!mapped) return fmt::format("{} could not be read to check its paths", name);
    if (auto held = holds(mapped->bytes(), name)) return held;
  }
  const std::pair<std::string, std::string> rewritten[] = {
      {util::path_str(job.out_dir), ""},
      {job.out_dir_env ? util::path_str(*job.out_dir_env) : "", ""}};
  return holds(rewrite_paths(stderr_bytes, rewritten), "its diagnostics");
}

// Everything of the entry in `tmp`: outputs, diagnostics, entry.json.
std::expected<void, std::string> assemble_entry(const Job& job, const Inputs& in,
                                                const fs::path& tmp, std::string_view stderr_bytes,
                                                uint64_t start_ns) {
  auto record = place_outputs(job, tmp, start_ns);
  if (!record) return std::unexpected(record.error());
  if (auto w = util::write_atomic(tmp / layout::stderr_file, stderr_bytes); !w)
    return std::unexpected(error_text(w.error()));
  (*record)["out_dir"] = util::path_str(job.out_dir);
  (*record)["out_dir_env"] =
      job.out_dir_env ? util::Json(util::path_str(*job.out_dir_env)) : util::Json(nullptr);
  (*record)["env_deps"] = string_array(in.env_deps);
  (*record)["inputs"] = string_array(in.inputs);
  // The directories its paths are relative to, for restoring at another path.
  if (!job.remaps.empty()) (*record)["remaps"] = string_array(job.remaps.directories());
  const uint64_t now = util::now_wall_ns();
  (*record)["stored_at"] = util::iso8601(now);
  // What compiling the unit took (to the store): what a replay saves.
  (*record)["compile_ns"] = now > start_ns ? now - start_ns : 0;
  if (auto w = util::write_json_fast(tmp / layout::entry_record_file, *record); !w)
    return std::unexpected(error_text(w.error()));
  if (auto made = util::create_dirs(layout::entries(job.cache_dir)); !made)
    return std::unexpected(error_text(made.error()));
  return {};
}

// Assembles the entry in a private temporary directory and publishes it
// with one rename; the first publisher of an entry name wins.
std::expected<void, std::string> publish_entry(const Job& job, const Inputs& in,
                                               const std::string& name,
                                               std::string_view stderr_bytes, uint64_t start_ns) {
  const fs::path tmp = layout::assembly(job.cache_dir, name, ::getpid());
  std::error_code ec;
  fs::remove_all(tmp, ec);
  if (auto made = util::create_dirs(tmp, 0700); !made)
    return std::unexpected(error_text(made.error()));
  if (auto assembled = assemble_entry(job, in, tmp, stderr_bytes, start_ns); !assembled) {
    fs::remove_all(tmp, ec);
    return assembled;
  }
  // A failed rename: another process published the same entry first (same
  // key, same inputs).
  if (::rename(tmp.c_str(), job.entry_dir(name).c_str()) != 0) fs::remove_all(tmp, ec);
  return {};
}

// Whether the entry is already published. Published entries are complete,
// so a record that does not parse is damage, which no lookup would ever
// remove: such an entry is discarded to be replaced.
bool already_published(const fs::path& cache_dir, const fs::path& entry) {
  const fs::path record_path = entry / layout::entry_record_file;
  struct stat st;
  if (::stat(record_path.c_str(), &st) != 0) return false;
  const auto published = util::read_json(record_path);
  if (published && published->is_object()) return true;
  discard(cache_dir, entry);
  return false;
}

}  // namespace

bool is_library_artifact(std::string_view name) {
  for (std::string_view suffix : {".rlib", ".rmeta", ".so", ".dylib", ".dll"})
    if (name.ends_with(suffix)) return true;
  return false;
}

std::expected<Inputs, std::string> collect_inputs(const Job& job, uint64_t start_ns) {
  auto text = util::read_file(job.output(job.stem + ".d"));
  if (!text) return std::unexpected(fmt::format("no dep-info: {}", error_text(text.error())));
  const std::string text_form = util::lossy(*text);
  rustc::DepInfo depinfo = rustc::parse_depinfo(text_form);
  Inputs in;
  for (const rustc::EnvDep& dep : depinfo.env_deps) in.env_deps.emplace_back(dep.name);
  sort_unique(in.env_deps);
  if (!job.workspace_member) return in;
  if (!depinfo.first_rule) return std::unexpected("dep-info lists no inputs");

  const std::string out_dir_text = job.out_dir_env ? util::path_str(*job.out_dir_env) : "";
  for (std::string& path : *depinfo.first_rule) {
    auto input = input_of(job, std::move(path), out_dir_text, start_ns);
    if (!input) return std::unexpected(input.error());
    in.inputs.push_back(std::move(*input));
  }
  sort_unique(in.inputs);
  return in;
}

std::expected<EntryState, Miss> entry_state(const fs::path& cache_dir, std::string_view key,
                                            std::span<const std::string> env_deps,
                                            std::span<const std::string> inputs,
                                            std::span<const std::string> span_deps,
                                            const fs::path& cwd, const Remaps& remaps) {
  EntryState state;
  std::vector<std::string> first = {std::string(key)};
  for (const std::string& name : env_deps) {
    if (name == "OUT_DIR") {
      // Its content is in the key.
      first.push_back("OUT_DIR=<content>");
      continue;
    }
    const char* value = std::getenv(name.c_str());
    std::string line = value && util::is_utf8(value) ? fmt::format("{}=set:{}", name, value)
                                                     : fmt::format("{}=unset", name);
    state.env.emplace_back(name, line);
    first.push_back(std::move(line));
  }
  std::vector<std::string> lines = {util::key_digest(first)};
  for (const std::string& dep : span_deps) {
    auto hash = content_hash(cache_dir, remaps.resolve(dep));
    if (!hash) return std::unexpected(Miss{"dependency", dep});
    lines.push_back("spans-of=" + *hash);
    state.spans.emplace_back(dep, std::move(*hash));
  }
  for (const std::string& input : inputs) {
    if (input.starts_with("<OUT_DIR>")) continue;
    auto hash = util::blake3_file(cwd / remaps.resolve(input));
    if (!hash) return std::unexpected(Miss{"input", input});
    lines.push_back(input + "=" + *hash);
    state.inputs.emplace_back(input, std::move(*hash));
  }
  state.name = util::key_digest(lines);
  return state;
}

std::optional<std::string> entry_name(const fs::path& cache_dir, std::string_view key,
                                      std::span<const std::string> env_deps,
                                      std::span<const std::string> inputs,
                                      std::span<const std::string> span_deps, const fs::path& cwd,
                                      const Remaps& remaps) {
  auto state = entry_state(cache_dir, key, env_deps, inputs, span_deps, cwd, remaps);
  if (!state) return std::nullopt;
  return std::move(state->name);
}

std::expected<StoredEntry, std::string> Job::store(std::string_view stderr_bytes,
                                                   uint64_t start_ns) const {
  auto in = collect_inputs(*this, start_ns);
  if (!in) return std::unexpected(in.error());
  const std::vector<std::string> span_deps = read_span_deps(*this, start_ns);
  const std::optional<std::string> path_bound =
      bound_to_paths(*this, stderr_bytes, start_ns, span_deps);
  const std::string_view name_key = path_bound ? *bound_key : key;
  const auto state =
      entry_state(cache_dir, name_key, in->env_deps, in->inputs, span_deps, cwd, remaps);
  if (!state) return std::unexpected("an input is unreadable");
  if (!already_published(cache_dir, entry_dir(state->name))) {
    if (auto published = publish_entry(*this, *in, state->name, stderr_bytes, start_ns); !published)
      return std::unexpected(published.error());
  }
  // Written after the entry is published: a reader that finds the key
  // record finds the entry, unless it was removed since.
  if (auto w = util::write_json_fast(key_record(key),
                                     make_key_record(*this, *in, span_deps, *state, path_bound));
      !w)
    return std::unexpected(error_text(w.error()));
  write_unit_record(*this);
  return StoredEntry{state->name, path_bound};
}

}  // namespace kelv::artifact_cache
