#include "support/unit_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "artifact_cache/layout.h"
#include "util/clock.h"
#include "util/hash.h"

extern char** environ;

namespace kelv::testing {
namespace {

std::atomic<uint64_t> process_counter{0};

// The program's path: as given when it has a slash, else found on PATH.
std::string resolve_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t colon = dirs.find(':', start);
    const std::string dir = dirs.substr(start, colon - start);
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return name;
}

std::string read_or_empty(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return {};
  return read_file(path);
}

std::string file_kind(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return "file";
  if (S_ISDIR(st.st_mode)) return "dir";
  if (S_ISLNK(st.st_mode)) return "link";
  if (S_ISFIFO(st.st_mode)) return "fifo";
  return "other";
}

}  // namespace

Process::Process(const Run& request, const fs::path& log_dir,
                 std::optional<uint64_t> address_space) {
  // Everything the child needs is prepared before fork: between fork and
  // exec it only makes system calls.
  std::vector<std::string> env_strings = environment_of(request);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = request.argv;
  if (args.empty()) throw std::runtime_error("no program to run");
  const std::string program = resolve_program(args[0]);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  fs::create_directories(log_dir);
  const uint64_t n = process_counter.fetch_add(1);
  out_ = log_dir / (std::to_string(::getpid()) + "-" + std::to_string(n) + ".out");
  err_ = log_dir / (std::to_string(::getpid()) + "-" + std::to_string(n) + ".err");
  const std::string out_path = out_.native(), err_path = err_.native();
  const std::string cwd = request.cwd.native();
  struct rlimit limit = {};
  if (address_space) limit.rlim_cur = limit.rlim_max = *address_space;

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(126);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (in > 2) ::close(in);
    if (out > 2) ::close(out);
    if (err > 2) ::close(err);
    if (address_space) ::setrlimit(RLIMIT_AS, &limit);
    ::execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  // Also from the parent, so that the group exists before anyone signals it.
  ::setpgid(pid_, pid_);
}

Process::~Process() {
  if (!reaped_) {
    kill_group();
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
  }
  std::error_code ec;
  fs::remove(out_, ec);
  fs::remove(err_, ec);
}

void Process::kill_group() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  ::kill(-pid_, SIGKILL);
}

bool Process::running() {
  if (reaped_) return false;
  siginfo_t info = {};
  const int r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  return !(r == 0 && info.si_pid == pid_);
}

Outcome Process::wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::microseconds(200);
  while (!reaped_) {
    // Wait for the exit without reaping: while the process is a zombie its id
    // (and so its group's) cannot be taken by another process.
    siginfo_t info = {};
    const int r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    if (r < 0 && errno != EINTR) throw std::runtime_error("waitid failed");
    const bool exited = r == 0 && info.si_pid == pid_;
    if (!exited && std::chrono::steady_clock::now() >= deadline) {
      timed_out_ = true;
      ::kill(pid_, SIGKILL);
    } else if (!exited) {
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(10000));
      continue;
    }
    // Children that outlived it (a compiler whose wrapper was killed) end too.
    ::kill(-pid_, SIGKILL);
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  Outcome outcome;
  if (WIFEXITED(status_)) {
    outcome.exit_code = WEXITSTATUS(status_);
  } else if (WIFSIGNALED(status_)) {
    outcome.signal = WTERMSIG(status_);
  }
  outcome.out = read_or_empty(out_);
  outcome.err = read_or_empty(err_);
  return outcome;
}

std::vector<std::string> CrateUnit::outputs() const {
  if (crate_type == "bin") return {stem(), stem() + ".d"};
  return {rlib(), "lib" + stem() + ".rmeta", stem() + ".d"};
}

std::vector<std::string> CrateUnit::args(const fs::path& out_dir) const {
  std::vector<std::string> a = {
      "--crate-name",
      crate,
      "--edition=2021",
      "src/" + crate + ".rs",
      "--error-format=json",
      "--json=diagnostic-rendered-ansi,artifacts,future-incompat",
      "--crate-type",
      crate_type,
      crate_type == "bin" ? "--emit=dep-info,link" : "--emit=dep-info,metadata,link",
      "-C",
      "metadata=" + metadata,
      "-C",
      "extra-filename=-" + metadata,
      "--out-dir",
      out_dir.native(),
      "-L",
      "dependency=" + out_dir.native()};
  for (const auto& [name, file] : externs) {
    a.push_back("--extern");
    a.push_back(name + "=" + (out_dir / file).native());
  }
  a.insert(a.end(), extra.begin(), extra.end());
  return a;
}

CrateUnit CrateUnit::linking(const CrateUnit& dep) const {
  CrateUnit unit = *this;
  unit.externs.emplace_back(dep.crate, dep.rlib());
  return unit;
}

CrateUnit lib(std::string crate, std::string metadata) {
  return {.crate = std::move(crate), .metadata = std::move(metadata)};
}

