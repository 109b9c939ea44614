#pragma once
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "remote/limits.h"
#include "remote/url.h"

// The clients of the remote cache's servers: Redis (hiredis) and HTTP/WebDAV
// (libcurl). They live in the kelv-remote program only, so that the wrapper
// never loads either library.
namespace kelv::remote {

// Why a request failed: a printable phrase that starts with the server's
// credentials-free name, and how far the failure reaches.
struct Failure {
  enum class Scope {
    // No connection, no answer in time, an answer that breaks the protocol:
    // the server is down or broken, for reads and writes alike.
    server,
    // The server answered, turning the request down (an HTTP error status, a
    // Redis error reply): a read-only login, a full disk or a server error,
    // which say nothing of requests of the other direction.
    request,
    // The server turned down this one object (an HTTP 413, 400 or 409),
    // which says nothing of its other objects.
    object,
  };
  std::string text;
  Scope scope = Scope::server;
};

// The most a server may say about anything but an object's bytes (error
// pages, replies to HEAD and PUT, Redis status lines).
inline constexpr size_t small_reply_limit = size_t{64} * 1024;

// One connection to the server, reused by its requests. Every request is
// bounded by the limits: in time (no progress, the slowest rate) and in what
// it reads (Limits::max_object_bytes for an object, small_reply_limit for
// anything else).
class Client {
 public:
  virtual ~Client() = default;
  // Writes the object's bytes to `fd` as they arrive, failing past
  // `most_bytes` (at most Limits::max_object_bytes); false: the server has
  // no such object (nothing was written).
  virtual std::expected<bool, Failure> get(std::string_view object, int fd,
                                           uint64_t most_bytes) = 0;
  virtual std::expected<bool, Failure> has(std::string_view object) = 0;
  virtual std::expected<void, Failure> put(std::string_view object, std::string_view bytes) = 0;
};

// A connection to the server; the connector of each program links the
// engines it serves.
using Connector = std::expected<std::unique_ptr<Client>, Failure> (*)(const ServerUrl& url,
                                                                      const Limits& limits);

// The engine of the address (both linked in).
std::expected<std::unique_ptr<Client>, Failure> connect(const ServerUrl& url, const Limits& limits);

// The engines.
std::expected<std::unique_ptr<Client>, Failure> connect_redis(const ServerUrl& url,
                                                              const Limits& limits);
std::expected<std::unique_ptr<Client>, Failure> connect_http(const ServerUrl& url,
                                                             const Limits& limits);

}  // namespace kelv::remote
