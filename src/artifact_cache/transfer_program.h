#pragma once
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "util/fd.h"

// The transfer program (kelv-remote, kelv-remote-redis) of one process,
// started at its first request and kept for the next ones: a remote hit (the
// key record, then the entry) or a build's uploads cost one start and one
// connection to the server.
namespace kelv::artifact_cache {

struct Remote;

// A transfer file of this process, removed when it goes out of scope.
struct TransferFile {
  std::filesystem::path path;
  explicit TransferFile(std::filesystem::path p) : path(std::move(p)) {}
  TransferFile(const TransferFile&) = delete;
  TransferFile& operator=(const TransferFile&) = delete;
  ~TransferFile() { ::unlink(path.c_str()); }
};

// How far a failure reaches: the server as a whole (both directions), the
// direction of the request, or only the object.
enum class Reach { server, direction, object };

struct Failed {
  std::string why;
  Reach reach = Reach::server;
};

// What the program answered: its exit status for the request (a code of
// remote/exit_status.h meaning success or absence) and what it said.
struct Answered {
  int status = 0;
  std::string text;
};

class TransferProgram {
 public:
  explicit TransferProgram(const Remote& remote) : remote_(remote) {}
  ~TransferProgram() { stop(); }
  TransferProgram(const TransferProgram&) = delete;
  TransferProgram& operator=(const TransferProgram&) = delete;

  // Runs one command ("get", object, file / "put", [?]object, file...): a
  // failure when the server or the program failed, or no answer came within
  // `limit` (the program is then killed, and the next request starts
  // another).
  std::expected<Answered, Failed> request(std::span<const std::string> words,
                                          std::chrono::milliseconds limit);
  // Fetches one object into `file` (at most `most` bytes, "16M", when
  // given); false when the server has none.
  std::expected<bool, Failed> get(const std::string& object, const std::filesystem::path& file,
                                  std::chrono::milliseconds limit, std::string_view most = "");

 private:
  std::expected<void, Failed> start();
  void stop();
  std::expected<std::string, Failed> answer_line(std::chrono::milliseconds limit);

  const Remote& remote_;
  pid_t pid_ = -1;
  util::Fd in_, out_;
  std::string read_;  // what the program wrote beyond the last answer
};

}  // namespace kelv::artifact_cache
