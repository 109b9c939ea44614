#include <sys/stat.h>

#include <algorithm>

#include "report/parts.h"
#include "rustc/outputs.h"
#include "util/clock.h"

namespace kelv::report::parts {
void add_outputs(util::Json& report, const std::filesystem::path& out_dir, std::string_view stem,
                 uint64_t start_wall_ns, uint64_t dur_ns) {
  util::Json outputs = util::Json::array();
  std::optional<uint64_t> rmeta_ready;
  for (const rustc::OutputName& c : rustc::reported_outputs) {
    std::string name = c.around(stem);
    struct stat st;
    if (::stat((out_dir / name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const uint64_t mtime = util::mtime_ns(st);
    if (!rustc::written_since(mtime, start_wall_ns, rustc::reported_window_ns)) continue;
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
