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

// Reads `in` from its start piece by piece; each piece is hashed and written
// from the same buffer. Where no clone is offered this is also cheaper than
// the kernel's copy followed by reading the copy back: the bytes cross into
// the process once, not twice.
IoResult<HashedAppend> copy_through(int in, int out, unsigned char* buffer) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(in, buffer, chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return HashedAppend{finish(hasher), static_cast<uint64_t>(at)};
    blake3_hasher_update(&hasher, buffer, static_cast<size_t>(n));
    if (auto w = write_all(out, buffer, static_cast<size_t>(n)); !w)
      return std::unexpected(w.error());
    at += n;
  }
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
  IoResult<std::string> hash;
  if (cloned) {
    hash = hash_from_start(out.get(), buffer.get());
  } else if (auto copied = copy_through(from_fd, out.get(), buffer.get())) {
    hash = std::move(copied->blake3);
  } else {
    hash = std::unexpected(copied.error());
  }
  if (hash && ::close(out.release()) != 0) hash = std::unexpected(last_error());
  if (!hash) {
    ::unlink(to.c_str());
    return std::unexpected(hash.error());
  }
  result.blake3 = std::move(*hash);
  return result;
}

IoResult<HashedAppend> append_hashed(int from_fd, int to_fd) {
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(chunk);
  return copy_through(from_fd, to_fd, buffer.get());
}

}  // namespace kelv::util
