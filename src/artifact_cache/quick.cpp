#include <sys/stat.h>
#include <unistd.h>

#include "artifact_cache/job.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"

namespace kelv::artifact_cache {
namespace {

// The record is tied to where the unit's outputs go, not to its key.
fs::path quick_record(const Job& job) {
  return job.cache_dir / "q" / util::key_digest({util::path_str(job.out_dir), job.stem});
}

}  // namespace

bool Job::known_quick() const {
  struct stat st;
  return ::stat(quick_record(*this).c_str(), &st) == 0;
}

util::IoResult<void> Job::remember_quick() const {
  if (auto made = util::create_dirs(cache_dir / "q"); !made) return made;
  return util::write_atomic(quick_record(*this), "");
}

void Job::forget_quick() const { ::unlink(quick_record(*this).c_str()); }

}  // namespace kelv::artifact_cache
