#include "util/file_lock.h"

#include <fmt/format.h>
#include <sys/file.h>
#include <time.h>

#include "util/clock.h"
#include "util/error.h"
#include "util/files.h"

namespace kelv::util {

std::expected<FileLock, std::string> FileLock::acquire(const std::filesystem::path& path,
                                                       uint64_t wait_ns) {
  (void)create_dirs(path.parent_path());
  Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd.valid())
    return std::unexpected(
        fmt::format("cannot open {}: {}", path.native(), os_error(last_error())));
  const uint64_t until = mono_ns() + wait_ns;
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return FileLock(std::move(fd));
    if (errno != EWOULDBLOCK && errno != EINTR)
      return std::unexpected(
          fmt::format("cannot lock {}: {}", path.native(), os_error(last_error())));
    if (mono_ns() >= until)
      return std::unexpected(fmt::format("{} stayed locked by another kelv for {} s", path.native(),
                                         wait_ns / 1000000000));
    const struct timespec pause { .tv_sec = 0, .tv_nsec = 20L * 1000 * 1000 };
    ::nanosleep(&pause, nullptr);
  }
}

}  // namespace kelv::util
