#pragma once
#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "artifact_cache/job.h"
#include "remote/limits.h"
#include "remote/url.h"
#include "util/files.h"

// The cache's second tier: a Redis, HTTP or S3-compatible server shared by a
// team and its CI machines. The transfers run in the `kelv-remote` program (the wrapper
// itself stays free of network libraries and starts fast); this side decides
// what to ask for, checks what comes back and publishes it into the local
// cache exactly as a store would.
//
// On the server, an entry is one object, "kelv1/e/<entry name>" (every file
// of the entry, see entry_pack.h), and a key record is "kelv1/m/<key>". The
// entry is uploaded before its key record, so that a reader who finds the
// record finds the entry.
namespace kelv::artifact_cache {

struct Remote {
  remote::ServerUrl server;
  // The address as given, credentials and all: only the transfer programs
  // are given it, in their environment.
  std::string address;
  // s3: the credential variables the transfer program is given (they are
  // kept out of the environment of everything else the wrapper runs).
  std::vector<std::pair<std::string, std::string>> credentials;
  fs::path program;  // the kelv-remote program
  bool read_only = false;
  // Stored entries are queued for the build's uploader (KELV_REMOTE_UPLOADER,
  // set by `kelv cargo`) instead of sent by the unit.
  bool queued = false;
  // Where the build's prefetcher leaves the key records it brought from the
  // server, as `<key>.json`, once their entries are in the local cache
  // (KELV_REMOTE_PREFETCH, set by `kelv cargo`); empty without one.
  fs::path prefetched;
  // What one request may cost; the program applies them, the wrapper kills
  // a run that goes beyond them.
  remote::Limits limits;

  // The remote of KELV_REMOTE_CACHE (or of the file KELV_REMOTE_CACHE_FILE
  // names, which is how `kelv cargo` passes it), KELV_REMOTE_CACHE_MODE and
  // the limits' variables: absent when neither is set, an error text (never
  // holding credentials) when it is unusable. The program is found beside
  // the running executable.
  static std::expected<std::optional<Remote>, std::string> from_env();
  // A short digest of the server's name, naming its markers and queue.
  std::string digest() const;
};

// Checks `pack` from the server as entry `entry` of key `key` and publishes
// it into the local cache, the way a store does: assembled privately,
// renamed into place in one step (a failed rename: another process
// published it first).
std::expected<void, std::string> publish_remote_entry(const fs::path& cache_dir,
                                                      std::string_view key,
                                                      const std::string& entry,
                                                      std::string_view pack);

// A key record is a few lists of names: one larger than this (the transfer
// program's bound, and the same in bytes) is no record of ours.
inline constexpr std::string_view key_record_limit = "16M";
inline constexpr off_t key_record_bytes = off_t{16} << 20;

// The server's names of a key's record and of an entry.
std::string key_object(std::string_view key);
std::string entry_object(std::string_view entry);

// What a request that moves little may take, and one moving `bytes`: the
// program ends a request that stops moving or falls below the slowest rate;
// these only end a program that overruns what that allows.
std::chrono::milliseconds small_limit(const Remote& remote);
std::chrono::milliseconds transfer_limit(const Remote& remote, uint64_t bytes);

// Takes KELV_REMOTE_CACHE (and, for an s3:// address, the AWS credential
// variables) out of this process's environment, keeping them for
// `Remote::from_env`: no compiler, proc-macro or build script started from
// here learns the server's password.
void withdraw_remote_address();

// The text of a remote file (KELV_REMOTE_CACHE_FILE): the address on its
// first line, then a NAME=value line for each credential variable.
std::string remote_file_text(std::string_view address,
                             const std::vector<std::pair<std::string, std::string>>& credentials);

// The two ways of using a server, each with its own health: a server that
// refuses writes (read-only credentials, a full disk) still serves lookups.
enum class Direction { read, write };

// What the remote tier did for one unit, for its report.
struct RemoteOutcome {
  // "hit": the entry came from the server (and is now local); "miss": the
  // server has none for the unit's current state; "skipped": not asked
  // (`reason` says why); "failed": the server failed (it is skipped by the
  // next units for a while); "damaged": what it sent was unusable.
  // Empty when the unit was not looked up remotely (a local hit).
  std::string lookup;
  std::string reason;       // why the lookup was skipped, failed, damaged or missed
  bool prefetched = false;  // the key record came from the build's prefetcher
  // "uploaded", "present" (the server had it), "queued" (for the build's
  // uploader), "skipped" or "failed"; empty when nothing was stored.
  std::string upload;
  std::string upload_reason;

  util::Json to_json(const Remote& remote) const;
};

// Why the server is left alone for reads or writes, when they failed a short
// while ago (units then skip it instead of each waiting for a server that is
// down).
std::optional<std::string> recent_remote_failure(const fs::path& cache_dir, const Remote& remote,
                                                 Direction direction);

// After a local miss: brings the unit's entry into the local cache, when the
// server has one for the unit's current state. A "hit" means that a local
// lookup now finds it.
RemoteOutcome fetch_from_remote(const Job& job, const Remote& remote);

// Remembers a failure of the server for `direction` (or both, when the
// whole server failed), so that units skip it for a while.
struct Failed;
void remember_failure(const fs::path& cache_dir, const Remote& remote, Direction direction,
                      const Failed& failed);

// Sends the local entry `entry` (unless `replace` is false and the server
// has it) and then the key record of `key`, through `program`; true when
// the server had the entry already.
class TransferProgram;
std::expected<bool, Failed> send_entry(const fs::path& cache_dir, const Remote& remote,
                                       TransferProgram& program, std::string_view key,
                                       std::string_view entry, bool replace);

// After a local store of entry `entry`: sends it and its key record to the
// server, unless the server has the entry already.
void upload_to_remote(const Job& job, const Remote& remote, std::string_view entry,
                      RemoteOutcome& outcome);

}  // namespace kelv::artifact_cache
