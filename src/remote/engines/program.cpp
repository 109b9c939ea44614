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

namespace kelv::remote {

namespace {

constexpr std::string_view kUsage =
    "usage: kelv-remote get <object> <file> | kelv-remote put [?]<object> <file>...";

int complain(int status, std::string_view line) {
  fmt::print(stderr, "{}\n", line);
  return status;
}

std::expected<ServerUrl, std::string> server_from_env() {
  const char* text = std::getenv("KELV_REMOTE_CACHE");
  if (text == nullptr || *text == '\0') return std::unexpected("KELV_REMOTE_CACHE is not set");
  return parse_server_url(text);
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

int fail(const Failure& failure) {
  return complain(status_of(failure.scope), failure.text);
}

// The object goes straight into a new or truncated file of mode 0600; a file
// left by a failed or empty-handed fetch is removed.
int get_command(Client& client, std::string_view object, const std::string& path) {
  util::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid())
    return complain(kExitFailed, fmt::format("cannot create {}: {}", path, util::os_error(errno)));
  auto found = client.get(object, fd.get());
  if (found && *found) return kExitDone;
  ::unlink(path.c_str());
  if (!found) return fail(found.error());
  return kExitAbsent;
}

struct Upload {
  std::string_view object;
  bool only_when_absent = false;
  std::string path;
};

// One object after another; the first failure ends the run.
int put_command(Client& client, const std::vector<Upload>& uploads) {
  for (const Upload& upload : uploads) {
    if (upload.only_when_absent) {
      auto present = client.has(upload.object);
      if (!present) return fail(present.error());
      if (*present) {
        fmt::print("present {}\n", upload.object);
        std::fflush(stdout);
        continue;
      }
    }
    auto bytes = util::read_file(upload.path);
    if (!bytes)
      return complain(kExitFailed, fmt::format("cannot read {}: {}", upload.path,
                                               util::os_error(bytes.error())));
    if (auto stored = client.put(upload.object, *bytes); !stored) return fail(stored.error());
    fmt::print("stored {}\n", upload.object);
    std::fflush(stdout);
  }
  return kExitDone;
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

std::expected<std::unique_ptr<Client>, std::pair<int, std::string>> client_from_env(
    Connector connect) {
  auto url = server_from_env();
  if (!url) return std::unexpected(std::pair{kExitUsage, url.error()});
  auto limits = Limits::from_env();
  if (!limits) return std::unexpected(std::pair{kExitUsage, limits.error()});
  auto client = connect(*url, *limits);
  if (!client)
    return std::unexpected(std::pair{status_of(client.error().scope), client.error().text});
  return std::move(*client);
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
  if (args.empty()) return complain(kExitUsage, kUsage);
  const std::string_view verb = args[0];
  std::vector<Upload> uploads;
  if (verb == "get") {
    if (args.size() != 3) return complain(kExitUsage, kUsage);
    if (!is_object_name(args[1]))
      return complain(kExitUsage, fmt::format("kelv-remote: bad object name {:?}", args[1]));
  } else if (verb == "put") {
    auto parsed = uploads_of(args.subspan(1));
    if (!parsed) return complain(kExitUsage, parsed.error());
    uploads = std::move(*parsed);
  } else {
    return complain(kExitUsage, kUsage);
  }
  auto client = client_from_env(connect);
  if (!client) return complain(client.error().first, client.error().second);
  if (verb == "get") return get_command(**client, args[1], std::string(args[2]));
  return put_command(**client, uploads);
}

}  // namespace kelv::remote