CrateUnit bin(std::string crate, std::string metadata) {
  return {.crate = std::move(crate), .crate_type = "bin", .metadata = std::move(metadata)};
}

std::string cache_settings(const fs::path& cache, bool early_cutoff, uint64_t min_link_store_ns) {
  return R"({"artifact_cache": ")" + cache.native() + R"(", "min_link_store_ns": )" +
         std::to_string(min_link_store_ns) + R"(, "early_cutoff": )" +
         (early_cutoff ? "true" : "false") + "}";
}

std::string UnitResult::cache_result() const {
  if (!report || !report->is_object()) return "";
  auto cache = report->find("cache");
  if (cache == report->end() || !cache->is_object()) return "";
  return cache->value("result", "");
}

std::string UnitResult::describe() const {
  std::string text = "exit " + std::to_string(outcome.exit_code) + " signal " +
                     std::to_string(outcome.signal) + (timed_out ? " (timed out)" : "");
  if (report && report->contains("cache")) text += " cache " + (*report)["cache"].dump();
  text += "\nstderr: " + outcome.err.substr(0, 2000);
  return text;
}

Run unit_request(const UnitContext& ctx, const fs::path& event_dir,
                 const std::vector<std::string>& args) {
  Run request;
  request.argv = {wrapper_exe().native(), ctx.compiler};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.cwd = ctx.project;
  request.env = {{"KELV_EVENT_DIR", event_dir.native()},
                 {"KELV_HOME", ctx.kelv_home.native()},
                 {"CARGO_MANIFEST_DIR", ctx.project.native()},
                 {"OUT_DIR", std::nullopt},
                 {"KELV_INNER_WRAPPER", std::nullopt},
                 {"KELV_WRAPPER_FAIL", std::nullopt},
                 {"NO_COLOR", "1"}};
  for (const auto& [k, v] : ctx.env) request.env[k] = v;
  return request;
}

