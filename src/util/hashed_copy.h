#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "util/error.h"

namespace kelv::util {

struct HashedCopy {
  std::string blake3;  // of exactly the bytes the copy holds, 64 hex digits
  struct stat source;  // the source's metadata, read before copying
};

// Copies the open regular file `from_fd` (from its start) to `to`, which must not exist, the
// cheapest way the platform offers, and hashes the copy on the way: a copy-on-write clone is
// hashed by reading the clone itself, a plain copy from the buffer each piece is written from.
// Either way the hash is of what `to` holds, whatever happens to the source meanwhile, and no
// buffer the size of the file is ever allocated. On failure `to` is removed.
IoResult<HashedCopy> copy_hashed(int from_fd, const std::filesystem::path& to);

struct HashedAppend {
  std::string blake3;  // of exactly the bytes appended, 64 hex digits
  uint64_t bytes = 0;
};

// Appends the open regular file `from_fd` (from its start) to `to_fd` at its
// position, hashing each piece from the buffer it is written from.
IoResult<HashedAppend> append_hashed(int from_fd, int to_fd);

}  // namespace kelv::util
