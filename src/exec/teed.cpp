#include "exec/teed.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

#include "util/ui.h"

namespace kelv::exec {
namespace {

constexpr std::string_view artifact_marker = R"("$message_type":"artifact")";

struct Ready {};
struct Output {
  std::string shown, held;
  bool artifact_seen = false;
};
struct Exited {
  util::IoResult<exec::RunResult> result;
};
using Message = std::variant<Ready, Output, Exited>;

// Many senders, one receiver.
class Channel {
 public:
  void send(Message m) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(m));
    }
    cv_.notify_one();
  }
  // The next message; absent when `timeout` passed first.
  std::optional<Message> receive(std::optional<std::chrono::seconds> timeout) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return !queue_.empty(); };
    if (timeout) {
      if (!cv_.wait_for(lock, *timeout, ready)) return std::nullopt;
    } else {
      cv_.wait(lock, ready);
    }
    Message m = std::move(queue_.front());
    queue_.pop_front();
    return m;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Message> queue_;
};

template <class F>
void start_thread(F&& f) {
  try {
    std::thread(std::forward<F>(f)).detach();
  } catch (const std::system_error&) {
    util::ui::say(util::ui::Level::fail, "failed to spawn thread");
    ::_exit(101);
  }
}

void show(std::string_view piece) {
  util::ui::write_stderr(piece);
}

// What the reader has kept so far. The caller takes it over when it stops
// waiting for the end of the output (a grandchild holding the pipe open);
// from then on the reader shows everything at once and keeps nothing, so no
// diagnostic is lost from the live build.
struct StderrSoFar {
  std::mutex mutex;
  Output output;
  std::string partial;     // an incomplete line, mode json lines
  bool abandoned = false;  // taken over by the caller
  bool reported = false;   // sent by the reader at end of file

  // Everything kept so far, an incomplete last line as held text; absent
  // when the reader has just reported it on the channel.
  std::optional<Output> take_over(Capture mode) {
    std::lock_guard lock(mutex);
    if (reported) return std::nullopt;
    abandoned = true;
    Output taken = std::move(output);
    taken.held.append(partial);
    partial.clear();
    if (mode == Capture::hold)
      taken.artifact_seen = taken.held.find(artifact_marker) != std::string::npos;
    return taken;
  }
};

