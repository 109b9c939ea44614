#include "exec/proc.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "util/clock.h"
#include "util/platform.h"

extern char** environ;

namespace kelv::exec {
namespace {

// The id of the child being waited for; read by the signal handler.
std::atomic<int> running_child{0};

void forward_signal(int sig) {
  const int pid = running_child.load();
  if (pid > 0) ::kill(pid, sig);
}

constexpr int forwarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

uint64_t timeval_ns(const struct timeval& tv) {
  return static_cast<uint64_t>(tv.tv_sec) * 1000000000ull +
         static_cast<uint64_t>(tv.tv_usec) * 1000ull;
}

// The child's environment: ours with the command's changes applied. Empty
// when there are no changes (the child then gets `environ` itself).
std::vector<std::string> child_environment(const Command& cmd) {
  std::vector<std::string> out;
  if (cmd.env.empty()) return out;
  for (char** e = environ; *e; ++e) {
    std::string_view kv(*e);
    std::string_view name = kv.substr(0, kv.find('='));
    bool overridden = false;
    for (const auto& [key, value] : cmd.env) overridden = overridden || key == name;
    if (!overridden) out.emplace_back(kv);
  }
  for (size_t i = 0; i < cmd.env.size(); ++i) {
    const auto& [key, value] = cmd.env[i];
    bool later = false;  // the last change of a name wins
    for (size_t j = i + 1; j < cmd.env.size(); ++j) later = later || cmd.env[j].first == key;
    if (value && !later) out.push_back(key + "=" + *value);
  }
  return out;
}

}  // namespace

ExitStatus ExitStatus::from_wait(int status) {
  ExitStatus s;
  if (WIFEXITED(status)) {
    s.has_code = true;
    s.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    s.signaled = true;
    s.signal = WTERMSIG(status);
  }
  return s;
}

void Command::set_env(std::string name, std::string value) {
  env.emplace_back(std::move(name), std::move(value));
}

void Command::remove_env(std::string name) {
  env.emplace_back(std::move(name), std::nullopt);
}

std::optional<std::string> Command::env_value(const std::string& name) const {
  for (auto it = env.rbegin(); it != env.rend(); ++it)
    if (it->first == name) return it->second;
  if (const char* v = std::getenv(name.c_str())) return std::string(v);
  return std::nullopt;
}

util::IoResult<Child> spawn(const Command& cmd) {
  std::vector<char*> argv;
  argv.reserve(cmd.args.size() + 2);
  argv.push_back(const_cast<char*>(cmd.program.c_str()));
  for (const std::string& a : cmd.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> env_strings = child_environment(cmd);
  std::vector<char*> envp;
  char** env = environ;
  if (!cmd.env.empty()) {
    envp.reserve(env_strings.size() + 1);
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    env = envp.data();
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  Child child;
  util::Fd in_read, out_write, err_write;
  const auto setup = [&](Stream mode, int target, util::Fd& parent_end,
                         util::Fd& child_end) -> util::IoResult<void> {
    if (mode == Stream::null) {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                       target == 0 ? O_RDONLY : O_WRONLY, 0);
    } else if (mode == Stream::pipe) {
      int p[2];
      if (auto made = util::platform::pipe_cloexec(p); !made) return std::unexpected(made.error());
      // The child reads standard input from the pipe's read end and writes
      // its output to the write end.
      const int child_side = target == 0 ? 0 : 1;
      parent_end.reset(p[1 - child_side]);
      child_end.reset(p[child_side]);
      posix_spawn_file_actions_adddup2(&actions, p[child_side], target);
    }
    return {};
  };
  auto ok = setup(cmd.in, 0, child.in, in_read);
  if (ok) ok = setup(cmd.out, 1, child.out, out_write);
  if (ok) ok = setup(cmd.err, 2, child.err, err_write);
  if (!ok) {
    posix_spawn_file_actions_destroy(&actions);
    return std::unexpected(ok.error());
  }
  const int rc =
      ::posix_spawnp(&child.pid, cmd.program.c_str(), &actions, nullptr, argv.data(), env);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return std::unexpected(util::error_of(rc));
  return child;
}

util::IoResult<void> write_to_child(int fd, std::string_view bytes) {
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  util::IoResult<void> result;
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = std::unexpected(util::last_error());
      break;
    }
    done += static_cast<size_t>(n);
  }
  // A SIGPIPE raised by the write is taken here, before the mask is lifted.
  if (!result && result.error().value() == EPIPE && !sigismember(&previous, SIGPIPE)) {
    const timespec now = {0, 0};
    while (::sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return result;
}

Guard Guard::install() {
  Guard guard;
  for (int sig : forwarded_signals) {
    struct sigaction previous;
    if (::sigaction(sig, nullptr, &previous) != 0) continue;
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(sig, &action, nullptr) == 0) guard.saved_.emplace_back(sig, previous);
  }
  guard.previous_child_ = running_child.load();
  guard.active_ = true;
  return guard;
}

Guard::Guard(Guard&& other) noexcept
    : saved_(std::move(other.saved_)),
      previous_child_(other.previous_child_),
      active_(std::exchange(other.active_, false)) {}

Guard::~Guard() {
  if (!active_) return;
  running_child.store(previous_child_);
  for (const auto& [sig, action] : saved_) ::sigaction(sig, &action, nullptr);
}

util::IoResult<RunResult> run_child(const Command& cmd, bool with_guard,
                                    const std::function<void(Child&)>& after_spawn) {
  std::optional<Guard> guard;
  if (with_guard) guard.emplace(Guard::install());
  auto child = spawn(cmd);
  if (!child) return std::unexpected(child.error());
  if (after_spawn) after_spawn(*child);
  running_child.exchange(child->pid);
  int status = 0;
  struct rusage ru = {};
  pid_t got;
  while ((got = ::wait4(child->pid, &status, 0, &ru)) < 0 && errno == EINTR) {
  }
  const util::IoError wait_error = got < 0 ? util::last_error() : util::IoError();
  running_child.exchange(0);
  if (got < 0) return std::unexpected(wait_error);
  return RunResult{
      ExitStatus::from_wait(status),
      Usage{timeval_ns(ru.ru_utime), timeval_ns(ru.ru_stime), util::platform::max_rss_bytes(ru)}};
}

namespace {

// Waits for the child to end.
util::IoResult<ExitStatus> reap(pid_t pid) {
  int status = 0;
  pid_t got;
  while ((got = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (got < 0) return std::unexpected(util::last_error());
  return ExitStatus::from_wait(status);
}

}  // namespace

util::IoResult<Captured> capture_output(Command cmd) {
  cmd.in = Stream::null;
  cmd.out = Stream::pipe;
  cmd.err = Stream::null;
  auto child = spawn(cmd);
  if (!child) return std::unexpected(child.error());
  Captured captured;
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(child->out.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    captured.out.append(buf, static_cast<size_t>(n));
  }
  child->out.reset();
  auto status = reap(child->pid);
  if (!status) return std::unexpected(status.error());
  captured.status = *status;
  return captured;
}

namespace {

// Reads what is ready on the open pipes into their texts; false when every
// pipe has ended.
bool drain(struct pollfd (&fds)[2], std::string* (&into)[2], int timeout_ms) {
  int open = 0;
  for (auto& p : fds) open += p.fd >= 0;
  if (open == 0) return false;
  const int ready = ::poll(fds, 2, timeout_ms);
  if (ready < 0 && errno != EINTR) return false;
  for (int i = 0; i < 2 && ready > 0; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buf[8192];
    const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
    if (n > 0)
      into[i]->append(buf, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
      fds[i].fd = -1;
  }
  return true;
}

}  // namespace

util::IoResult<Collected> collect_output(Command cmd, std::chrono::milliseconds limit) {
  cmd.in = Stream::null;
  cmd.out = Stream::pipe;
  cmd.err = Stream::pipe;
  auto child = spawn(cmd);
  if (!child) return std::unexpected(child.error());
  Collected collected;
  struct pollfd fds[2] = {{child->out.get(), POLLIN, 0}, {child->err.get(), POLLIN, 0}};
  std::string* into[2] = {&collected.out, &collected.err};
  const uint64_t deadline = util::mono_ns() + static_cast<uint64_t>(limit.count()) * 1000000ull;
  for (;;) {
    const uint64_t now = util::mono_ns();
    if (now >= deadline) {
      collected.timed_out = true;
      ::kill(child->pid, SIGKILL);
      break;
    }
    const int wait_ms = static_cast<int>((deadline - now + 999999) / 1000000);
    if (!drain(fds, into, wait_ms)) break;
  }
  child->out.reset();
  child->err.reset();
  auto status = reap(child->pid);
  if (!status) return std::unexpected(status.error());
  collected.status = *status;
  return collected;
}

void propagate(const ExitStatus& status) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (status.signaled) {
    ::signal(status.signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, status.signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(status.signal);
    ::_exit(128 + status.signal);
  }
  ::_exit(status.has_code ? status.code : 1);
}

}  // namespace kelv::exec
