#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace kelv::util {

// Nanoseconds since the Unix epoch; 0 when the clock is before it.
uint64_t now_wall_ns();

// A monotonic reading in nanoseconds, for durations.
uint64_t mono_ns();

// A file's modification time in nanoseconds since the epoch; 0 when unknown.
uint64_t mtime_ns(const struct stat& st);

// UTC time as YYYY-MM-DDTHH:MM:SS.mmmZ.
std::string iso8601(uint64_t ns);

}  // namespace kelv::util
