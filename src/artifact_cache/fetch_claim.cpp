#include "artifact_cache/fetch_claim.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <string>
#include <thread>

#include "util/clock.h"
#include "util/fd.h"
#include "util/process.h"

namespace kelv::artifact_cache {
namespace {

namespace fs = std::filesystem;

fs::path claim_path(const fs::path& stage, std::string_view key) {
  return stage / (std::string(key) + ".claim");
}

// Whether a live process holds the claim at `path`: not once the claim is
// gone, unreadable or its holder has ended.
bool held_by_live_process(const fs::path& path) {
  char text[32];
  const util::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return false;
  const ssize_t n = ::read(fd.get(), text, sizeof text);
  if (n <= 0) return false;
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(text, text + n, pid);
  if (ec != std::errc() || end != text + n || pid <= 0) return false;
  return util::process_alive(pid);
}

}  // namespace

fs::path staged_record(const fs::path& stage, std::string_view key) {
  return stage / (std::string(key) + ".json");
}

FetchClaim FetchClaim::take(const fs::path& stage, std::string_view key) {
  // Written aside and linked into place, so that a claim always names its
  // holder: the link fails when another process holds the key.
  const std::string pid = std::to_string(::getpid());
  const fs::path aside = stage / ("." + std::string(key) + "." + pid);
  {
    const util::Fd fd(::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const bool written =
        fd.valid() && ::write(fd.get(), pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
    if (!written) {
      ::unlink(aside.c_str());
      return FetchClaim({});
    }
  }
  fs::path path = claim_path(stage, key);
  const bool linked = ::link(aside.c_str(), path.c_str()) == 0;
  ::unlink(aside.c_str());
  return FetchClaim(linked ? std::move(path) : fs::path());
}

FetchClaim::~FetchClaim() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

void await_claim(const fs::path& stage, std::string_view key, std::chrono::milliseconds limit) {
  using namespace std::literals;
  const fs::path claim = claim_path(stage, key);
  const fs::path staged = staged_record(stage, key);
  const uint64_t deadline = util::mono_ns() + static_cast<uint64_t>(limit.count()) * 1000000ull;
  while (::access(staged.c_str(), F_OK) != 0 && held_by_live_process(claim) &&
         util::mono_ns() < deadline)
    std::this_thread::sleep_for(2ms);
}

}  // namespace kelv::artifact_cache
