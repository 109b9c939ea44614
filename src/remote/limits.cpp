#include "remote/limits.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "util/size.h"

namespace kelv::remote {

using std::chrono::milliseconds;

milliseconds Limits::longest(uint64_t bytes) const {
  const uint64_t per_ms = std::max<uint64_t>(1, min_bytes_per_second / 1000);
  const uint64_t ms = std::min<uint64_t>(bytes / per_ms, uint64_t{1} << 40);
  return io_timeout + milliseconds(static_cast<int64_t>(ms)) + io_timeout;
}

std::optional<milliseconds> parse_timeout_ms(std::string_view text) {
  constexpr uint64_t most = 3'600'000;
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != text.npos)
    return std::nullopt;
  uint64_t ms = 0;
  std::from_chars(text.data(), text.data() + text.size(), ms);
  if (ms == 0 || ms > most) return std::nullopt;
  return milliseconds(static_cast<int64_t>(ms));
}

std::expected<Limits, std::string> Limits::from_env() {
  Limits limits;
  if (const char* text = std::getenv("KELV_REMOTE_TIMEOUT_MS"); text && *text) {
    const auto ms = parse_timeout_ms(text);
    if (!ms)
      return std::unexpected(
          "KELV_REMOTE_TIMEOUT_MS must be a whole number of milliseconds from 1 to 3600000");
    limits.io_timeout = *ms;
  }
  if (const char* text = std::getenv("KELV_REMOTE_MAX_OBJECT_SIZE"); text && *text) {
    const auto bytes = util::parse_size(text);
    if (!bytes || *bytes == 0)
      return std::unexpected("KELV_REMOTE_MAX_OBJECT_SIZE must be a size such as 512M or 4G");
    limits.max_object_bytes = *bytes;
  }
  return limits;
}

std::optional<std::string> Pace::overdue(Clock::time_point now) const {
  if (now - last_ > limits_.io_timeout)
    return fmt::format("nothing moved for {} ms", limits_.io_timeout.count());
  const auto past_grace = now - start_ - limits_.io_timeout;
  if (past_grace <= Clock::duration::zero()) return std::nullopt;
  const auto ms = std::chrono::duration_cast<milliseconds>(past_grace).count();
  const uint64_t owed = static_cast<uint64_t>(ms) * (limits_.min_bytes_per_second / 1000);
  if (total_ < owed)
    return fmt::format("slower than {} KiB/s after {} ms", limits_.min_bytes_per_second >> 10,
                       limits_.io_timeout.count());
  return std::nullopt;
}

milliseconds Pace::next_check(Clock::time_point now) const {
  const auto idle_left =
      std::chrono::duration_cast<milliseconds>(limits_.io_timeout - (now - last_));
  return std::clamp(idle_left, milliseconds(1), milliseconds(50));
}

}  // namespace kelv::remote
