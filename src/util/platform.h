#pragma once
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <filesystem>

#include "util/error.h"

// What differs between the platforms the wrapper runs on.
namespace kelv::util::platform {

// The variable through which the dynamic loader finds a toolchain's libraries.
#if defined(__APPLE__)
inline constexpr const char* loader_path_var = "DYLD_FALLBACK_LIBRARY_PATH";
#else
inline constexpr const char* loader_path_var = "LD_LIBRARY_PATH";
#endif

// Peak resident set size in bytes (Linux reports KiB, macOS bytes).
inline uint64_t max_rss_bytes(const struct rusage& ru) {
#if defined(__APPLE__)
  return static_cast<uint64_t>(ru.ru_maxrss);
#else
  return static_cast<uint64_t>(ru.ru_maxrss) * 1024;
#endif
}

// A file's modification time as the stat record holds it (Linux names the
// member st_mtim, macOS st_mtimespec).
inline const struct timespec& mtime_of(const struct stat& st) {
#if defined(__APPLE__)
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}
inline struct timespec& mtime_of(struct stat& st) {
#if defined(__APPLE__)
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}

// A pipe whose both ends are closed on exec. Linux creates it that way in
// one call; elsewhere the flag is set right after, so a child started by
// another thread in between may inherit the ends.
IoResult<void> pipe_cloexec(int fds[2]);

// Creates `to`, which must not exist, open for reading and writing: as a
// copy-on-write clone of the open file `from_fd` where the file system can
// clone (`cloned` is then true), else empty for the caller to fill.
IoResult<int> create_clone(int from_fd, const std::filesystem::path& to, bool& cloned);

// Lowers the calling thread's scheduling priority (and that of the programs
// it starts from then on), for background work that must not slow a build
// down: it then runs on what the build leaves idle. Best effort.
void lower_thread_priority();

// This program's own executable, canonical; empty when it cannot be had.
std::filesystem::path current_exe();

}  // namespace kelv::util::platform
