#include "artifact_cache/upload_queue.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <thread>

#include "artifact_cache/transfer_program.h"
#include "remote/exit_status.h"
#include "util/files.h"
#include "util/process.h"

namespace kelv::artifact_cache {
namespace {

using namespace std::literals;

// How long an uploader waits, while the build goes on, before it looks for
// new uploads again.
constexpr auto poll_interval = 50ms;

// A queued upload is a few dozen bytes of JSON.
constexpr off_t longest_item = 4096;

struct Item {
  std::string entry;
  bool replace = false;
};

bool is_hex_name(std::string_view name) {
  return !name.empty() && name.size() <= 128 &&
         name.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::optional<Item> read_item(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > longest_item)
    return std::nullopt;
  const auto json = util::read_json(path);
  if (!json || !json->is_object() || !(*json)["entry"].is_string()) return std::nullopt;
  Item item{.entry = (*json)["entry"].get<std::string>(), .replace = json->value("replace", false)};
  if (!is_hex_name(item.entry)) return std::nullopt;
  return item;
}

// Puts a claim back in the queue, unless the key was queued again
// meanwhile (the newer upload supersedes it).
void return_to_queue(const fs::path& claim, const fs::path& queued_at) {
  if (::access(queued_at.c_str(), F_OK) == 0 || ::rename(claim.c_str(), queued_at.c_str()) != 0)
    ::unlink(claim.c_str());
}

// Claims left by uploaders that are gone go back to the queue, unless the
// unit was queued again meanwhile.
void reclaim(const fs::path& queue) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(layout::uploads_sending(queue), ec)) {
    const std::string name = e.path().filename().native();
    const size_t dot = name.rfind('.');
    pid_t pid = 0;
    if (dot == std::string::npos) continue;
    const auto [end, err] = std::from_chars(name.data() + dot + 1, name.data() + name.size(), pid);
    if (err != std::errc() || end != name.data() + name.size() || pid == ::getpid() ||
        util::process_alive(pid))
      continue;
    return_to_queue(e.path(), queue / name.substr(0, dot));
  }
}

std::vector<std::string> queued(const fs::path& queue) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(queue, ec)) {
    std::string name = e.path().filename().native();
    if (is_hex_name(name)) names.push_back(std::move(name));
  }
  return names;
}

enum class Sent { uploaded, present, dropped };

std::expected<Sent, Failed> send_one(const fs::path& cache_dir, const Remote& remote,
                                     TransferProgram& program, const std::string& key,
                                     const Item& item) {
  const fs::path entry_dir = layout::entry(cache_dir, item.entry);
  if (::access(entry_dir.c_str(), F_OK) != 0 ||
      ::access(layout::key_record(cache_dir, key).c_str(), F_OK) != 0)
    return Sent::dropped;  // evicted (or discarded) before it was sent
  auto sent = send_entry(cache_dir, remote, program, key, item.entry, item.replace);
  // An entry removed while it was packed was evicted too.
  if (!sent && ::access(entry_dir.c_str(), F_OK) != 0) return Sent::dropped;
  if (!sent) return std::unexpected(std::move(sent.error()));
  return *sent ? Sent::present : Sent::uploaded;
}

// Sends the upload claimed as `claim` and counts it; true when the server
// (or its writes) failed, which ends sending: the claim is then queued
// again at `queued_at`.
bool send_claimed(const fs::path& cache_dir, const Remote& remote, TransferProgram& program,
                  const fs::path& queued_at, const fs::path& claim, UploadTally& tally) {
  const std::string key = queued_at.filename().native();
  const std::optional<Item> item = read_item(claim);
  auto sent = item ? send_one(cache_dir, remote, program, key, *item) : Sent::dropped;
  if (sent) {
    ++(*sent == Sent::uploaded  ? tally.uploaded
       : *sent == Sent::present ? tally.present
                                : tally.dropped);
    ::unlink(claim.c_str());
    return false;
  }
  ++tally.failed;
  if (tally.first_failure.empty()) tally.first_failure = sent.error().why;
  if (sent.error().reach == Reach::object) {
    ::unlink(claim.c_str());  // this object will not go however often it is tried
    return false;
  }
  remember_failure(cache_dir, remote, Direction::write, sent.error());
  return_to_queue(claim, queued_at);
  return true;
}

}  // namespace

std::expected<void, std::string> queue_upload(const Job& job, const Remote& remote,
                                              std::string_view entry, bool replace) {
  util::Json item = util::Json::object();
  item["entry"] = entry;
  if (replace) item["replace"] = true;
  const fs::path path = layout::upload_queue(job.cache_dir, remote.digest()) / job.key;
  if (auto w = util::write_atomic(path, item.dump()); !w)
    return std::unexpected(
        fmt::format("cannot queue the upload: {}: {}", path.native(), util::os_error(w.error())));
  return {};
}

UploadTally send_queue(const fs::path& cache_dir, const Remote& remote,
                       const std::atomic<bool>& building) {
  UploadTally tally;
  const fs::path queue = layout::upload_queue(cache_dir, remote.digest());
  const fs::path sending = layout::uploads_sending(queue);
  (void)util::create_dirs(sending);
  (void)util::create_dirs(layout::temporary(cache_dir));
  reclaim(queue);
  TransferProgram program(remote);
  bool stopped = false;
  if (auto down = recent_remote_failure(cache_dir, remote, Direction::write)) {
    stopped = true;
    tally.first_failure = std::move(*down);
  }
  for (;;) {
    const bool was_building = building.load();
    size_t handled = 0;
    for (const std::string& key : stopped ? std::vector<std::string>{} : queued(queue)) {
      const fs::path claim = sending / fmt::format("{}.{}", key, ::getpid());
      if (::rename((queue / key).c_str(), claim.c_str()) != 0) continue;  // another took it
      ++handled;
      if (send_claimed(cache_dir, remote, program, queue / key, claim, tally)) {
        stopped = true;
        break;
      }
    }
    if (!was_building && (handled == 0 || stopped)) break;
    if (handled == 0) std::this_thread::sleep_for(poll_interval);
  }
  tally.left = queued(queue).size();
  return tally;
}

}  // namespace kelv::artifact_cache
