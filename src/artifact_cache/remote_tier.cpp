#include "artifact_cache/remote_tier.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <span>

#include "artifact_cache/entry_pack.h"
#include "artifact_cache/fetch_claim.h"
#include "artifact_cache/miss_reasons.h"
#include "artifact_cache/records.h"
#include "artifact_cache/store.h"
#include "artifact_cache/transfer_program.h"
#include "artifact_cache/upload_queue.h"
#include "exec/proc.h"
#include "remote/exit_status.h"
#include "remote/scrub.h"
#include "util/clock.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/secret_names.h"

namespace kelv::artifact_cache {
namespace {

using namespace std::literals;

// After a failure the server is left alone this long: the units that follow
// do not each wait for a server that is down.
constexpr uint64_t skip_after_failure_ns = 60ull * 1000000000ull;

// What a key record from the server may make the wrapper read and hash.
constexpr size_t most_env_deps = 1024;
constexpr size_t most_paths = 16384;
constexpr uint64_t most_bytes_hashed = uint64_t{1} << 30;

std::optional<std::string> env_text(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::optional<std::string>& held_address() {
  static std::optional<std::string> address;
  return address;
}
std::vector<std::pair<std::string, std::string>>& held_credentials() {
  static std::vector<std::pair<std::string, std::string>> credentials;
  return credentials;
}

fs::path marker_of(const fs::path& cache_dir, const Remote& remote, Direction direction) {
  return layout::remote_marker(
      cache_dir, remote.digest() + (direction == Direction::read ? ".read" : ".write"));
}

}  // namespace

std::expected<void, std::string> publish_remote_entry(const fs::path& cache_dir,
                                                      std::string_view key,
                                                      const std::string& entry,
                                                      std::string_view pack) {
  const fs::path tmp = layout::assembly(cache_dir, entry, ::getpid());
  std::error_code ec;
  fs::remove_all(tmp, ec);
  if (auto made = util::create_dirs(tmp, 0700); !made)
    return std::unexpected(util::os_error(made.error()));
  if (auto unpacked = unpack_entry(pack, key, entry, tmp); !unpacked) {
    fs::remove_all(tmp, ec);
    return unpacked;
  }
  (void)util::create_dirs(layout::entries(cache_dir));
  // A failed rename: another process published the same entry first.
  if (::rename(tmp.c_str(), layout::entry(cache_dir, entry).c_str()) != 0) fs::remove_all(tmp, ec);
  return {};
}

std::string key_object(std::string_view key) {
  return fmt::format("kelv1/m/{}", key);
}
std::string entry_object(std::string_view entry) {
  return fmt::format("kelv1/e/{}", entry);
}

std::chrono::milliseconds small_limit(const Remote& remote) {
  return std::max<std::chrono::milliseconds>(5s, 3 * remote.limits.io_timeout);
}
std::chrono::milliseconds transfer_limit(const Remote& remote, uint64_t bytes) {
  return small_limit(remote) + remote.limits.longest(bytes);
}

std::string Remote::digest() const {
  return util::blake3_hex(server.display).substr(0, 32);
}

void remember_failure(const fs::path& cache_dir, const Remote& remote, Direction direction,
                      const Failed& failed) {
  if (failed.reach == Reach::object) return;
  const std::string why = remote::printable(failed.why, remote.server);
  for (const Direction d : {Direction::read, Direction::write})
    if (d == direction || failed.reach == Reach::server)
      (void)util::write_atomic(marker_of(cache_dir, remote, d), why);
}

namespace {

RemoteOutcome looked_up(std::string lookup, std::string reason = {}) {
  return RemoteOutcome{.lookup = std::move(lookup), .reason = std::move(reason)};
}

// What a key record from the server names, checked against what the unit
// could have recorded itself: the record decides what the wrapper reads and
// hashes, and the entry name it asks for tells the server what was read.
struct RecordLists {
  std::vector<std::string> env_deps, inputs, span_deps;
};

fs::path normal_dir(const fs::path& dir) {
  fs::path n = dir.lexically_normal();
  return n.has_filename() ? n : n.parent_path();
}

bool is_below(const fs::path& path, const fs::path& root) {
  if (root.empty()) return false;
  const fs::path r = normal_dir(root);
  return std::mismatch(r.begin(), r.end(), path.begin(), path.end()).first == r.end();
}

bool has_dot_dot(const fs::path& path) {
  return std::any_of(path.begin(), path.end(), [](const fs::path& c) { return c == ".."; });
}

// A variable whose value may go into the entry name: not one that looks
// secret, nor one of the remote's own settings.
std::optional<std::string> unusable_variable(const std::vector<std::string>& names) {
  if (names.size() > most_env_deps) return "more variables than a unit reads";
  for (const std::string& name : names) {
    const bool plain = !name.empty() && name.find_first_of("=\0"sv) == std::string::npos;
    if (!plain || util::is_secret_name(name) || name.starts_with("KELV_REMOTE"))
      return fmt::format("variable {}", util::quoted(name));
  }
  return std::nullopt;
}

// Counts what hashing `path` reads; an error text when it is no plain file
// (a planted device or pipe could block the hash) or the total is too large.
std::optional<std::string> count_bytes(const fs::path& path, uint64_t& total) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;  // missing: the hash says so
  if (!S_ISREG(st.st_mode)) return fmt::format("{}, which is not a file", path.native());
  total += static_cast<uint64_t>(st.st_size);
  if (total > most_bytes_hashed) return "more bytes than a unit's sources hold";
  return std::nullopt;
}

// An input must lie in one of the unit's own source roots: the workspace,
// the package's directory, its OUT_DIR (not hashed: its content is in the
// key).
std::optional<std::string> unusable_input(const Job& job, const std::string& input,
                                          uint64_t& total) {
  if (input.starts_with("<OUT_DIR>")) return std::nullopt;
  const fs::path full = (job.cwd / job.remaps.resolve(input)).lexically_normal();
  const bool inside =
      !has_dot_dot(full) && (is_below(full, job.cwd) || is_below(full, job.package_dir) ||
                             (job.out_dir_env && is_below(full, *job.out_dir_env)));
  if (!inside) return fmt::format("input {}, outside the unit's sources", input);
  return count_bytes(full, total);
}

// A span dependency must be one of the unit's --extern artifacts, or a
// library beside one (the crates they depend on in turn).
std::optional<std::string> unusable_span_dep(const Job& job, const std::string& dep,
                                             uint64_t& total) {
  const fs::path path = fs::path(job.remaps.resolve(dep)).lexically_normal();
  const std::string file = path.filename().native();
  const bool library = file.starts_with("lib") && is_library_artifact(file);
  const bool known = !has_dot_dot(path) && path.is_absolute() &&
                     std::any_of(job.externs.begin(), job.externs.end(), [&](const fs::path& e) {
                       const fs::path ext = e.lexically_normal();
                       return ext == path || (library && ext.parent_path() == path.parent_path());
                     });
  if (!known) return fmt::format("dependency {}, which the unit does not use", dep);
  return count_bytes(path, total);
}

std::expected<RecordLists, std::string> checked_record(const Job& job, const util::Json& record) {
  RecordLists lists{texts_of(record, "env_deps"), texts_of(record, "inputs"),
                    texts_of(record, "span_deps")};
  for (std::vector<std::string>* list : {&lists.env_deps, &lists.inputs, &lists.span_deps})
    sort_unique(*list);
  const auto refuse = [](std::string what) {
    return std::unexpected(fmt::format("the remote key record names {}", what));
  };
  if (auto odd = unusable_variable(lists.env_deps)) return refuse(std::move(*odd));
  if (lists.inputs.size() > most_paths || lists.span_deps.size() > most_paths)
    return refuse("more files than a unit reads");
  uint64_t total = 0;
  for (const std::string& input : lists.inputs)
    if (auto odd = unusable_input(job, input, total)) return refuse(std::move(*odd));
  for (const std::string& dep : lists.span_deps)
    if (auto odd = unusable_span_dep(job, dep, total)) return refuse(std::move(*odd));
  return lists;
}

// A key record of the server, as a JSON object; none when the file is
// missing, no plain file, larger than a record or no JSON object.
std::optional<util::Json> read_key_record(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > key_record_bytes)
    return std::nullopt;
  auto record = util::read_json(path);
  if (!record || !record->is_object()) return std::nullopt;
  return record;
}

// The key record the build's prefetcher brought from the server for `key`.
std::optional<util::Json> prefetched_record(const Remote& remote, std::string_view key) {
  if (remote.prefetched.empty() || !util::is_plain_file_name(key)) return std::nullopt;
  return read_key_record(staged_record(remote.prefetched, key));
}

RemoteOutcome failed_lookup(const Job& job, const Remote& remote, const Failed& failed) {
  remember_failure(job.cache_dir, remote, Direction::read, failed);
  return looked_up("failed", failed.why);
}

RemoteOutcome fetch_entry(const Job& job, const Remote& remote, TransferProgram& program,
                          const util::Json& record) {
  auto lists = checked_record(job, record);
  if (!lists) return looked_up("damaged", lists.error());
  const std::string_view name_key = job.entry_key(record);
  auto state = entry_state(job.cache_dir, name_key, lists->env_deps, lists->inputs,
                           lists->span_deps, job.cwd, job.remaps);
  if (!state)
    return looked_up("miss", fmt::format("the entry on the server needs {}, which cannot be hashed",
                                         state.error().detail));
  struct stat st;
  if (::lstat(job.entry_dir(state->name).c_str(), &st) != 0) {
    const TransferFile file(layout::remote_transfer(job.cache_dir, ::getpid(), "entry"));
    auto got = program.get(entry_object(state->name), file.path,
                           transfer_limit(remote, remote.limits.max_object_bytes));
    if (!got) return failed_lookup(job, remote, got.error());
    if (!*got) return looked_up("miss", "the server has no entry for the unit's inputs");
    auto pack = util::MappedFile::open(file.path);
    if (!pack) return looked_up("failed", util::os_error(pack.error()));
    if (auto published = publish_remote_entry(job.cache_dir, job.key, state->name, pack->bytes());
        !published)
      return looked_up("damaged", published.error());
  }
  // Written after the entry, as a store writes them, and made of what was
  // checked and hashed here rather than of what the server sent.
  util::Json local = util::Json::object();
  // The entry came under this checkout's bound key: its record is ours.
  if (name_key != job.key) {
    local["path_bound"] = "stored bound to the paths of the checkout that built it";
    local["bound_key"] = name_key;
  }
  local["env_deps"] = lists->env_deps;
  local["inputs"] = lists->inputs;
  local["span_deps"] = lists->span_deps;
  add_state_digests(local, name_key, *state);
  if (auto w = util::write_json_fast(job.key_record(job.key), local); !w)
    return looked_up("failed", util::os_error(w.error()));
  write_unit_record(job);
  return looked_up("hit");
}

// The address of KELV_REMOTE_CACHE (withdrawn or not), else the first line
// of the file KELV_REMOTE_CACHE_FILE names, whose other lines are credential
// variables (held from then on).
std::expected<std::optional<std::string>, std::string> configured_address() {
  if (held_address() && !held_address()->empty()) return *held_address();
  if (auto address = env_text("KELV_REMOTE_CACHE")) return address;
  const std::optional<std::string> file = env_text("KELV_REMOTE_CACHE_FILE");
  if (!file) return std::nullopt;
  auto text = util::read_file(*file);
  if (!text)
    return std::unexpected(fmt::format("KELV_REMOTE_CACHE_FILE names {}, which is unreadable: {}",
                                       *file, util::os_error(text.error())));
  std::vector<std::string_view> lines;
  for (size_t at = 0; at < text->size();) {
    const size_t nl = std::min(text->find('\n', at), text->size());
    lines.push_back(std::string_view(*text).substr(at, nl - at));
    at = nl + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return std::nullopt;
  for (const std::string_view line : std::span(lines).subspan(1)) {
    const size_t eq = line.find('=');
    const std::string_view name = line.substr(0, eq);
    if (eq == std::string_view::npos || std::ranges::find(remote::s3_credential_variables, name) ==
                                            std::end(remote::s3_credential_variables))
      return std::unexpected(
          fmt::format("KELV_REMOTE_CACHE_FILE names {}, which is no remote file of kelv", *file));
    held_credentials().emplace_back(name, line.substr(eq + 1));
  }
  std::string address(lines[0]);
  while (address.ends_with('\r')) address.pop_back();
  return address;
}

// The credential variable's value: held, else from the environment.
std::optional<std::string> credential(std::string_view name) {
  for (const auto& [held, value] : held_credentials())
    if (held == name) return value;
  return env_text(std::string(name).c_str());
}

}  // namespace

void withdraw_remote_address() {
  const char* address = std::getenv("KELV_REMOTE_CACHE");
  if (!address) return;
  held_address() = std::string(address);
  ::unsetenv("KELV_REMOTE_CACHE");
  if (!held_address()->starts_with("s3://")) return;
  for (const char* name : remote::s3_credential_variables)
    if (auto value = env_text(name)) {
      held_credentials().emplace_back(name, std::move(*value));
      ::unsetenv(name);
    }
}

std::string remote_file_text(std::string_view address,
                             const std::vector<std::pair<std::string, std::string>>& credentials) {
  std::string text = fmt::format("{}\n", address);
  for (const auto& [name, value] : credentials) text += fmt::format("{}={}\n", name, value);
  return text;
}

std::expected<std::optional<Remote>, std::string> Remote::from_env() {
  auto address = configured_address();
  if (!address) return std::unexpected(std::move(address.error()));
  if (!*address) return std::nullopt;
  auto server = remote::parse_server_url(**address);
  if (!server) return std::unexpected(server.error());
  std::vector<std::pair<std::string, std::string>> credentials;
  if (server->engine == remote::Engine::s3) {
    for (const char* name : remote::s3_credential_variables)
      if (auto value = credential(name)) credentials.emplace_back(name, std::move(*value));
    if (auto filled = remote::add_s3_credentials(*server, credential); !filled)
      return std::unexpected(std::move(filled.error()));
  }
  // Redis has a program of its own, linked without the HTTP library.
  const char* program =
      server->engine == remote::Engine::redis ? "kelv-remote-redis" : "kelv-remote";
  Remote r{.server = std::move(*server),
           .address = std::move(**address),
           .credentials = std::move(credentials),
           .program = util::platform::current_exe().parent_path() / program};
  const std::optional<std::string> mode = env_text("KELV_REMOTE_CACHE_MODE");
  if (mode && *mode != "read-only" && *mode != "read-write")
    return std::unexpected("KELV_REMOTE_CACHE_MODE must be read-only or read-write");
  r.read_only = mode == "read-only";
  r.queued = env_text("KELV_REMOTE_UPLOADER").has_value();
  if (auto stage = env_text("KELV_REMOTE_PREFETCH"); stage && stage->starts_with('/'))
    r.prefetched = *stage;
  auto limits = remote::Limits::from_env();
  if (!limits) return std::unexpected(std::move(limits.error()));
  r.limits = *limits;
  return r;
}

std::optional<std::string> recent_remote_failure(const fs::path& cache_dir, const Remote& remote,
                                                 Direction direction) {
  const fs::path marker = marker_of(cache_dir, remote, direction);
  struct stat st;
  if (::stat(marker.c_str(), &st) != 0) return std::nullopt;
  const uint64_t now = util::now_wall_ns();
  const uint64_t at = util::mtime_ns(st);
  // A marker from the future (a clock set back, a planted file) is stale, or
  // it would keep the server skipped for as long as it likes.
  if (at > now || now - at >= skip_after_failure_ns) return std::nullopt;
  constexpr off_t longest_reason = 4096;
  auto why = S_ISREG(st.st_mode) && st.st_size <= longest_reason ? util::read_file(marker)
                                                                 : std::unexpected(util::IoError{});
  return fmt::format("the remote failed less than a minute ago: {}",
                     why ? remote::printable(*why, remote.server) : "(reason unreadable)");
}

util::Json RemoteOutcome::to_json(const Remote& remote) const {
  util::Json o = util::Json::object();
  o["server"] = remote.server.display;
  if (!lookup.empty()) o["lookup"] = lookup;
  if (!reason.empty()) o["reason"] = reason;
  if (prefetched) o["prefetched"] = true;
  if (!upload.empty()) o["upload"] = upload;
  if (!upload_reason.empty()) o["upload_reason"] = upload_reason;
  return o;
}

RemoteOutcome fetch_from_remote(const Job& job, const Remote& remote) {
  if (auto down = recent_remote_failure(job.cache_dir, remote, Direction::read))
    return looked_up("skipped", std::move(*down));
  // The record and the entry it names, through one program (started only
  // when the build's prefetcher has not brought both).
  (void)util::create_dirs(layout::temporary(job.cache_dir));
  TransferProgram program(remote);
  const auto from_stage = [&](const util::Json& staged) {
    RemoteOutcome outcome = fetch_entry(job, remote, program, staged);
    outcome.prefetched = true;
    return outcome;
  };
  if (auto staged = prefetched_record(remote, job.key)) return from_stage(*staged);
  // The prefetcher may be bringing this very unit: waiting for it costs less
  // than moving the same entry a second time beside it.
  std::optional<FetchClaim> claim;
  if (!remote.prefetched.empty() && util::is_plain_file_name(job.key)) {
    claim.emplace(FetchClaim::take(remote.prefetched, job.key));
    if (!claim->held()) {
      await_claim(remote.prefetched, job.key,
                  small_limit(remote) + transfer_limit(remote, remote.limits.max_object_bytes));
      if (auto staged = prefetched_record(remote, job.key)) return from_stage(*staged);
    }
  }
  const TransferFile file(layout::remote_transfer(job.cache_dir, ::getpid(), "key"));
  auto got = program.get(key_object(job.key), file.path, small_limit(remote), key_record_limit);
  if (!got) return failed_lookup(job, remote, got.error());
  if (!*got) return looked_up("miss", "the server has no entry for the unit");
  const auto record = read_key_record(file.path);
  if (!record) return looked_up("damaged", "the remote key record is unreadable");
  return fetch_entry(job, remote, program, *record);
}

void upload_to_remote(const Job& job, const Remote& remote, std::string_view entry,
                      RemoteOutcome& outcome) {
  auto skipped = [&](std::string why) {
    outcome.upload = "skipped";
    outcome.upload_reason = std::move(why);
  };
  if (remote.read_only) return skipped("read-only");
  if (auto down = recent_remote_failure(job.cache_dir, remote, Direction::write))
    return skipped(std::move(*down));
  // An entry the server holds is not sent again, unless what it sent for
  // this unit was unusable: then ours replaces it.
  const bool replace = outcome.lookup == "damaged";
  if (remote.queued) {
    auto queued = queue_upload(job, remote, entry, replace);
    outcome.upload = queued ? "queued" : "failed";
    if (!queued) outcome.upload_reason = std::move(queued.error());
    return;
  }
  TransferProgram program(remote);
  auto sent = send_entry(job.cache_dir, remote, program, job.key, entry, replace);
  if (!sent) {
    remember_failure(job.cache_dir, remote, Direction::write, sent.error());
    outcome.upload = "failed";
    outcome.upload_reason = std::move(sent.error().why);
    return;
  }
  outcome.upload = *sent ? "present" : "uploaded";
}

std::expected<bool, Failed> send_entry(const fs::path& cache_dir, const Remote& remote,
                                       TransferProgram& program, std::string_view key,
                                       std::string_view entry, bool replace) {
  // Failures before the server is asked concern this entry alone.
  (void)util::create_dirs(layout::temporary(cache_dir));
  const TransferFile file(layout::remote_transfer(cache_dir, ::getpid(), "pack"));
  auto size = write_pack(layout::entry(cache_dir, entry), key, entry, file.path);
  if (!size) return std::unexpected(Failed{size.error(), Reach::object});
  auto answered = program.request(
      std::array{"put"s, (replace ? ""s : "?"s) + entry_object(entry), file.path.native(),
                 key_object(key), layout::key_record(cache_dir, key).native()},
      transfer_limit(remote, *size));
  if (!answered) return std::unexpected(std::move(answered.error()));
  return answered->text.starts_with("present ");
}

}  // namespace kelv::artifact_cache
