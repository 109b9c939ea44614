#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kelv::util {

// Owns one file descriptor and closes it when dropped.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Opens a regular file for reading. Anything else fails (a directory with
// EISDIR, a FIFO or device with EINVAL) without blocking: a FIFO planted
// where a file belongs would otherwise hang the reader, a device such as
// /dev/zero never end. Sets errno on failure.
inline Fd open_regular(const char* path) {
  Fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return fd;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Fd();
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return Fd();
  }
  return fd;
}

}  // namespace kelv::util
