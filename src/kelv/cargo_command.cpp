#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "artifact_cache/remote_tier.h"
#include "artifact_cache/upload_queue.h"
#include "exec/proc.h"
#include "kelv/build_reports.h"
#include "kelv/ccache.h"
#include "kelv/commands.h"
#include "kelv/config.h"
#include "kelv/prefetcher.h"
#include "kelv/target_dir.h"
#include "kelv/upkeep.h"
#include "kelv/user_wrapper.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/platform.h"
#include "util/ui.h"

namespace kelv::tool {
namespace {

constexpr size_t kept_builds = 20;

// Removes all but the newest event directories.
void prune_events(const std::filesystem::path& events) {
  std::vector<std::filesystem::path> dirs;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(events, ec))
    if (e.is_directory(ec)) dirs.push_back(e.path());
  if (dirs.size() <= kept_builds) return;
  std::sort(dirs.begin(), dirs.end());  // named by start time
  for (size_t i = 0; i + kept_builds < dirs.size(); ++i) std::filesystem::remove_all(dirs[i], ec);
}

// Has the user's wrapper run inside kelv's, and says so in one line: units
// run through it as before, but kelv's wrapper then adds nothing of its own.
void chain(exec::Command& cmd, const UserWrapper& user) {
  util::ui::say(util::ui::Level::warn,
                fmt::format("kelv: {} {} is chained: units run through it, without the artifact "
                            "cache, the compiler driver or added options; unset {} to have them",
                            user.variable, util::quoted(user.program), user.variable));
  cmd.set_env("KELV_INNER_WRAPPER", user.program);
}

// A wrapper named only in Cargo's configuration cannot be had without reading
// the configuration as Cargo does; it does not run, and the user is told.
void warn_replaced(const std::string& where) {
  util::ui::say(util::ui::Level::warn,
                fmt::format("kelv: build.rustc-wrapper ({}) does not run: kelv's wrapper takes its "
                            "place; set RUSTC_WRAPPER to it to have it chained",
                            where));
}

// Whether Cargo was told to print only errors and warnings: -q or --quiet
// (also in a cluster of short flags, "-rq") before a lone "--", or
// CARGO_TERM_QUIET=true.
bool cargo_quiet(std::span<const std::string> args) {
  if (const char* env = std::getenv("CARGO_TERM_QUIET"); env && std::string_view(env) == "true")
    return true;
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--quiet" || a == "-q") return true;
    const bool short_flags = a.size() > 2 && a[0] == '-' && a[1] != '-' &&
                             a.find_first_not_of("qrv", 1) == std::string::npos;
    if (short_flags && a.find('q') != std::string::npos) return true;
  }
  return false;
}

// Built-in subcommands that compile units through the wrapper (rustdoc's
// runs do not pass through it).
bool compiles_units(const std::optional<std::string>& subcommand) {
  static constexpr std::string_view compiling[] = {
      "build", "b", "check", "c", "test", "t", "bench", "run", "r", "rustc", "clippy", "fix"};
  return subcommand && std::ranges::find(compiling, *subcommand) != std::end(compiling);
}

// The server's address goes to the wrapper in a file of the build's event
// directory that only the user can read, named by KELV_REMOTE_CACHE_FILE:
// Cargo, build scripts and tests never have the password in their
// environment. Says once when the remote settings cannot be used (every
// unit's report would say it too, but no one reads those during a build)
// and when credentials would cross the network in the clear.
struct PassedRemote {
  std::optional<std::filesystem::path> file;     // to remove after the build
  std::optional<artifact_cache::Remote> remote;  // when usable and passed on
};

