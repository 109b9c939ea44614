#pragma once
#include <chrono>
#include <filesystem>
#include <string_view>
#include <utility>

// Who fetches a key from the server during a build: the build's prefetcher
// or the unit itself, never both at once. Each claims the key in the
// prefetcher's stage before it asks the server (a file "<key>.claim" made
// only when absent, holding the claimant's process id). A prefetcher that
// finds a unit's claim leaves that unit alone; a unit that finds the
// prefetcher's waits for what it brings rather than moving the same entry a
// second time.
namespace kelv::artifact_cache {

// Where the prefetcher leaves the key record of `key` it brought, once its
// entry is in the local cache.
std::filesystem::path staged_record(const std::filesystem::path& stage, std::string_view key);

class FetchClaim {
 public:
  // Claims `key` in `stage` for this process; not held when another
  // process holds it (or the stage is gone).
  static FetchClaim take(const std::filesystem::path& stage, std::string_view key);

  FetchClaim(FetchClaim&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  FetchClaim& operator=(FetchClaim&&) = delete;
  FetchClaim(const FetchClaim&) = delete;
  FetchClaim& operator=(const FetchClaim&) = delete;
  ~FetchClaim();

  bool held() const { return !path_.empty(); }

 private:
  explicit FetchClaim(std::filesystem::path path) : path_(std::move(path)) {}
  std::filesystem::path path_;  // empty when not held
};

// Waits while a live process holds the claim on `key` in `stage` and its
// record "<key>.json" is not staged yet, at most `limit`.
void await_claim(const std::filesystem::path& stage, std::string_view key,
                 std::chrono::milliseconds limit);

}  // namespace kelv::artifact_cache
