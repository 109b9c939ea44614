#include "artifact_cache/trim.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <utility>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/layout.h"
#include "artifact_cache/lookup.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/hash.h"

namespace kelv::artifact_cache {
namespace {

using Inodes = std::set<std::pair<dev_t, ino_t>>;

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool is_dot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Bytes of a regular file, counted once however many links it has: files
// that are linked from elsewhere (a build's outputs) are remembered.
uint64_t counted(const struct stat& st, Inodes& seen) {
  if (!S_ISREG(st.st_mode)) return 0;
  if (st.st_nlink > 1 && !seen.emplace(st.st_dev, st.st_ino).second) return 0;
  return static_cast<uint64_t>(st.st_size);
}

// The regular files directly in the directory open as `fd` (consumed).
uint64_t files_bytes(int fd, Inodes& seen) {
  Dir dir(::fdopendir(fd));
  if (!dir) {
    ::close(fd);
    return 0;
  }
  uint64_t total = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    if (is_dot(e->d_name)) continue;
    struct stat st;
    if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      total += counted(st, seen);
  }
  return total;
}

uint64_t tree_bytes(const fs::path& root, Inodes& seen) {
  uint64_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) == 0) total += counted(st, seen);
  }
  return total;
}

std::vector<EntryUse> list_entries(const fs::path& cache, Inodes& seen, uint64_t& total) {
  std::vector<EntryUse> entries;
  const fs::path root = layout::entries(cache);
  Dir dir(::opendir(root.c_str()));
  if (!dir) return entries;
  const int root_fd = ::dirfd(dir.get());
  while (const dirent* e = ::readdir(dir.get())) {
    if (is_dot(e->d_name)) continue;
    const int fd = ::openat(root_fd, e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    EntryUse use{.name = e->d_name};
    struct stat st;
    const std::string record(layout::entry_record_file);
    if (::fstatat(fd, record.c_str(), &st, 0) == 0 || ::fstat(fd, &st) == 0)
      use.last_used_ns = util::mtime_ns(st);
    use.bytes = files_bytes(fd, seen);
    total += use.bytes;
    entries.push_back(std::move(use));
  }
  return entries;
}

uint64_t age(uint64_t now_ns, const struct stat& st) {
  const uint64_t t = util::mtime_ns(st);
  return now_ns > t ? now_ns - t : 0;
}

void remove_file(const fs::path& path, const struct stat& st, SweepOutcome& outcome) {
  if (::unlink(path.c_str()) != 0) return;
  ++outcome.removed;
  outcome.removed_bytes += static_cast<uint64_t>(st.st_size);
}

// Whether a memo named by a file's fingerprint still describes the file it
// names: absent when it names none.
std::optional<bool> still_describes(const fs::path& memo, const std::string& file) {
  if (file.empty() || file.front() != '/') return std::nullopt;
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return false;
  return util::key_digest({fingerprint(st)}) == memo.filename().native();
}

// The file a content memo names: "<hash>\n<path>\n".
std::string memo_subject(const fs::path& memo) {
  auto text = util::read_file(memo);
  if (!text || text->size() < 66 || (*text)[64] != '\n' || text->back() != '\n') return "";
  return text->substr(65, text->size() - 66);
}

// The library a link record describes.
std::string link_subject(const fs::path& record) {
  auto json = util::read_json(record);
  if (!json || !json->is_object()) return "";
  const auto it = json->find("rlib");
  return it != json->end() && it->is_string() ? it->get<std::string>() : "";
}

// Removes each regular file directly in `dir` for which `stale(path, st)`
// holds.
template <class Stale>
void remove_where(const fs::path& dir, Stale stale, SweepOutcome& outcome) {
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode) && stale(it->path(), st))
      remove_file(it->path(), st, outcome);
  }
}

// Records named by their file's fingerprint go with the file; those that
// name none when they are old.
template <class Subject>
void sweep_described(const fs::path& dir, uint64_t now_ns, Subject subject, SweepOutcome& outcome) {
  remove_where(
      dir,
      [&](const fs::path& record, const struct stat& st) {
        const auto describes = still_describes(record, subject(record));
        return describes ? !*describes : age(now_ns, st) > record_max_age_ns;
      },
      outcome);
}

