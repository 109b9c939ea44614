#pragma once
#include <sys/stat.h>

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

}  // namespace kelv::util
