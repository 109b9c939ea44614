#include "util/hashed_copy.h"

#include <blake3.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "util/fd.h"
#include "util/hash.h"
#include "util/platform.h"

namespace kelv::util {
namespace {

constexpr size_t chunk = size_t{256} * 1024;

std::string finish(blake3_hasher& hasher) {
  unsigned char out[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(&hasher, out, BLAKE3_OUT_LEN);
  return hex(out);
}

// Hashes the whole content of `fd`, from its start.
IoResult<std::string> hash_from_start(int fd, unsigned char* buffer) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer, chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return finish(hasher);
    blake3_hasher_update(&hasher, buffer, static_cast<size_t>(n));
    at += n;
  }
}

IoResult<void> write_all(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return std::unexpected(last_error());
    p += w;
    n -= static_cast<size_t>(w);
  }
  return {};
}

// Reads `in` piece by piece; each piece is hashed and written from the same
// buffer.
IoResult<std::string> copy_through(int in, int out, unsigned char* buffer) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  for (;;) {
    const ssize_t n = ::read(in, buffer, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return finish(hasher);
    blake3_hasher_update(&hasher, buffer, static_cast<size_t>(n));
    if (auto w = write_all(out, buffer, static_cast<size_t>(n)); !w)
      return std::unexpected(w.error());
  }
}

IoResult<std::string> copy_into(int in, int out, uint64_t size, unsigned char* buffer) {
  auto copied = platform::kernel_copy(in, out, size);
  if (!copied) return std::unexpected(copied.error());
  return *copied ? hash_from_start(out, buffer) : copy_through(in, out, buffer);
}

}  // namespace

IoResult<HashedCopy> copy_hashed(int from_fd, const std::filesystem::path& to) {
  HashedCopy result;
  if (::fstat(from_fd, &result.source) != 0) return std::unexpected(last_error());
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(chunk);

  bool cloned = false;
  auto created = platform::create_clone(from_fd, to, cloned);
  if (!created) return std::unexpected(created.error());
  Fd out(*created);
  const auto size = static_cast<uint64_t>(result.source.st_size);
  IoResult<std::string> hash = cloned ? hash_from_start(out.get(), buffer.get())
                                      : copy_into(from_fd, out.get(), size, buffer.get());
  if (hash && ::close(out.release()) != 0) hash = std::unexpected(last_error());
  if (!hash) {
    ::unlink(to.c_str());
    return std::unexpected(hash.error());
  }
  result.blake3 = std::move(*hash);
  return result;
}

}  // namespace kelv::util