void sweep_key_records(const fs::path& dir, uint64_t now_ns, uint64_t horizon_ns,
                       SweepOutcome& outcome) {
  remove_where(
      dir,
      [&](const fs::path&, const struct stat& st) {
        // A use refreshes the record's time at most once a day.
        const bool before_horizon = util::mtime_ns(st) + day_ns < horizon_ns;
        return before_horizon || age(now_ns, st) > record_max_age_ns;
      },
      outcome);
}

void sweep_temporary(const fs::path& dir, uint64_t now_ns, SweepOutcome& outcome) {
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    const bool abandoned = it->path().filename().native().starts_with(layout::discard_prefix);
    if (!abandoned && age(now_ns, st) <= day_ns) continue;
    Inodes none;
    const uint64_t bytes = S_ISDIR(st.st_mode) ? tree_bytes(it->path(), none) : counted(st, none);
    std::error_code ignored;
    if (fs::remove_all(it->path(), ignored) == 0) continue;
    ++outcome.removed;
    outcome.removed_bytes += bytes;
  }
}

}  // namespace

CacheWalk walk_cache(const fs::path& cache) {
  CacheWalk walk;
  Inodes seen;
  walk.entries = list_entries(cache, seen, walk.total_bytes);
  std::error_code ec;
  for (auto it = fs::directory_iterator(cache, ec); !ec && it != fs::end(it); it.increment(ec)) {
    if (it->path().filename() == layout::entries_folder) continue;
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    walk.total_bytes += S_ISDIR(st.st_mode) ? tree_bytes(it->path(), seen) : counted(st, seen);
  }
  return walk;
}

uint64_t entry_bytes(const fs::path& cache, const std::string& name) {
  const int fd =
      ::open(layout::entry(cache, name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  Inodes seen;
  return files_bytes(fd, seen);
}

TrimOutcome trim_entries(const fs::path& cache, CacheWalk walk, uint64_t target) {
  TrimOutcome out{.entries = walk.entries.size(), .before = walk.total_bytes};
  uint64_t total = walk.total_bytes;
  if (total > target) {
    std::sort(walk.entries.begin(), walk.entries.end(),
              [](const EntryUse& a, const EntryUse& b) { return a.last_used_ns < b.last_used_ns; });
    for (const EntryUse& e : walk.entries) {
      if (total <= target) break;
      // Entries still being assembled live in tmp/ and are never touched.
      if (!discard(cache, layout::entry(cache, e.name))) continue;
      total = total > e.bytes ? total - e.bytes : 0;
      ++out.removed;
      out.removed_bytes += e.bytes;
      out.horizon_ns = std::max(out.horizon_ns, e.last_used_ns);
    }
  }
  out.after = total;
  return out;
}

void remove_older(const fs::path& dir, uint64_t now_ns, uint64_t max_age_ns,
                  SweepOutcome& outcome) {
  remove_where(
      dir, [&](const fs::path&, const struct stat& st) { return age(now_ns, st) > max_age_ns; },
      outcome);
}

SweepOutcome sweep_records(const fs::path& cache, uint64_t now_ns, uint64_t horizon_ns) {
  SweepOutcome out;
  sweep_described(layout::content_memos(cache), now_ns, memo_subject, out);
  sweep_described(layout::link_records(cache), now_ns, link_subject, out);
  sweep_key_records(layout::key_records(cache), now_ns, horizon_ns, out);
  remove_older(layout::quick_records(cache), now_ns, record_max_age_ns, out);
  remove_older(layout::unit_records(cache), now_ns, record_max_age_ns, out);
  remove_older(cache / layout::linker_dirs_folder, now_ns, record_max_age_ns, out);
  remove_older(cache / layout::remote_markers_folder, now_ns, day_ns, out);
  sweep_temporary(layout::temporary(cache), now_ns, out);
  return out;
}

}  // namespace kelv::artifact_cache
