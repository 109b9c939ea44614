#include "util/clock.h"

#include <fmt/format.h>
#include <time.h>

#include "util/platform.h"

namespace kelv::util {
namespace {

uint64_t read_clock(clockid_t id) {
  struct timespec ts;
  if (::clock_gettime(id, &ts) != 0 || ts.tv_sec < 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

uint64_t now_wall_ns() {
  return read_clock(CLOCK_REALTIME);
}
uint64_t mono_ns() {
  return read_clock(CLOCK_MONOTONIC);
}

uint64_t mtime_ns(const struct stat& st) {
  const struct timespec& mtime = platform::mtime_of(st);
  if (mtime.tv_sec < 0) return 0;
  return static_cast<uint64_t>(mtime.tv_sec) * 1000000000ull + static_cast<uint64_t>(mtime.tv_nsec);
}

std::string iso8601(uint64_t ns) {
  const uint64_t days = ns / 86400000000000ull;
  const uint64_t secs = ns / 1000000000ull % 86400;
  const uint64_t millis = ns % 1000000000ull / 1000000;
  // Civil date from days since 1970-01-01 (eras of 146097 days, March-based years).
  const uint64_t z = days + 719468;
  const uint64_t era = z / 146097;
  const uint64_t doe = z - era * 146097;
  const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint64_t mp = (5 * doy + 2) / 153;
  const uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", year, month, day, secs / 3600,
                     secs / 60 % 60, secs % 60, millis);
}

}  // namespace kelv::util
