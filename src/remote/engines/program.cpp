#include "remote/engines/program.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "remote/engines/engine.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/files.h"
#include "util/size.h"

namespace kelv::remote {

namespace {

constexpr std::string_view kUsage =
    "usage: kelv-remote get <object> <file> [<most bytes>] | kelv-remote put [?]<object> <file>... "
    "| "
    "kelv-remote serve";

// What one command did: the status the one-shot program exits with, what
// it says on stdout (one line per object put) and on stderr (one line).
struct Answer {
  int status = kExitDone;
  std::string out;
  std::string err;
};

Answer complain(int status, std::string line) {
  return {.status = status, .out = {}, .err = std::move(line)};
}

std::expected<ServerUrl, std::string> server_from_env() {
  const char* text = std::getenv("KELV_REMOTE_CACHE");
  if (text == nullptr || *text == '\0') return std::unexpected("KELV_REMOTE_CACHE is not set");
  auto url = parse_server_url(text);
  if (url && url->engine == Engine::s3)
    if (auto filled = add_s3_credentials(*url); !filled)
      return std::unexpected(std::move(filled.error()));
  return url;
}

int status_of(Failure::Scope scope) {
  switch (scope) {
    case Failure::Scope::object:
      return kExitRefusedObject;
    case Failure::Scope::request:
      return kExitRefused;
    case Failure::Scope::server:
      break;
  }
  return kExitFailed;
}

Answer fail(const Failure& failure) {
  return complain(status_of(failure.scope), failure.text);
}

// The object goes straight into a new or truncated file of mode 0600; a file
// left by a failed or empty-handed fetch is removed.
Answer get_command(Client& client, std::string_view object, const std::string& path,
                   uint64_t most_bytes) {
  util::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid())
    return complain(kExitFailed, fmt::format("cannot create {}: {}", path, util::os_error(errno)));
  auto found = client.get(object, fd.get(), most_bytes);
  if (found && *found) return {};
  ::unlink(path.c_str());
  if (!found) return fail(found.error());
  return {.status = kExitAbsent, .out = {}, .err = {}};
}

struct Upload {
  std::string_view object;
  bool only_when_absent = false;
  std::string path;
};

// One object after another; the first failure ends the run (what was done
// before it is still said).
Answer put_command(Client& client, const std::vector<Upload>& uploads) {
  Answer answer;
  const auto fail = [&](Answer failed) {
    failed.out = std::move(answer.out);
    return failed;
  };
  for (const Upload& upload : uploads) {
    if (upload.only_when_absent) {
      auto present = client.has(upload.object);
      if (!present) return fail(remote::fail(present.error()));
      if (*present) {
        answer.out += fmt::format("present {}\n", upload.object);
        continue;
      }
    }
    // Mapped, not read: the bytes go from the file's pages to the socket.
    auto bytes = util::MappedFile::open(upload.path);
    if (!bytes)
      return fail(complain(kExitFailed, fmt::format("cannot read {}: {}", upload.path,
                                                    util::os_error(bytes.error()))));
    if (auto stored = client.put(upload.object, bytes->bytes()); !stored)
      return fail(remote::fail(stored.error()));
    answer.out += fmt::format("stored {}\n", upload.object);
  }
  return answer;
}

// The pairs of a put command line, or the usage error's text.
std::expected<std::vector<Upload>, std::string> uploads_of(
    std::span<const std::string_view> pairs) {
  if (pairs.empty() || pairs.size() % 2 != 0) return std::unexpected(std::string(kUsage));
  std::vector<Upload> uploads;
  for (size_t i = 0; i < pairs.size(); i += 2) {
    Upload upload{.object = pairs[i], .path = std::string(pairs[i + 1])};
    if (upload.object.starts_with('?')) {
      upload.object.remove_prefix(1);
      upload.only_when_absent = true;
    }
    if (!is_object_name(upload.object))
      return std::unexpected(fmt::format("kelv-remote: bad object name {:?}", upload.object));
    uploads.push_back(std::move(upload));
  }
  return uploads;
}

// A command's words, checked: the uploads of a put, nothing for a get.
std::expected<std::vector<Upload>, Answer> parse_command(std::span<const std::string_view> args) {
  if (args.empty()) return std::unexpected(complain(kExitUsage, std::string(kUsage)));
  if (args[0] == "get") {
    if (args.size() != 3 && args.size() != 4)
      return std::unexpected(complain(kExitUsage, std::string(kUsage)));
    if (args.size() == 4 && !util::parse_size(args[3]))
      return std::unexpected(
          complain(kExitUsage, fmt::format("kelv-remote: {:?} is not a size (\"16M\")", args[3])));
    if (!is_object_name(args[1]))
      return std::unexpected(
          complain(kExitUsage, fmt::format("kelv-remote: bad object name {:?}", args[1])));
    return std::vector<Upload>{};
  }
  if (args[0] != "put") return std::unexpected(complain(kExitUsage, std::string(kUsage)));
  auto parsed = uploads_of(args.subspan(1));
  if (!parsed) return std::unexpected(complain(kExitUsage, parsed.error()));
  return std::move(*parsed);
}

// The server's connection, made at the first command and kept for the
// next ones.
class Connection {
 public:
  explicit Connection(Connector connect) : connect_(connect) {}