UnitResult run_unit(const UnitContext& ctx, const fs::path& event_dir,
                    const std::optional<std::string>& settings,
                    const std::vector<std::string>& args, std::chrono::milliseconds limit,
                    std::optional<uint64_t> address_space) {
  fs::create_directories(event_dir);
  if (settings) write_file(event_dir / "wrapper.settings", *settings);
  UnitResult result;
  {
    Process process(unit_request(ctx, event_dir, args), ctx.logs, address_space);
    result.outcome = process.wait(limit);
    result.timed_out = process.timed_out();
  }
  std::error_code ec;
  for (auto it = fs::directory_iterator(event_dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    const fs::path p = it->path();
    if (p.extension() != ".json" || p.filename().native().starts_with(".")) continue;
    if (auto r = util::read_json(p)) result.report = std::move(*r);
    fs::remove(p, ec);
  }
  return result;
}

Outcome run_compiler(const UnitContext& ctx, const std::vector<std::string>& args) {
  Run request;
  request.argv = {ctx.compiler};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.cwd = ctx.project;
  request.env = {{"CARGO_MANIFEST_DIR", ctx.project.native()}, {"OUT_DIR", std::nullopt}};
  for (const auto& [k, v] : ctx.env) request.env[k] = v;
  Process process(request, ctx.logs);
  return process.wait(std::chrono::seconds(300));
}

Reference compile_reference(const UnitContext& ctx, const CrateUnit& unit,
                            const fs::path& out_dir) {
  fs::create_directories(out_dir);
  const Outcome compiled = run_compiler(ctx, unit.args(out_dir));
  return Reference{out_dir, read_files(out_dir, unit.outputs()), compiled.err, compiled.exit_code};
}

std::vector<std::string> differences(const Reference& ref, const fs::path& out_dir,
                                     const std::string& stderr_text) {
  std::vector<std::string> found;
  for (const auto& [name, bytes] : ref.outputs) {
    const std::string expected =
        name.ends_with(".d") ? replace_all(bytes, ref.out_dir.native(), out_dir.native()) : bytes;
    auto got = util::read_file(out_dir / name);
    if (!got)
      found.push_back(name + " is missing");
    else if (*got != expected)
      found.push_back(name + " differs from a fresh compilation's (" + std::to_string(got->size()) +
                      " bytes, expected " + std::to_string(expected.size()) + ")");
  }
  const std::string expected_err =
      replace_all(ref.stderr_text, ref.out_dir.native(), out_dir.native());
  if (stderr_text != expected_err)
    found.push_back("diagnostics differ:\n" + stderr_text.substr(0, 3000) + "\nexpected:\n" +
                    expected_err.substr(0, 3000));
  return found;
}

std::map<std::string, std::string> read_files(const fs::path& dir,
                                              const std::vector<std::string>& names) {
  std::map<std::string, std::string> files;
  for (const std::string& name : names) {
    auto bytes = util::read_file(dir / name);
    files[name] = bytes ? std::move(*bytes) : std::string("<missing>");
  }
  return files;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  size_t pos = 0;
  for (size_t hit; (hit = text.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
    out.append(text, pos, hit - pos);
    out += to;
  }
  out.append(text, pos);
  return out;
}

std::map<std::string, std::string> snapshot_tree(const fs::path& root, bool with_mtime) {
  std::map<std::string, std::string> snap;
  std::vector<fs::path> stack = {root};
  while (!stack.empty()) {
    const fs::path dir = stack.back();
    stack.pop_back();
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) {
      const fs::path p = it->path();
      struct stat st;
      if (::lstat(p.c_str(), &st) != 0) continue;
      std::string d = file_kind(st) + " mode " + std::to_string(st.st_mode & 07777);
      if (S_ISREG(st.st_mode)) {
        auto hash = util::blake3_file(p);
        d += " size " + std::to_string(st.st_size) + " " + (hash ? *hash : "<unreadable>");
      } else if (S_ISLNK(st.st_mode)) {
        d += " -> " + fs::read_symlink(p, ec).native();
      } else if (S_ISDIR(st.st_mode)) {
        stack.push_back(p);
      }
      if (with_mtime && !S_ISDIR(st.st_mode)) d += " mtime " + std::to_string(util::mtime_ns(st));
      snap[p.lexically_relative(root).native()] = d;
    }
  }
  return snap;
}

std::vector<std::string> snapshot_diff(const std::map<std::string, std::string>& before,
                                       const std::map<std::string, std::string>& after) {
  std::vector<std::string> diff;
  for (const auto& [path, d] : before) {
    auto it = after.find(path);
    if (it == after.end())
      diff.push_back("removed " + path + " (" + d + ")");
    else if (it->second != d)
      diff.push_back("changed " + path + ": " + d + " => " + it->second);
  }
  for (const auto& [path, d] : after)
    if (!before.contains(path)) diff.push_back("added " + path + " (" + d + ")");
  return diff;
}

std::vector<std::string> entry_names(const fs::path& cache_dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(artifact_cache::layout::entries(cache_dir), ec);
       !ec && it != fs::end(it); it.increment(ec))
    names.push_back(it->path().filename().native());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<EntryProblem> check_entries(const fs::path& cache_dir) {
  std::vector<EntryProblem> problems;
  for (const std::string& name : entry_names(cache_dir)) {
    const fs::path dir = artifact_cache::layout::entry(cache_dir, name);
    const auto record = util::read_json(dir / artifact_cache::layout::entry_record_file);
    if (!record || !record->is_object()) {
      problems.push_back({name, "", "entry.json is missing or unreadable"});
      continue;
    }
    struct stat st;
    if (::stat((dir / artifact_cache::layout::stderr_file).c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
      problems.push_back({name, "stderr", "missing"});
    const auto files = record->find("files");
    const auto hashes = record->find("hashes");
    if (files == record->end() || !files->is_array() || hashes == record->end() ||
        !hashes->is_object()) {
      problems.push_back({name, "", "entry.json lacks files or hashes"});
      continue;
    }
    for (const auto& f : *files) {
      if (!f.is_string()) {
        problems.push_back({name, "", "a file name is not text"});
        continue;
      }
      const std::string file = f.get<std::string>();
      auto hash = util::blake3_file(dir / file);
      const auto stored = hashes->find(file);
      if (!hash)
        problems.push_back({name, file, "missing or unreadable"});
      else if (stored == hashes->end() || !stored->is_string() ||
               stored->get<std::string>() != *hash)
        problems.push_back({name, file, "content differs from its recorded hash"});
    }
  }
  return problems;
}

std::vector<std::string> leftover_temporaries(const fs::path& cache_dir) {
  std::vector<std::string> left;
  std::error_code ec;
  namespace layout = artifact_cache::layout;
  for (auto it = fs::directory_iterator(layout::temporary(cache_dir), ec); !ec && it != fs::end(it);
       it.increment(ec))
    left.push_back(it->path().lexically_relative(cache_dir).native());
  std::vector<fs::path> dirs = {layout::key_records(cache_dir), layout::content_memos(cache_dir),
                                layout::link_records(cache_dir), layout::quick_records(cache_dir),
                                layout::unit_records(cache_dir)};
  for (const std::string& name : entry_names(cache_dir))
    dirs.push_back(layout::entry(cache_dir, name));
  for (const fs::path& dir : dirs) {
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) {
      const std::string name = it->path().filename().native();
      if (name.starts_with(".") && name.ends_with(".tmp"))
        left.push_back(it->path().lexically_relative(cache_dir).native());
    }
    ec.clear();
  }
  std::sort(left.begin(), left.end());
  return left;
}

void settle_mtime(const fs::path& dir) {
  const fs::path probe = dir / ".kelv-mtime-probe";
  write_file(probe, "x");
  struct stat st;
  if (::stat(probe.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + probe.native());
  const uint64_t written = util::mtime_ns(st);
  fs::remove(probe);
  while (util::now_wall_ns() <= written + 2000000)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace kelv::testing
