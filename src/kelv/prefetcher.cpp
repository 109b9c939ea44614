#include "kelv/prefetcher.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <tuple>

#include "util/files.h"
#include "util/hash.h"

namespace kelv::tool {

namespace fs = std::filesystem;

std::optional<std::string> build_list_name(std::span<const std::string> args,
                                           const fs::path& working_dir) {
  std::error_code ec;
  fs::path dir = fs::absolute(working_dir, ec);
  if (ec) return std::nullopt;
  while (!fs::exists(dir / "Cargo.lock", ec)) {
    if (dir == dir.parent_path()) return std::nullopt;
    dir = dir.parent_path();
  }
  auto lock = util::read_file(dir / "Cargo.lock");
  if (!lock) return std::nullopt;
  std::string named = "kelv build list 1";
  named += '\0';
  for (const std::string& a : args) named += a + '\0';
  for (const char* variable :
       {"RUSTUP_TOOLCHAIN", "RUSTFLAGS", "CARGO_ENCODED_RUSTFLAGS", "CARGO_BUILD_TARGET"}) {
    const char* value = std::getenv(variable);
    named += std::string(variable) + '=' + (value ? value : "") + '\0';
  }
  named += *lock;
  return util::blake3_hex(named).substr(0, 32);
}

Prefetcher::Prefetcher(exec::Command& cmd, const fs::path& cache_dir,
                       const std::optional<artifact_cache::Remote>& remote,
                       const fs::path& event_dir, const std::optional<std::string>& name)
    : cache_dir_(cache_dir), remote_(remote), name_(name) {
  cmd.remove_env("KELV_REMOTE_PREFETCH");
  if (!remote_ || !name) return;
  stage_ = event_dir / "prefetched";
  cmd.set_env("KELV_REMOTE_PREFETCH", stage_.native());
  thread_ = std::thread([this, name = *name] {
    tally_ = artifact_cache::prefetch(cache_dir_, *remote_, name, stage_, building_);
  });
}

Prefetcher::~Prefetcher() {
  stop();
}

void Prefetcher::stop() {
  building_ = false;
  if (thread_.joinable()) thread_.join();
  std::error_code ec;
  if (!stage_.empty()) fs::remove_all(stage_, ec);
  stage_.clear();
}

void Prefetcher::abandon() {
  building_ = false;
  if (thread_.joinable()) thread_.detach();
  stage_.clear();
}

void Prefetcher::leave_list(const std::vector<Unit>& units,
                            const std::optional<std::string>& name) {
  using artifact_cache::ListedUnit;
  stop();
  if (!remote_ || !name || remote_->read_only ||
      artifact_cache::recent_remote_failure(cache_dir_, *remote_, artifact_cache::Direction::write))
    return;
  std::vector<ListedUnit> listed;
  std::set<std::string> seen;
  for (const Unit& u : units) {
    const bool cached = u.cache_result == "hit" || u.cache_result == "stored";
    if (cached && !u.key.empty() && !u.entry.empty() && seen.insert(u.key).second)
      listed.push_back({u.key, u.entry});
  }
  if (listed.empty()) return;
  // A build that built what the list named (in whatever order) leaves it.
  auto sorted = [](std::vector<ListedUnit> v) {
    std::ranges::sort(v, {}, [](const ListedUnit& l) { return std::tie(l.key, l.entry); });
    return v;
  };
  if (name == name_ && sorted(listed) == sorted(tally_.listed)) return;
  if (auto sent = artifact_cache::send_build_list(cache_dir_, *remote_, *name, listed); !sent)
    artifact_cache::remember_failure(cache_dir_, *remote_, artifact_cache::Direction::write,
                                     sent.error());
}

}  // namespace kelv::tool