// Takes one chunk of the child's standard error by the capture mode.
void take_chunk(StderrSoFar& c, Capture mode, std::string_view chunk) {
  switch (mode) {
    case Capture::tee:
      show(chunk);
      c.output.shown.append(chunk);
      break;
    case Capture::hold:
      c.output.held.append(chunk);
      break;
    case Capture::json_lines:
      c.partial.append(chunk);
      size_t start = 0;
      for (size_t nl; (nl = c.partial.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string_view line(c.partial.data() + start, nl + 1 - start);
        if (line.starts_with('{')) {
          if (line.size() > 24 && line.find(artifact_marker) != std::string_view::npos)
            c.output.artifact_seen = true;
          show(line);
          c.output.shown.append(line);
        } else {
          c.output.held.append(line);
        }
      }
      c.partial.erase(0, start);
      break;
  }
}

// Relays the child's standard error until end of file, then reports it
// (unless the caller has taken it over).
void read_stderr(int fd, Capture mode, const std::shared_ptr<Channel>& channel,
                 const std::shared_ptr<StderrSoFar>& captured) {
  util::Fd pipe(fd);
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(pipe.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::string_view chunk(buffer, static_cast<size_t>(n));
    std::lock_guard lock(captured->mutex);
    if (captured->abandoned)
      show(chunk);
    else
      take_chunk(*captured, mode, chunk);
  }
  pipe.reset();
  std::lock_guard lock(captured->mutex);
  if (captured->abandoned) return;
  Output output = std::move(captured->output);
  output.held.append(captured->partial);
  if (mode == Capture::hold)
    output.artifact_seen = output.held.find(artifact_marker) != std::string::npos;
  captured->reported = true;
  channel->send(std::move(output));
}

// A result with the texts of `output`.
TeedResult with_output(TeedResult r, Output&& output) {
  r.shown = std::move(output.shown);
  r.held = std::move(output.held);
  r.artifact_seen = output.artifact_seen;
  return r;
}

TeedResult of_run(const exec::RunResult& run) {
  TeedResult r;
  static_cast<exec::RunResult&>(r) = run;
  return r;
}

// Starts the thread that waits for the child's ready byte; the write end's
// number goes to the child in KELV_DRIVER_READY_FD.
util::IoResult<int> start_ready_thread(exec::Command& cmd,
                                       const std::shared_ptr<Channel>& channel) {
  int p[2];
  if (::pipe(p) != 0) return std::unexpected(util::last_error());
  ::fcntl(p[0], F_SETFD, FD_CLOEXEC);
  cmd.set_env("KELV_DRIVER_READY_FD", std::to_string(p[1]));
  start_thread([channel, fd = p[0]] {
    char byte;
    ssize_t n;
    while ((n = ::read(fd, &byte, 1)) < 0 && errno == EINTR) {
    }
    ::close(fd);
    if (n == 1) channel->send(Ready{});
  });
  return p[1];
}

// What the calling thread has heard so far.
struct Heard {
  bool ready = false;
  std::optional<Output> output;
  std::optional<exec::RunResult> finished;

  // A start failure of the child, or nothing.
  std::optional<util::IoError> take(Message&& message) {
    if (std::holds_alternative<Ready>(message)) {
      ready = true;
    } else if (auto* out = std::get_if<Output>(&message)) {
      output = std::move(*out);
    } else {
      auto& exited = std::get<Exited>(message);
      if (!exited.result) return exited.result.error();
      finished = *exited.result;
    }
    return std::nullopt;
  }
};

// Receives messages until the result is complete: the child exited and its
// output ended; or it announced its outputs and closed standard error
// (returned early, the child left running); or 5 seconds passed after the
// exit without the end of the output.
util::IoResult<TeedResult> collect(Channel& channel, StderrSoFar& captured, Capture mode) {
  Heard heard;
  for (;;) {
    std::optional<std::chrono::seconds> timeout;
    if (heard.finished) timeout = std::chrono::seconds(5);
    std::optional<Message> message = channel.receive(timeout);
    if (!message) {
      // Something (a grandchild) still holds the child's standard error
      // open: take what was captured and stop waiting; the rest is shown as
      // it comes but is not part of the result.
      std::optional<Output> taken = captured.take_over(mode);
      if (!taken) continue;  // the whole output is on its way
      TeedResult r = with_output(of_run(*heard.finished), std::move(*taken));
      r.captured_whole = false;
      return r;
    }
    if (auto failed = heard.take(std::move(*message))) return std::unexpected(*failed);
    if (heard.finished && heard.output)
      return with_output(of_run(*heard.finished), std::move(*heard.output));
    if (!heard.finished && heard.ready && heard.output) {
      TeedResult r = with_output(of_run({}), std::move(*heard.output));
      r.status = exec::ExitStatus::exited(0);
      r.early_exit = true;
      return r;
    }
  }
}

}  // namespace

util::IoResult<TeedResult> run_teed(exec::Command cmd, Capture mode, bool ready_pipe) {
  auto channel = std::make_shared<Channel>();
  auto captured = std::make_shared<StderrSoFar>();
  int ready_write = -1;
  if (ready_pipe) {
    auto started = start_ready_thread(cmd, channel);
    if (!started) return std::unexpected(started.error());
    ready_write = *started;
  } else {
    cmd.remove_env("KELV_DRIVER_READY_FD");
  }
  cmd.err = exec::Stream::pipe;

  start_thread([channel, captured, cmd = std::move(cmd), mode, ready_write]() mutable {
    bool write_end_closed = false;
    auto result = exec::run_child(cmd, true, [&](exec::Child& child) {
      if (ready_write >= 0) ::close(ready_write);
      write_end_closed = true;
      start_thread([channel, captured, fd = child.err.release(), mode] {
        read_stderr(fd, mode, channel, captured);
      });
    });
    if (!write_end_closed && ready_write >= 0) ::close(ready_write);
    channel->send(Exited{std::move(result)});
  });
  return collect(*channel, *captured, mode);
}

}  // namespace kelv::exec