  Answer run(std::span<const std::string_view> args) {
    auto uploads = parse_command(args);
    if (!uploads) return std::move(uploads.error());
    const bool reused = client_ != nullptr;
    Answer answer = run_once(args, *uploads);
    // A connection kept idle may have been closed by the server meanwhile:
    // a new one is tried once before the server counts as failed.
    if (reused && answer.status == kExitFailed && client_ == nullptr)
      answer = run_once(args, *uploads);
    return answer;
  }

 private:
  Answer run_once(std::span<const std::string_view> args, const std::vector<Upload>& uploads) {
    if (!client_) {
      auto url = server_from_env();
      if (!url) return complain(kExitUsage, url.error());
      auto limits = Limits::from_env();
      if (!limits) return complain(kExitUsage, limits.error());
      limits_ = *limits;
      auto client = connect_(*url, *limits);
      if (!client) return fail(client.error());
      client_ = std::move(*client);
    }
    Answer answer =
        args[0] == "get"
            ? get_command(*client_, args[1], std::string(args[2]),
                          std::min(limits_.max_object_bytes,
                                   args.size() == 4 ? *util::parse_size(args[3]) : UINT64_MAX))
            : put_command(*client_, uploads);
    // After a failure the connection may be in any state: the next command
    // makes a new one.
    if (answer.status != kExitDone && answer.status != kExitAbsent) client_.reset();
    return answer;
  }

  Connector connect_;
  Limits limits_;
  std::unique_ptr<Client> client_;
};

// A line fit to answer on: newlines and tabs made spaces.
std::string one_line(std::string text) {
  while (text.ends_with('\n')) text.pop_back();
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\t'; }, ' ');
  return text;
}

// Commands from standard input, a line each with its words separated by
// tabs, each answered on standard output by one line: the status the
// command would have exited with, a tab, and what it would have said.
int serve(Connection& connection) {
  std::string line;
  for (int c; (c = std::getchar()) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    std::vector<std::string_view> words;
    for (size_t at = 0; at <= line.size();) {
      const size_t tab = std::min(line.find('\t', at), line.size());
      words.push_back(std::string_view(line).substr(at, tab - at));
      at = tab + 1;
    }
    const Answer answer = connection.run(words);
    fmt::print("{}\t{}\n", answer.status,
               one_line(answer.status == kExitDone || answer.status == kExitAbsent ? answer.out
                                                                                   : answer.err));
    std::fflush(stdout);
    line.clear();
  }
  return kExitDone;
}

}  // namespace

bool is_object_name(std::string_view name) {
  if (name.empty()) return false;
  size_t start = 0;
  while (start <= name.size()) {
    const size_t slash = std::min(name.find('/', start), name.size());
    const std::string_view segment = name.substr(start, slash - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    for (const char c : segment) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
      if (!ok) return false;
    }
    start = slash + 1;
  }
  return true;
}

int run_program(std::span<const std::string_view> args, Connector connect) {
  Connection connection(connect);
  if (args.size() == 1 && args[0] == "serve") return serve(connection);
  const Answer answer = connection.run(args);
  if (!answer.out.empty()) fmt::print("{}", answer.out);
  if (!answer.err.empty()) fmt::print(stderr, "{}\n", answer.err);
  return answer.status;
}

}  // namespace kelv::remote
