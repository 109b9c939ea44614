#include "util/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#include <sys/clonefile.h>
#else
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "util/fd.h"
#include "util/paths.h"

namespace kelv::util::platform {

IoResult<void> pipe_cloexec(int fds[2]) {
#if defined(__linux__)
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(last_error());
#else
  if (::pipe(fds) != 0) return std::unexpected(last_error());
  for (int i = 0; i < 2; ++i) {
    if (::fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0) {
      const IoError error = last_error();
      ::close(fds[0]);
      ::close(fds[1]);
      return std::unexpected(error);
    }
  }
#endif
  return {};
}

IoResult<int> create_clone(int from_fd, const std::filesystem::path& to, bool& cloned) {
  Fd out;
#if defined(__APPLE__)
  // clonefile creates the file itself.
  cloned = ::fclonefileat(from_fd, AT_FDCWD, to.c_str(), 0) == 0;
  if (cloned) out.reset(::open(to.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (!cloned) out.reset(::open(to.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
#else
  out.reset(::open(to.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  // A failed clone leaves the new file empty.
  cloned = out.valid() && ::ioctl(out.get(), FICLONE, from_fd) == 0;
#endif
  if (!out.valid()) return std::unexpected(last_error());
  return out.release();
}

void lower_thread_priority() {
#if defined(__APPLE__)
  (void)::setpriority(PRIO_DARWIN_THREAD, 0, PRIO_DARWIN_BG);
#else
  // On Linux a thread's nice value is its own (PRIO_PROCESS with a thread
  // id), and children inherit it. Ten, not nineteen: what is left when the
  // build ends is still sent at a fair share of a busy machine.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
#endif
}

std::filesystem::path current_exe() {
#if defined(__APPLE__)
  char buf[4096];
  uint32_t size = sizeof buf;
  if (_NSGetExecutablePath(buf, &size) != 0) return {};
  return canon(buf);
#else
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return {};
  return std::filesystem::path(std::string(buf, static_cast<size_t>(n)));
#endif
}

}  // namespace kelv::util::platform
