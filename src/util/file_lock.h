#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

#include "util/fd.h"

namespace kelv::util {

// An exclusive advisory lock on a file (created when missing), held while
// the value lives. Processes that maintain a shared directory take it so
// that one of them at a time does the work.
class FileLock {
 public:
  // Waits up to `wait_ns` for the lock: a holder that is stopped or hung
  // must not hang everyone else. An error text when it is not had.
  static std::expected<FileLock, std::string> acquire(const std::filesystem::path& path,
                                                      uint64_t wait_ns);

 private:
  explicit FileLock(Fd fd) : fd_(std::move(fd)) {}
  Fd fd_;  // closing it releases the lock
};

}  // namespace kelv::util
