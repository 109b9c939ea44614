#include "util/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <copyfile.h>
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

IoResult<void> clone_or_copy(const std::filesystem::path& from, const std::filesystem::path& to) {
#if defined(__APPLE__)
  if (::clonefile(from.c_str(), to.c_str(), 0) == 0) return {};
#endif
  Fd in = open_regular(from.c_str());
  if (!in.valid()) return std::unexpected(last_error());
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return std::unexpected(last_error());
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777));
  if (!out.valid()) return std::unexpected(last_error());
#if !defined(__APPLE__)
  if (::ioctl(out.get(), FICLONE, in.get()) == 0) return {};
#endif
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return {};
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out.get(), buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return std::unexpected(last_error());
      done += w;
    }
  }
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