PassedRemote pass_remote(exec::Command& cmd, const Config& config,
                         const std::filesystem::path& event_dir) {
  using util::ui::Level;
  cmd.remove_env("KELV_REMOTE_CACHE");
  if (config.remote_cache && !std::getenv("KELV_REMOTE_CACHE"))
    ::setenv("KELV_REMOTE_CACHE", config.remote_cache->c_str(), 1);
  const char* address = std::getenv("KELV_REMOTE_CACHE");
  if (!address || !*address) return {};
  // An unusable address still goes to the wrapper, whose reports then say
  // why each unit left the server alone.
  auto remote = artifact_cache::Remote::from_env();
  if (!remote)
    util::ui::say(Level::warn,
                  fmt::format("kelv: the remote cache is not used: {}", remote.error()));
  const remote::ServerUrl* server = remote && *remote ? &(*remote)->server : nullptr;
  if (server && server->engine != remote::Engine::s3 &&
      (!server->user.empty() || !server->password.empty()) && server->scheme != "https")
    util::ui::say(Level::warn,
                  fmt::format("kelv: the credentials for {} cross the network unencrypted ({}:// "
                              "has no TLS); use https:// or keep the server on a network you trust",
                              server->display, server->scheme));
  // An S3 store's credentials go the same way, out of Cargo's environment.
  const auto& credentials = remote && *remote ? (*remote)->credentials
                                              : std::vector<std::pair<std::string, std::string>>{};
  if (std::string_view(address).starts_with("s3://"))
    for (const char* name : remote::s3_credential_variables) cmd.remove_env(name);
  const std::filesystem::path file = event_dir / "remote-cache";
  if (auto written =
          util::write_private(file, artifact_cache::remote_file_text(address, credentials));
      !written) {
    util::ui::say(Level::warn,
                  fmt::format("kelv: the remote cache is not used: cannot write {}: {}",
                              file.native(), util::os_error(written.error())));
    return {};
  }
  cmd.set_env("KELV_REMOTE_CACHE_FILE", file.native());
  if (remote) return {.file = file, .remote = std::move(*remote)};
  return {.file = file};
}

// The build's uploader: the units queue what they store, and a thread of
// kelv sends it while Cargo runs, through one transfer program; kelv waits
// for the queue to be empty before it sums the build up.
class Uploader {
 public:
  Uploader(exec::Command& cmd, const std::filesystem::path& cache_dir,
           const std::optional<artifact_cache::Remote>& remote) {
    if (!remote || remote->read_only) return;
    cmd.set_env("KELV_REMOTE_UPLOADER", "1");
    thread_ = std::thread([this, cache_dir, remote = *remote] {
      // Uploading competes with the compilers for the machine: it takes
      // what they leave.
      util::platform::lower_thread_priority();
      tally_ = artifact_cache::send_queue(cache_dir, remote, building_);
    });
  }
  ~Uploader() { finish(); }

  // An interrupted build does not wait for its uploads: the process ends
  // soon after, and what it had claimed goes back to the queue for the next
  // build or `kelv cache push` (this object outlives the thread, since the
  // process ends inside the command).
  void abandon() {
    if (thread_.joinable()) thread_.detach();
  }
  Uploader(const Uploader&) = delete;
  Uploader& operator=(const Uploader&) = delete;

  // Sends what is left; what the uploader did, when it ran.
  std::optional<Uploads> finish() {
    if (!thread_.joinable()) return std::nullopt;
    building_ = false;
    thread_.join();
    const artifact_cache::UploadTally& t = tally_;
    return Uploads{.uploaded = t.uploaded,
                   .present = t.present,
                   .failed = t.failed,
                   .dropped = t.dropped,
                   .left = t.left,
                   .reason = t.first_failure};
  }

 private:
  std::atomic<bool> building_{true};
  artifact_cache::UploadTally tally_;
  std::thread thread_;
};

// The summary, with what ccache made of the build scripts' C when it
// compiled any.
void say_summary(const Summary& summary, const CargoLine& line, bool success,
                 const CcacheStats& ccache, const std::optional<std::string>& trimmed) {
  using util::ui::Level;
  std::string c_clause = ccache.cacheable > 0 ? ccache_clause(ccache) : "";
  if (trimmed) c_clause += (c_clause.empty() ? "" : "; ") + *trimmed;
  if (summary.runs > 0) {
    const bool clean = summary.failed == 0 && summary.driver_failures == 0;
    util::ui::say(clean ? Level::ok : Level::note,
                  "kelv: " + summary_line(summary) + (c_clause.empty() ? "" : "; " + c_clause));
  } else if (!c_clause.empty()) {
    util::ui::say(Level::ok, "kelv: " + c_clause);
  } else if (success && compiles_units(line.subcommand)) {
    util::ui::say(Level::ok, "kelv: nothing to compile: Cargo found every unit fresh");
  }
}

}  // namespace

