#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "util/fd.h"

// A server on 127.0.0.1 that speaks just enough Redis or HTTP to answer the
// remote cache's clients the way a broken or hostile server would: each
// request is handed to the test's `Answer`, which writes what it likes
// (lies about lengths, endless bodies, one byte at a time, control
// characters). Every loop ends by itself within `kHostileLimit`, and the
// server stops when dropped.
namespace kelv::testing {

inline constexpr auto kHostileLimit = std::chrono::seconds(20);

enum class Protocol { redis, http };

// One request as the server read it: the Redis command's words, or the
// HTTP method and the object's name (the path below "/c/").
struct Request {
  std::vector<std::string> words;  // redis: {"GET", "kelv1/m/.."}; http: {"GET", "kelv1/m/.."}
  std::string body;                // http: the request's body
  std::string verb() const { return words.empty() ? "" : words[0]; }
  std::string object() const { return words.size() > 1 ? words[1] : ""; }
};

// The connection, for an answer to write to.
class Peer {
 public:
  explicit Peer(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
  // False once the client is gone or the server stops.
  bool send(std::string_view bytes);
  // Sends one byte every `interval` for as long as the client listens.
  void trickle(std::string_view bytes, std::chrono::milliseconds interval);
  // Sends `chunk` over and over until the client goes away.
  void flood(std::string_view chunk);

 private:
  int fd_;
  const std::atomic<bool>& stopping_;
};

using Answer = std::function<void(const Request&, Peer&)>;

class HostileServer {
 public:
  HostileServer(Protocol protocol, Answer answer);
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  uint16_t port() const { return port_; }
  // "redis://127.0.0.1:<port>" or "http://127.0.0.1:<port>/c", with the
  // userinfo when given ("user:password").
  std::string url(std::string_view userinfo = "") const;
  // What was asked for, in order.
  std::vector<Request> requests() const;

  // Answers that serve objects as a well-behaved server would.
  static Answer serving(std::map<std::string, std::string> objects, Protocol protocol);

 private:
  void serve(int fd);

  Protocol protocol_;
  Answer answer_;
  uint16_t port_ = 0;
  util::Fd listener_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<std::thread> threads_;  // one per connection
  std::thread acceptor_;
};

// Replies in each protocol's words.
std::string redis_bulk(std::string_view bytes);
std::string http_reply(int status, std::string_view body, std::string_view extra_headers = "");

}  // namespace kelv::testing
