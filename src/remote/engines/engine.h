#pragma once
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "remote/url.h"

// The clients of the remote cache's servers: Redis (hiredis) and HTTP/WebDAV
// (libcurl). They live in the kelv-remote program only, so that the wrapper
// never loads either library.
namespace kelv::remote {

struct Timeouts {
  int connect_ms = 1000;
  int io_ms = 2000;  // a request that makes no progress for that long fails
};

// One connection to the server, reused by its requests. Failures are
// printable phrases that start with the server's credentials-free name.
class Client {
 public:
  virtual ~Client() = default;
  // nullopt: the server has no such object.
  virtual std::expected<std::optional<std::string>, std::string> get(std::string_view object) = 0;
  virtual std::expected<bool, std::string> has(std::string_view object) = 0;
  virtual std::expected<void, std::string> put(std::string_view object, std::string_view bytes) = 0;
};

// A connection to the server; the connector of each program links the
// engines it serves.
using Connector = std::expected<std::unique_ptr<Client>, std::string> (*)(const ServerUrl& url,
                                                                          Timeouts timeouts);

// The engine of the address (both linked in).
std::expected<std::unique_ptr<Client>, std::string> connect(const ServerUrl& url,
                                                            Timeouts timeouts);

// The engines.
std::expected<std::unique_ptr<Client>, std::string> connect_redis(const ServerUrl& url,
                                                                  Timeouts timeouts);
std::expected<std::unique_ptr<Client>, std::string> connect_http(const ServerUrl& url,
                                                                 Timeouts timeouts);

// The text with every occurrence of the url's user and password (of three
// characters or more) replaced by "***", so that no message carries them.
std::string scrubbed(std::string text, const ServerUrl& url);

}  // namespace kelv::remote
