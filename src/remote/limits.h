#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

// How much a remote request may cost: the same limits in the wrapper (which
// kills a transfer program that overruns them) and in the program (which
// ends a request that breaks them).
namespace kelv::remote {

struct Limits {
  // A request fails when no byte has moved either way for this long
  // (KELV_REMOTE_TIMEOUT_MS); past it, it must keep the slowest rate below.
  std::chrono::milliseconds io_timeout{2000};
  // No object is read past this many bytes (KELV_REMOTE_MAX_OBJECT_SIZE).
  uint64_t max_object_bytes = uint64_t{4} << 30;
  // A request that has not moved this many bytes a second, counted from the
  // end of its first io_timeout, is not worth waiting for.
  uint64_t min_bytes_per_second = uint64_t{1} << 20;

  std::chrono::milliseconds connect_timeout() const {
    return std::min(io_timeout, std::chrono::milliseconds(1000));
  }
  // The longest a request moving `bytes` can take within the limits.
  std::chrono::milliseconds longest(uint64_t bytes) const;

  // From KELV_REMOTE_TIMEOUT_MS and KELV_REMOTE_MAX_OBJECT_SIZE; an error
  // text naming the variable when one is unusable.
  static std::expected<Limits, std::string> from_env();
};

// The value of KELV_REMOTE_TIMEOUT_MS: whole milliseconds, 1 to 3600000.
std::optional<std::chrono::milliseconds> parse_timeout_ms(std::string_view text);

// One request's progress against the limits.
class Pace {
 public:
  using Clock = std::chrono::steady_clock;
  Pace(const Limits& limits, Clock::time_point start)
      : limits_(limits), start_(start), last_(start) {}

  void moved(uint64_t bytes, Clock::time_point now) {
    if (bytes == 0) return;
    total_ += bytes;
    last_ = now;
  }
  // Why the request is to be given up at `now`; nothing while it keeps up.
  std::optional<std::string> overdue(Clock::time_point now) const;
  // How long to wait for the next byte before asking `overdue` again.
  std::chrono::milliseconds next_check(Clock::time_point now) const;

 private:
  Limits limits_;
  Clock::time_point start_, last_;
  uint64_t total_ = 0;
};

}  // namespace kelv::remote
