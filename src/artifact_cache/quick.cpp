#include <sys/stat.h>
#include <unistd.h>

#include "artifact_cache/job.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"

namespace kelv::artifact_cache {

std::string Job::unit_name() const {
  return util::key_digest({util::path_str(out_dir), stem});
}

// The quick record is tied to where the unit's outputs go, not to its key.

bool Job::known_quick() const {
  struct stat st;
  return ::stat(layout::quick_record(cache_dir, unit_name()).c_str(), &st) == 0;
}

util::IoResult<void> Job::remember_quick() const {
  return util::write_atomic(layout::quick_record(cache_dir, unit_name()), "");
}

void Job::forget_quick() const {
  ::unlink(layout::quick_record(cache_dir, unit_name()).c_str());
}

}  // namespace kelv::artifact_cache
