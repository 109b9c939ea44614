#include "artifact_cache/transfer_program.h"

#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "artifact_cache/remote_tier.h"
#include "exec/proc.h"
#include "remote/exit_status.h"
#include "remote/scrub.h"
#include "util/clock.h"
#include "util/paths.h"

namespace kelv::artifact_cache {
namespace {

// An answer is a status and a line of text the program cut to a few hundred
// bytes; one longer than this is no answer of it.
constexpr size_t longest_answer = size_t{64} * 1024;

Reach reach_of(int status) {
  if (status == remote::kExitRefused) return Reach::direction;
  if (status == remote::kExitRefusedObject) return Reach::object;
  return Reach::server;
}

}  // namespace

std::expected<void, Failed> TransferProgram::start() {
  exec::Command cmd{.program = remote_.program.native(),
                    .args = {"serve"},
                    .env = {},
                    .in = exec::Stream::pipe,
                    .out = exec::Stream::pipe,
                    .err = exec::Stream::null};
  cmd.set_env("KELV_REMOTE_CACHE", remote_.address);
  for (const auto& [name, value] : remote_.credentials) cmd.set_env(name, value);
  auto child = exec::spawn(cmd);
  if (!child)
    return std::unexpected(Failed{
        fmt::format("cannot run {}: {}", remote_.program.native(), util::os_error(child.error()))});
  pid_ = child->pid;
  in_ = std::move(child->in);
  out_ = std::move(child->out);
  read_.clear();
  return {};
}

std::expected<bool, Failed> TransferProgram::get(const std::string& object,
                                                 const std::filesystem::path& file,
                                                 std::chrono::milliseconds limit,
                                                 std::string_view most) {
  std::vector<std::string> words = {"get", object, file.native()};
  if (!most.empty()) words.emplace_back(most);
  auto answered = request(words, limit);
  if (!answered) return std::unexpected(std::move(answered.error()));
  return answered->status == remote::kExitDone;
}

void TransferProgram::stop() {
  if (pid_ < 0) return;
  // The program ends at the end of its input; one that is stuck is killed.
  in_.reset();
  int status = 0;
  const uint64_t deadline = util::mono_ns() + 1000000000ull;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (util::mono_ns() >= deadline) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    ::usleep(1000);
  }
  out_.reset();
  pid_ = -1;
}

std::expected<std::string, Failed> TransferProgram::answer_line(std::chrono::milliseconds limit) {
  const uint64_t deadline = util::mono_ns() + static_cast<uint64_t>(limit.count()) * 1000000ull;
  for (;;) {
    if (const size_t nl = read_.find('\n'); nl != std::string::npos) {
      std::string line = read_.substr(0, nl);
      read_.erase(0, nl + 1);
      return line;
    }
    if (read_.size() > longest_answer)
      return std::unexpected(
          Failed{fmt::format("{} answered beyond any answer's length", remote_.program.native())});
    const uint64_t now = util::mono_ns();
    if (now >= deadline)
      return std::unexpected(Failed{
          fmt::format("{} did not answer within {} ms", remote_.server.display, limit.count())});
    struct pollfd fd = {out_.get(), POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>((deadline - now + 999999) / 1000000));
    if (ready < 0 && errno != EINTR)
      return std::unexpected(Failed{fmt::format("cannot read from {}: {}", remote_.program.native(),
                                                util::os_error(util::last_error()))});
    if (ready <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(out_.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return std::unexpected(
          Failed{fmt::format("{} ended without answering", remote_.program.native())});
    read_.append(buf, static_cast<size_t>(n));
  }
}

std::expected<Answered, Failed> TransferProgram::request(std::span<const std::string> words,
                                                         std::chrono::milliseconds limit) {
  std::string line;
  for (const std::string& w : words) {
    // Tabs and newlines separate words and requests.
    if (w.find_first_of("\t\n") != std::string::npos)
      return std::unexpected(
          Failed{fmt::format("{} holds a tab or a newline, which {} cannot be passed",
                             util::quoted(w), remote_.program.filename().native()),
                 Reach::object});
    line += (line.empty() ? "" : "\t") + w;
  }
  line += '\n';
  if (pid_ < 0)
    if (auto started = start(); !started) return std::unexpected(std::move(started.error()));
  auto answered = exec::write_to_child(in_.get(), line)
                      ? answer_line(limit)
                      : std::unexpected(Failed{
                            fmt::format("{} ended without answering", remote_.program.native())});
  if (!answered) {
    ::kill(pid_, SIGKILL);
    stop();
    return std::unexpected(std::move(answered.error()));
  }
  const size_t tab = answered->find('\t');
  int status = -1;
  const std::string_view code = std::string_view(*answered).substr(0, tab);
  const auto [end, ec] = std::from_chars(code.data(), code.data() + code.size(), status);
  if (tab == std::string::npos || ec != std::errc() || end != code.data() + code.size()) {
    stop();
    return std::unexpected(
        Failed{fmt::format("{} gave an answer of no known form", remote_.program.native())});
  }
  std::string text = remote::printable(answered->substr(tab + 1), remote_.server);
  if (status == remote::kExitDone || status == remote::kExitAbsent)
    return Answered{status, std::move(text)};
  if (text.empty()) text = fmt::format("{} failed without saying why", remote_.program.native());
  return std::unexpected(Failed{std::move(text), reach_of(status)});
}

}  // namespace kelv::artifact_cache
