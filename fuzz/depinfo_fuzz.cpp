// Dep-info files: split_depinfo_paths on each line, and collect_inputs on the
// whole file, written as <out_dir>/<stem>.d of a workspace unit.
//
// Checks: split paths are non-empty and hold no tab; writing them back out
// (spaces escaped, tab-separated) splits into the same paths; collected
// env deps and inputs are sorted and unique, and each input is one of the
// file's paths (or below OUT_DIR).
#include <time.h>

#include <algorithm>
#include <cstdint>

#include "artifact_cache/store.h"
#include "rustc/depinfo.h"
#include "rustc/invocation.h"
#include "support.h"
#include "util/utf8.h"

namespace {

namespace fs = std::filesystem;
using kelv::fuzz::show;

struct Sandbox {
  fs::path root = kelv::fuzz::temp_root() / "depinfo";
  kelv::artifact_cache::Job job;

  Sandbox() {
    // Sources the dep-info can name, relative to the unit's directory.
    for (const char* name : {"src/lib.rs", "src/a b.rs", "src/sub/mod.rs", "build.rs"})
      kelv::fuzz::write_file(root / "crate" / name, "// source\n");
    kelv::fuzz::write_file(root / "out_dir_env" / "generated.rs", "// generated\n");
    fs::create_directories(root / "out");
    job.cache_dir = root / "cache";
    job.key = "0123456789abcdef0123456789abcdef";
    job.out_dir = root / "out";
    job.stem = "x-1";
    job.cwd = root / "crate";
    job.out_dir_env = root / "out_dir_env";
    job.workspace_member = true;
  }
};

// The lines of the text, a "\r" before the "\n" removed.
std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> out;
  for (;;) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (nl != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    out.emplace_back(line);
    if (nl == std::string_view::npos) return out;
    text.remove_prefix(nl + 1);
  }
}

void check_split(std::string_view line, std::vector<std::string>& all_paths) {
  const std::vector<std::string> paths = kelv::rustc::split_depinfo_paths(line);
  std::string rejoined;
  for (const std::string& path : paths) {
    FUZZ_CHECK(!path.empty() && path.find('\t') == std::string::npos,
               "path " + show(path) + " of line " + show(line));
    if (!rejoined.empty()) rejoined += '\t';
    rejoined += kelv::fuzz::replace_all(path, " ", "\\ ");
    all_paths.push_back(path);
  }
  FUZZ_CHECK(kelv::rustc::split_depinfo_paths(rejoined) == paths,
             "line " + show(line) + " written back as " + show(rejoined) + " splits differently");
}

bool sorted_unique(const std::vector<std::string>& v) {
  return std::ranges::adjacent_find(v, std::ranges::greater_equal()) == v.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Sandbox sandbox;
  const std::string input = kelv::fuzz::replace_all(std::string(kelv::fuzz::bytes_of(data, size)),
                                                    "@OUT_DIR@", sandbox.job.out_dir_env->string());

  // Every path of every line, as the unit's inputs may only come from these.
  std::vector<std::string> all_paths;
  const std::string text = kelv::util::lossy(input);
  for (const std::string& line : lines_of(text)) {
    check_split(line, all_paths);
    if (const size_t colon = line.find(": "); colon != std::string::npos)
      check_split(std::string_view(line).substr(colon + 2), all_paths);
  }
  std::ranges::sort(all_paths);

  const fs::path depinfo = sandbox.job.output(sandbox.job.stem + ".d");
  kelv::fuzz::write_file(depinfo, input);
  const uint64_t later = static_cast<uint64_t>(::time(nullptr) + 3600) * 1000000000ull;
  const auto in = kelv::artifact_cache::collect_inputs(sandbox.job, later);
  if (!in) return 0;

  FUZZ_CHECK(sorted_unique(in->env_deps) && sorted_unique(in->inputs), "input " + show(input));
  for (const std::string& name : in->env_deps)
    FUZZ_CHECK(name.find('=') == std::string::npos && name.find('\n') == std::string::npos,
               "env dep " + show(name) + " of " + show(input));
  for (const std::string& path : in->inputs) {
    if (path.starts_with("<OUT_DIR>")) continue;
    FUZZ_CHECK(std::ranges::binary_search(all_paths, path),
               "input " + show(path) + " is none of the paths of " + show(input));
  }
  return 0;
}
