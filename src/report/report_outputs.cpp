#include <sys/stat.h>

#include <algorithm>
#include <array>

#include "report/parts.h"
#include "util/clock.h"

namespace kelv::report::parts {
namespace {

struct Candidate {
  std::string_view prefix;
  std::string_view suffix;
};

// Every file name a unit can produce, around its stem.
constexpr std::array<Candidate, 10> candidates = {{{"lib", ".rmeta"},
                                                   {"lib", ".rlib"},
                                                   {"lib", ".dylib"},
                                                   {"lib", ".so"},
                                                   {"lib", ".a"},
                                                   {"", ".dll"},
                                                   {"", ".exe"},
                                                   {"", ".wasm"},
                                                   {"", ""},
                                                   {"", ".d"}}};

// Files older than this before the start belong to an earlier build.
constexpr uint64_t stale_ns = 2'000'000'000;

}  // namespace

void add_outputs(util::Json& report, const std::filesystem::path& out_dir, std::string_view stem,
                 uint64_t start_wall_ns, uint64_t dur_ns) {
  util::Json outputs = util::Json::array();
  std::optional<uint64_t> rmeta_ready;
  for (const Candidate& c : candidates) {
    std::string name;
    name.reserve(c.prefix.size() + stem.size() + c.suffix.size());
    name.append(c.prefix).append(stem).append(c.suffix);
    struct stat st;
    if (::stat((out_dir / name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const uint64_t mtime = util::mtime_ns(st);
    if (mtime + stale_ns < start_wall_ns) continue;
    if (c.suffix == ".rmeta" && mtime >= start_wall_ns)
      rmeta_ready = std::min(dur_ns, mtime - start_wall_ns);
    outputs.push_back(util::Json::object({{"file", std::move(name)},
                                          {"bytes", static_cast<uint64_t>(st.st_size)},
                                          {"mtime_ns", mtime}}));
  }
  if (rmeta_ready) report["rmeta_ready_ns"] = *rmeta_ready;
  report["outputs"] = std::move(outputs);
}

}  // namespace kelv::report::parts
