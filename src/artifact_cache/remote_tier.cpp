#include "artifact_cache/remote_tier.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "artifact_cache/entry_pack.h"
#include "artifact_cache/miss_reasons.h"
#include "artifact_cache/records.h"
#include "artifact_cache/store.h"
#include "exec/proc.h"
#include "util/clock.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/platform.h"

namespace kelv::artifact_cache {
namespace {

using namespace std::chrono_literals;

// After a failure the server is left alone this long: the units that follow
// do not each wait for a server that is down.
constexpr uint64_t skip_after_failure_ns = 60ull * 1000000000ull;

// The program's exit statuses.
constexpr int found_status = 0;
constexpr int absent_status = 3;

std::string key_object(std::string_view key) {
  return fmt::format("kelv1/m/{}", key);
}
std::string entry_object(std::string_view entry) {
  return fmt::format("kelv1/e/{}", entry);
}

// A transfer file of this process, removed when it goes out of scope.
struct TransferFile {
  fs::path path;
  explicit TransferFile(fs::path p) : path(std::move(p)) {}
  TransferFile(const TransferFile&) = delete;
  TransferFile& operator=(const TransferFile&) = delete;
  ~TransferFile() { ::unlink(path.c_str()); }
};

std::optional<std::string> env_text(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

fs::path marker_of(const fs::path& cache_dir, const Remote& remote) {
  return layout::remote_marker(cache_dir, util::blake3_hex(remote.server.display).substr(0, 32));
}

std::optional<std::string> recent_failure(const Job& job, const Remote& remote) {
  return recent_remote_failure(job.cache_dir, remote);
}

void remember_failure(const Job& job, const Remote& remote, std::string_view why) {
  (void)util::write_atomic(marker_of(job.cache_dir, remote), why);
}

// The program's own messages hold no credentials; this keeps it so should a
// server echo them back.
std::string scrubbed(std::string text, const Remote& remote) {
  for (const std::string* secret : {&remote.server.password, &remote.server.user}) {
    if (secret->empty()) continue;
    for (size_t at; (at = text.find(*secret)) != std::string::npos;)
      text.replace(at, secret->size(), "<redacted>");
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (const size_t nl = text.rfind('\n'); nl != std::string::npos) text.erase(0, nl + 1);
  return text;
}

struct Ran {
  int status = 0;
  std::string out;
};

// Runs the program once; an error text when it failed or did not end in time.
std::expected<Ran, std::string> run_program(const Remote& remote, std::vector<std::string> args,
                                            std::chrono::milliseconds limit) {
  exec::Command cmd{.program = remote.program.native(), .args = std::move(args)};
  auto ran = exec::collect_output(std::move(cmd), limit);
  if (!ran)
    return std::unexpected(
        fmt::format("cannot run {}: {}", remote.program.native(), util::os_error(ran.error())));
  if (ran->timed_out)
    return std::unexpected(
        fmt::format("{} did not answer within {} ms", remote.server.display, limit.count()));
  const exec::ExitStatus& s = ran->status;
  if (s.has_code && (s.code == found_status || s.code == absent_status))
    return Ran{s.code, std::move(ran->out)};
  std::string why = scrubbed(std::move(ran->err), remote);
  if (why.empty()) why = fmt::format("{} ended without saying why", remote.program.native());
  return std::unexpected(std::move(why));
}

std::chrono::milliseconds small_limit(const Remote& remote) {
  return std::max<std::chrono::milliseconds>(5s, 3 * remote.io_timeout);
}
// A large entry takes as long as its bytes do. The program ends a transfer
// that stops moving; a server that keeps moving but slower than a megabyte a
// second is not worth waiting for.
std::chrono::milliseconds transfer_limit(const Remote& remote, uint64_t bytes) {
  constexpr uint64_t slowest_bytes_per_ms = 1024 * 1024 / 1000;
  return small_limit(remote) +
         std::chrono::milliseconds(static_cast<int64_t>(bytes / slowest_bytes_per_ms));
}
// What a fetched entry may take: its size is known only once it is here.
constexpr std::chrono::milliseconds fetch_limit = 60s;

// Fetches one object into `file`; false when the server has none.
std::expected<bool, std::string> get(const Remote& remote, const std::string& object,
                                     const fs::path& file, std::chrono::milliseconds limit) {
  auto ran = run_program(remote, {"get", object, file.native()}, limit);
  if (!ran) return std::unexpected(ran.error());
  return ran->status == found_status;
}

RemoteOutcome looked_up(std::string lookup, std::string reason = {}) {
  return RemoteOutcome{.lookup = std::move(lookup), .reason = std::move(reason)};
}

// The dependencies a key record from the server names must be plain files:
// hashing a device or a pipe it planted could block or never end.
std::optional<std::string> unusable_dependency(const Job& job, const util::Json& record) {
  auto plain_file = [](const fs::path& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) != 0 || S_ISREG(st.st_mode);  // missing: the hash says so
  };
  for (const std::string& input : texts_of(record, "inputs"))
    if (!input.starts_with("<OUT_DIR>") && !plain_file(job.cwd / input)) return input;
  for (const std::string& dep : texts_of(record, "span_deps"))
    if (!plain_file(dep)) return dep;
  return std::nullopt;
}

// Publishes a pack from the server as the local entry `entry`, the way a
// store does: assembled privately, renamed into e/ in one step.
std::expected<void, std::string> publish_pack(const Job& job, std::string_view pack,
                                              const std::string& entry) {
  const fs::path tmp = layout::assembly(job.cache_dir, entry, ::getpid());
  std::error_code ec;
  fs::remove_all(tmp, ec);
  if (auto made = util::create_dirs(tmp, 0700); !made)
    return std::unexpected(util::os_error(made.error()));
  if (auto unpacked = unpack_entry(pack, job.key, entry, tmp); !unpacked) {
    fs::remove_all(tmp, ec);
    return unpacked;
  }
  (void)util::create_dirs(layout::entries(job.cache_dir));
  // A failed rename: another process published the same entry first.
  if (::rename(tmp.c_str(), job.entry_dir(entry).c_str()) != 0) fs::remove_all(tmp, ec);
  return {};
}

RemoteOutcome fetch_entry(const Job& job, const Remote& remote, const util::Json& record) {
  if (auto odd = unusable_dependency(job, record))
    return looked_up("damaged",
                     fmt::format("the remote key record names {}, which is not a file", *odd));
  auto state = entry_state(job.cache_dir, job.key, texts_of(record, "env_deps"),
                           texts_of(record, "inputs"), texts_of(record, "span_deps"), job.cwd);
  if (!state)
    return looked_up("miss", fmt::format("the entry on the server needs {}, which cannot be hashed",
                                         state.error().detail));
  struct stat st;
  if (::lstat(job.entry_dir(state->name).c_str(), &st) != 0) {
    const TransferFile file(layout::remote_transfer(job.cache_dir, ::getpid(), "entry"));
    auto got = get(remote, entry_object(state->name), file.path, fetch_limit);
    if (!got) {
      remember_failure(job, remote, got.error());
      return looked_up("failed", got.error());
    }
    if (!*got) return looked_up("miss", "the server has no entry for the unit's inputs");
    auto pack = util::read_file(file.path);
    if (!pack) return looked_up("failed", util::os_error(pack.error()));
    if (auto published = publish_pack(job, *pack, state->name); !published)
      return looked_up("damaged", published.error());
  }
  // Written after the entry, as a store writes them.
  if (auto w = util::write_json_fast(job.key_record(job.key), record); !w)
    return looked_up("failed", util::os_error(w.error()));
  write_unit_record(job);
  return looked_up("hit");
}

}  // namespace

std::expected<std::optional<Remote>, std::string> Remote::from_env() {
  const std::optional<std::string> address = env_text("KELV_REMOTE_CACHE");
  if (!address) return std::nullopt;
  auto server = remote::parse_server_url(*address);
  if (!server) return std::unexpected(server.error());
  // Redis has a program of its own, linked without the HTTP library.
  const char* program =
      server->engine == remote::Engine::redis ? "kelv-remote-redis" : "kelv-remote";
  Remote r{.server = std::move(*server),
           .program = util::platform::current_exe().parent_path() / program};
  const std::optional<std::string> mode = env_text("KELV_REMOTE_CACHE_MODE");
  if (mode && *mode != "read-only" && *mode != "read-write")
    return std::unexpected("KELV_REMOTE_CACHE_MODE must be read-only or read-write");
  r.read_only = mode == "read-only";
  if (const std::optional<std::string> timeout = env_text("KELV_REMOTE_TIMEOUT_MS")) {
    int ms = 0;
    const auto [end, ec] = std::from_chars(timeout->data(), timeout->data() + timeout->size(), ms);
    if (ec != std::errc() || end != timeout->data() + timeout->size() || ms <= 0)
      return std::unexpected("KELV_REMOTE_TIMEOUT_MS must be a positive number of milliseconds");
    r.io_timeout = std::chrono::milliseconds(ms);
  }
  return r;
}

std::optional<std::string> recent_remote_failure(const fs::path& cache_dir, const Remote& remote) {
  const fs::path marker = marker_of(cache_dir, remote);
  struct stat st;
  if (::stat(marker.c_str(), &st) != 0) return std::nullopt;
  const uint64_t now = util::now_wall_ns();
  const uint64_t at = util::mtime_ns(st);
  if (at <= now && now - at >= skip_after_failure_ns) return std::nullopt;
  auto why = util::read_file(marker);
  return fmt::format("the remote failed less than a minute ago: {}",
                     why ? *why : std::string("(reason unreadable)"));
}

util::Json RemoteOutcome::to_json(const Remote& remote) const {
  util::Json o = util::Json::object();
  o["server"] = remote.server.display;
  if (!lookup.empty()) o["lookup"] = lookup;
  if (!reason.empty()) o["reason"] = reason;
  if (!upload.empty()) o["upload"] = upload;
  if (!upload_reason.empty()) o["upload_reason"] = upload_reason;
  return o;
}

RemoteOutcome fetch_from_remote(const Job& job, const Remote& remote) {
  if (auto down = recent_failure(job, remote)) return looked_up("skipped", std::move(*down));
  const TransferFile file(layout::remote_transfer(job.cache_dir, ::getpid(), "key"));
  (void)util::create_dirs(layout::temporary(job.cache_dir));
  auto got = get(remote, key_object(job.key), file.path, small_limit(remote));
  if (!got) {
    remember_failure(job, remote, got.error());
    return looked_up("failed", got.error());
  }
  if (!*got) return looked_up("miss", "the server has no entry for the unit");
  const auto record = util::read_json(file.path);
  if (!record || !record->is_object())
    return looked_up("damaged", "the remote key record is unreadable");
  return fetch_entry(job, remote, *record);
}

void upload_to_remote(const Job& job, const Remote& remote, std::string_view entry,
                      RemoteOutcome& outcome) {
  auto skipped = [&](std::string why) {
    outcome.upload = "skipped";
    outcome.upload_reason = std::move(why);
  };
  if (remote.read_only) return skipped("read-only");
  if (auto down = recent_failure(job, remote)) return skipped(std::move(*down));
  auto failed = [&](std::string why) {
    outcome.upload = "failed";
    outcome.upload_reason = std::move(why);
  };
  auto pack = pack_entry(job.entry_dir(entry), job.key, entry);
  if (!pack) return failed(pack.error());
  const TransferFile file(layout::remote_transfer(job.cache_dir, ::getpid(), "pack"));
  if (auto w = util::write_atomic(file.path, *pack); !w) return failed(util::os_error(w.error()));
  // An entry the server holds is not sent again, unless what it sent for
  // this unit was unusable: then ours replaces it.
  const std::string only_when_absent = outcome.lookup == "damaged" ? "" : "?";
  auto ran = run_program(remote,
                         {"put", only_when_absent + entry_object(entry), file.path.native(),
                          key_object(job.key), job.key_record(job.key).native()},
                         transfer_limit(remote, pack->size()));
  if (!ran) {
    remember_failure(job, remote, ran.error());
    return failed(ran.error());
  }
  outcome.upload = ran->out.starts_with("present ") ? "present" : "uploaded";
}

}  // namespace kelv::artifact_cache
