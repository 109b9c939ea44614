#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/job.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/text.h"
#include "util/utf8.h"
#include "wrapper/invocation.h"

namespace kelv::artifact_cache {
namespace {

// Output names a unit may have, in the order they are stored.
std::vector<std::string> output_candidates(std::string_view stem) {
  const std::string s(stem);
  return {"lib" + s + ".rlib",
          "lib" + s + ".rmeta",
          "lib" + s + ".kelv-svh",
          "lib" + s + ".so",
          "lib" + s + ".dylib",
          s + ".dll",
          s,
          s + ".exe",
          s + ".d"};
}

// Small files that a later compilation of the unit may rewrite in place
// (rustc's dep-info, the driver's interface hash): an entry gets its own
// copy, never a link that such a write would change behind its hash.
bool copied_into_entry(std::string_view name) {
  return name.ends_with(".d") || name.ends_with(".kelv-svh");
}

void sort_unique(std::vector<std::string>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

// A file written by this compilation: modified at most a second before it began.
bool fresh(const struct stat& st, uint64_t start_ns) {
  return util::mtime_ns(st) + 1000000000ull >= start_ns;
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
    if (!line.empty()) deps.push_back(util::lossy(line));
  });
  return deps;
}

util::Json string_array(const std::vector<std::string>& v) {
  util::Json a = util::Json::array();
  for (const std::string& s : v) a.push_back(s);
  return a;
}

util::Json make_key_record(const Inputs& in, const std::vector<std::string>* span_deps) {
  util::Json record = util::Json::object();
  record["env_deps"] = string_array(in.env_deps);
  record["inputs"] = string_array(in.inputs);
  if (span_deps) record["span_deps"] = string_array(*span_deps);
  return record;
}

std::string error_text(const util::IoError& e) {
  return util::os_error(e);
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
  const std::string depinfo = util::lossy(*text);
  Inputs in;
  std::optional<std::string_view> input_line;
  util::for_each_line(depinfo, [&](std::string_view line) {
    if (line.starts_with("# env-dep:")) {
      line.remove_prefix(10);
      in.env_deps.emplace_back(line.substr(0, line.find('=')));
    } else if (!input_line && !line.starts_with('#')) {
      if (const size_t colon = line.find(": "); colon != std::string_view::npos)
        input_line = line.substr(colon + 2);
    }
  });
  sort_unique(in.env_deps);
  if (!job.workspace_member) return in;
  if (!input_line) return std::unexpected("dep-info lists no inputs");

  const std::string out_dir_text = job.out_dir_env ? util::path_str(*job.out_dir_env) : "";
  for (std::string& path : args::split_depinfo_paths(*input_line)) {
    const fs::path full = job.cwd / path;
    struct stat st;
    if (::stat(full.c_str(), &st) != 0)
      return std::unexpected(
          fmt::format("input {} is unreadable: {}", path, error_text(util::last_error())));
    if (util::mtime_ns(st) >= start_ns)
      return std::unexpected(fmt::format("{} changed during the compilation", path));
    const std::string full_text = util::path_str(full);
    if (job.out_dir_env && full_text.starts_with(out_dir_text))
      in.inputs.push_back("<OUT_DIR>" + full_text.substr(out_dir_text.size()));
    else
      in.inputs.push_back(std::move(path));
  }
  sort_unique(in.inputs);
  return in;
}

std::optional<std::string> entry_name(const fs::path& cache_dir, std::string_view key,
                                      std::span<const std::string> env_deps,
                                      std::span<const std::string> inputs,
                                      std::span<const std::string> span_deps, const fs::path& cwd) {
  std::vector<std::string> first = {std::string(key)};
  for (const std::string& name : env_deps) {
    if (name == "OUT_DIR") {
      first.push_back("OUT_DIR=<content>");
      continue;
    }
    const char* value = std::getenv(name.c_str());
    first.push_back(value && util::is_utf8(value) ? fmt::format("{}=set:{}", name, value)
                                                  : fmt::format("{}=unset", name));
  }
  std::vector<std::string> lines = {util::key_digest(first)};
  for (const std::string& dep : span_deps) {
    auto hash = content_hash(cache_dir, dep);
    if (!hash) return std::nullopt;
    lines.push_back("spans-of=" + *hash);
  }
  for (const std::string& input : inputs) {
    if (input.starts_with("<OUT_DIR>")) continue;
    auto hash = util::blake3_file(cwd / input);
    if (!hash) return std::nullopt;
    lines.push_back(input + "=" + *hash);
  }
  return util::key_digest(lines);
}

std::expected<void, std::string> Job::store(std::string_view stderr_bytes,
                                            uint64_t start_ns) const {
  using std::unexpected;
  auto in = collect_inputs(*this, start_ns);
  if (!in) return unexpected(in.error());
  const std::vector<std::string> span_deps = read_span_deps(*this, start_ns);
  const auto name = entry_name(cache_dir, key, in->env_deps, in->inputs, span_deps, cwd);
  if (!name) return unexpected("an input is unreadable");
  const fs::path entry = entry_dir(*name);
  const util::Json record = make_key_record(*in, &span_deps);
  const auto write_key_record = [&]() -> std::expected<void, std::string> {
    if (auto w = util::write_json_fast(key_record(key), record); !w)
      return unexpected(error_text(w.error()));
    return {};
  };

  struct stat st;
  if (::stat((entry / "entry.json").c_str(), &st) == 0) {
    // Published entries are complete, so a record that does not parse is
    // damage, which no lookup would ever remove: replace the entry.
    const auto published = util::read_json(entry / "entry.json");
    if (published && published->is_object()) return write_key_record();
    discard(cache_dir, entry);
  }

  const fs::path tmp = cache_dir / "tmp" / fmt::format("{}-{}", *name, ::getpid());
  std::error_code ec;
  fs::remove_all(tmp, ec);
  if (auto made = util::create_dirs(tmp, 0700); !made) return unexpected(error_text(made.error()));
  const auto fail = [&](std::string text) -> std::expected<void, std::string> {
    std::error_code ignored;
    fs::remove_all(tmp, ignored);
    return unexpected(std::move(text));
  };

  util::Json files = util::Json::array(), executable = util::Json::array();
  util::Json hashes = util::Json::object();
  bool only_depinfo = true;
  for (const std::string& candidate : output_candidates(stem)) {
    const fs::path source = output(candidate);
    if (::stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !fresh(st, start_ns)) continue;
    const fs::path placed = tmp / candidate;
    const bool copy = copied_into_entry(candidate) || ::link(source.c_str(), placed.c_str()) != 0;
    if (copy) {
      if (auto copied = util::platform::clone_or_copy(source, placed); !copied)
        return fail(error_text(copied.error()));
    }
    util::IoResult<std::string> hash;
    if (is_library_artifact(candidate)) {
      hash = content_hash(cache_dir, placed);
      if (hash) {
        if (auto again = content_hash(cache_dir, source); !again) hash = again;
      }
    } else {
      hash = util::blake3_file(placed);
    }
    if (!hash) return fail(error_text(hash.error()));
    files.push_back(candidate);
    hashes[candidate] = *hash;
    if (st.st_mode & 0111) executable.push_back(candidate);
    if (!candidate.ends_with(".d")) only_depinfo = false;
  }
  if (only_depinfo) return fail("the compilation left no output to cache");

  if (auto w = util::write_atomic(tmp / "stderr", stderr_bytes); !w)
    return fail(error_text(w.error()));
  util::Json entry_record = util::Json::object();
  entry_record["files"] = std::move(files);
  entry_record["executable"] = std::move(executable);
  entry_record["hashes"] = std::move(hashes);
  entry_record["out_dir"] = util::path_str(out_dir);
  entry_record["out_dir_env"] =
      out_dir_env ? util::Json(util::path_str(*out_dir_env)) : util::Json(nullptr);
  entry_record["env_deps"] = string_array(in->env_deps);
  entry_record["inputs"] = string_array(in->inputs);
  entry_record["stored_at"] = util::iso8601(util::now_wall_ns());
  if (auto w = util::write_json_fast(tmp / "entry.json", entry_record); !w)
    return fail(error_text(w.error()));
  if (auto made = util::create_dirs(cache_dir / "e"); !made) return fail(error_text(made.error()));
  if (::rename(tmp.c_str(), entry.c_str()) != 0) {
    // Another process published the same entry first: same key, same inputs.
    fs::remove_all(tmp, ec);
  }
  return write_key_record();
}

}  // namespace kelv::artifact_cache
