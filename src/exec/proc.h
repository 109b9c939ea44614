#pragma once
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/error.h"
#include "util/fd.h"

// Running child processes the way Cargo would have run them itself: same
// streams, same exit status, and terminating signals passed on.
namespace kelv::exec {

struct ExitStatus {
  bool has_code = false;
  int code = 0;
  bool signaled = false;
  int signal = 0;

  bool success() const { return has_code && code == 0; }
  static ExitStatus from_wait(int status);
  static ExitStatus exited(int code) { return {true, code, false, 0}; }
};

// CPU times and peak memory of a finished child.
struct Usage {
  uint64_t user_ns = 0;
  uint64_t system_ns = 0;
  uint64_t max_rss_bytes = 0;
};

struct RunResult {
  ExitStatus status;
  std::optional<Usage> usage;  // absent for results that do not come from a finished child
};

enum class Stream { inherit, null, pipe };

// A program to start: its path (searched along PATH when it has no slash),
// arguments, changes to the inherited environment and standard streams.
struct Command {
  std::string program;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::optional<std::string>>> env;  // nullopt removes
  Stream in = Stream::inherit;
  Stream out = Stream::inherit;
  Stream err = Stream::inherit;

  void set_env(std::string name, std::string value);
  void remove_env(std::string name);
  // The value the child will see for `name`.
  std::optional<std::string> env_value(const std::string& name) const;
};

// A started child and the parent's ends of its piped streams.
struct Child {
  pid_t pid = 0;
  util::Fd in;  // the write end of its standard input
  util::Fd out;
  util::Fd err;
};

util::IoResult<Child> spawn(const Command& cmd);

// Writes all of `bytes` to a child's standard input. A child that has gone
// away is an error (EPIPE), not a SIGPIPE for this process, whose own
// children must still inherit the signal's default disposition.
util::IoResult<void> write_to_child(int fd, std::string_view bytes);

// Forwards SIGINT, SIGTERM, SIGHUP and SIGQUIT to the running child while it
// lives; signals that were ignored at start stay ignored.
class Guard {
 public:
  static Guard install();
  Guard(Guard&& other) noexcept;
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  Guard& operator=(Guard&&) = delete;
  ~Guard();

 private:
  Guard() = default;
  std::vector<std::pair<int, struct sigaction>> saved_;  // signal, previous action
  int previous_child_ = 0;
  bool active_ = false;
};

// Starts the command, calls after_spawn with the child, waits for it.
util::IoResult<RunResult> run_child(const Command& cmd, bool with_guard,
                                    const std::function<void(Child&)>& after_spawn = {});

// Runs the command with standard input from /dev/null, capturing standard
// output (standard error discarded).
struct Captured {
  ExitStatus status;
  std::string out;
};
util::IoResult<Captured> capture_output(Command cmd);

// Runs the command with standard input from /dev/null, capturing standard
// output and standard error apart. A child still running after `limit` is
// killed and reaped (`timed_out`).
struct Collected {
  ExitStatus status;
  std::string out;
  std::string err;
  bool timed_out = false;
};
util::IoResult<Collected> collect_output(Command cmd, std::chrono::milliseconds limit);

// Ends the process with the child's status: the same signal, or its code.
[[noreturn]] void propagate(const ExitStatus& status);

}  // namespace kelv::exec
