#pragma once
#include <optional>
#include <string>
#include <vector>

#include "kelv/build_reports.h"
#include "kelv/config.h"

namespace kelv::tool {

// After a build: counts the entries it added to the artifact cache and
// keeps the cache within `max_cache_size` (artifact_cache/size_bound.h); on
// the daily sweep, ages out the home's toolchain memos and driver failure
// markers too. The summary's clause when entries were removed; a WARN line
// when the cache could not be looked after.
std::optional<std::string> look_after_cache(const Config& config, const std::vector<Unit>& units);

// "trimmed to 9.0 GiB of 10.0 GiB: 120 least recently used entries removed (1.2 GiB)".
std::string trim_clause(size_t removed, uint64_t removed_bytes, uint64_t after, uint64_t limit);

}  // namespace kelv::tool
