#include "artifact_cache/linker_search.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/layout.h"
#include "exec/proc.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/text.h"

namespace kelv::artifact_cache {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds probe_limit{10};

// The variables with which the C compiler driver finds other directories.
constexpr const char* driver_variables[] = {"LIBRARY_PATH", "COMPILER_PATH", "GCC_EXEC_PREFIX"};

std::expected<std::string, std::string> run(const std::string& program,
                                            std::vector<std::string> args) {
  auto done = exec::collect_output({.program = program, .args = std::move(args)}, probe_limit);
  if (!done) return std::unexpected(util::os_error(done.error()));
  if (done->timed_out) return std::unexpected(fmt::format("{} did not answer", program));
  if (!done->status.success()) return std::unexpected(fmt::format("{} failed", program));
  return std::move(done->out);
}

std::expected<std::vector<fs::path>, std::string> ask(const fs::path& linker) {
  auto dirs = run(linker, {"-print-search-dirs"});
  if (!dirs) return std::unexpected(dirs.error());
  auto ld_name = run(linker, {"-print-prog-name=ld"});
  if (!ld_name) return std::unexpected(ld_name.error());
  auto ld_verbose = run(std::string(util::trim(*ld_name)), {"--verbose"});
  if (!ld_verbose) return std::unexpected(ld_verbose.error());
  auto found = parse_search_dirs(*dirs, *ld_verbose);
  if (found.empty())
    return std::unexpected(fmt::format("{} -print-search-dirs named none", linker.native()));
  return found;
}

}  // namespace

std::vector<fs::path> parse_search_dirs(std::string_view print_search_dirs,
                                        std::string_view ld_verbose) {
  std::vector<fs::path> dirs;
  const auto add = [&](std::string_view dir) {
    if (dir.starts_with('=')) dir.remove_prefix(1);  // below the sysroot, which is "/"
    if (dir.starts_with('/')) dirs.push_back(fs::path(dir).lexically_normal());
  };
  util::for_each_line(print_search_dirs, [&](std::string_view line) {
    constexpr std::string_view head = "libraries: =";
    if (!line.starts_with(head)) return;
    line.remove_prefix(head.size());
    while (!line.empty()) {
      const size_t colon = line.find(':');
      add(line.substr(0, colon));
      if (colon == std::string_view::npos) break;
      line.remove_prefix(colon + 1);
    }
  });
  constexpr std::string_view open = "SEARCH_DIR(\"";
  for (size_t at = ld_verbose.find(open); at != std::string_view::npos;
       at = ld_verbose.find(open, at)) {
    at += open.size();
    const size_t end = ld_verbose.find('"', at);
    if (end == std::string_view::npos) break;
    add(ld_verbose.substr(at, end - at));
  }
  return dirs;
}

std::expected<std::vector<fs::path>, std::string> linker_search_dirs(const fs::path& cache_dir,
                                                                     std::string_view linker) {
  const auto program = linker.find('/') != std::string_view::npos ? std::optional<fs::path>(linker)
                                                                  : util::which(linker);
  if (!program) return std::unexpected(fmt::format("linker {} is not on PATH", linker));
  struct stat st;
  if (::stat(program->c_str(), &st) != 0)
    return std::unexpected(fmt::format("linker {} is unreadable", program->native()));
  std::vector<std::string> identity = {program->native(), fingerprint(st)};
  for (const char* name : driver_variables) {
    const char* value = std::getenv(name);
    identity.push_back(fmt::format("{}={}", name, value ? value : "<unset>"));
  }
  const fs::path memo = layout::linker_dirs(cache_dir, util::key_digest(identity));
  if (auto text = util::read_file(memo)) {
    std::vector<fs::path> dirs;
    bool sound = true;
    util::for_each_line(*text, [&](std::string_view line) {
      sound = sound && line.starts_with('/');
      dirs.emplace_back(line);
    });
    if (sound && !dirs.empty()) return dirs;
  }
  auto dirs = ask(*program);
  if (!dirs) return dirs;
  std::string text;
  for (const fs::path& dir : *dirs) text += dir.native() + "\n";
  (void)util::write_atomic(memo, text);  // asked again next time
  return dirs;
}

}  // namespace kelv::artifact_cache
