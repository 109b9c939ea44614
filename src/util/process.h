#pragma once
#include <signal.h>
#include <sys/types.h>

#include <cerrno>

namespace kelv::util {

// Whether process `pid` still runs (one of another user's counts too).
inline bool process_alive(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace kelv::util