int cargo_command(std::span<const std::string> args,
                  const std::optional<std::filesystem::path>& chosen_cargo) {
  auto config = Config::load();
  if (!config) return fail(config.error());
  const std::filesystem::path wrapper = own_dir() / "kelv-rustc-wrapper";
  if (::access(wrapper.c_str(), X_OK) != 0)
    return fail(fmt::format("{} is missing; reinstall kelv", wrapper.native()));
  const auto cargo = chosen_cargo ? chosen_cargo : util::which("cargo");
  if (!cargo) return fail("cargo is not on PATH; install a Rust toolchain", 127);

  const uint64_t start = util::now_wall_ns();
  const std::string session = fmt::format("{:020}-{}", start, ::getpid());
  const std::filesystem::path events = util::kelv_home() / "events";
  const std::filesystem::path event_dir = events / session;
  util::SettingsValues values = config->settings;
  const CargoLine line = read_cargo_line(args);
  if (const auto target_dir = tool::target_dir(line, *cargo))
    values.target_dir = util::path_str(*target_dir);
  const util::Json settings = util::settings_json(values);
  if (auto w = util::write_json_fast(event_dir / "wrapper.settings", settings); !w)
    return fail(
        fmt::format("cannot prepare {}: {}", event_dir.native(), util::os_error(w.error())));

  exec::Command cmd{.program = cargo->native(), .args = {args.begin(), args.end()}};
  cmd.set_env("RUSTC_WRAPPER", wrapper.native());
  if (const auto user = user_wrapper(wrapper))
    chain(cmd, *user);
  else if (const auto where = configured_wrapper(line))
    warn_replaced(*where);
  const PassedRemote remote = pass_remote(cmd, *config, event_dir);
  const CcacheRun ccache = use_ccache(
      cmd, args, event_dir, remote.remote ? &*remote.remote : nullptr, config->max_cache_size);
  cmd.set_env("KELV_EVENT_DIR", event_dir.native());
  cmd.set_env("KELV_SESSION_ID", session);
  const auto list_name = [&] {
    return compiles_units(line.subcommand) ? build_list_name(args, working_dir(line))
                                           : std::nullopt;
  };
  Prefetcher prefetcher(cmd, config->artifact_cache, remote.remote, event_dir, list_name());
  Uploader uploader(cmd, config->artifact_cache, remote.remote);
  auto run = exec::run_child(cmd, true);
  const bool interrupted = run && run->status.signaled;
  if (interrupted) {
    prefetcher.abandon();
    uploader.abandon();
  }
  prefetcher.stop();
  const std::optional<Uploads> uploads = uploader.finish();
  if (uploads) uploads->write(event_dir);
  if (remote.file) ::unlink(remote.file->c_str());
  if (ccache.config) ::unlink(ccache.config->c_str());
  if (!run)
    return fail(fmt::format("could not execute {}: {}", util::quoted(cargo->native()),
                            util::os_error(run.error())),
                101);

  record_build({.dir = event_dir,
                .start_ns = start,
                .end_ns = util::now_wall_ns(),
                .recorded = true,
                .args = {args.begin(), args.end()},
                .cwd = util::path_str(working_dir(line))});
  const std::vector<Unit> units = read_build(event_dir);
  auto times = load_unit_times();
  Summary summary = summarize(units, times);
  if (uploads) uploads->add_to(summary);
  // The list names what the server now holds: sent after the uploads.
  if (!interrupted) prefetcher.leave_list(units, list_name());
  save_unit_times(units, std::move(times));
  const auto trimmed = look_after_cache(*config, units);
  if (!cargo_quiet(args)) {
    say_summary(summary, line, run->status.success(),
                ccache.stats_log ? read_ccache_stats(*ccache.stats_log) : CcacheStats{}, trimmed);
    if (ccache.missing && uses_c_compiler_crates(units))
      util::ui::say(util::ui::Level::note, ccache_missing_note);
  }
  prune_events(events);
  exec::propagate(run->status);
}

}  // namespace kelv::tool
