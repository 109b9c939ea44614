#include "hostile.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace kelv::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Reads from the connection into `buffer` until `complete` finds a whole
// request in it (and says how long it is), the client goes away, the server
// stops or the time is up.
template <class Complete>
std::optional<size_t> read_until(int fd, std::string& buffer, const std::atomic<bool>& stopping,
                                 Clock::time_point deadline, Complete complete) {
  for (;;) {
    if (auto n = complete(buffer)) return n;
    if (stopping || Clock::now() > deadline) return std::nullopt;
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char chunk[64 * 1024];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return std::nullopt;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

// A RESP array of bulk strings; its length once it is whole.
std::optional<size_t> parse_redis(std::string_view b, Request& request) {
  request.words.clear();
  size_t at = 0;
  auto line = [&]() -> std::optional<std::string_view> {
    const size_t end = b.find("\r\n", at);
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view l = b.substr(at, end - at);
    at = end + 2;
    return l;
  };
  const auto head = line();
  if (!head || !head->starts_with('*')) return std::nullopt;
  const size_t count = std::stoul(std::string(head->substr(1)));
  for (size_t i = 0; i < count; ++i) {
    const auto len = line();
    if (!len) return std::nullopt;
    const size_t n = std::stoul(std::string(len->substr(1)));
    if (b.size() < at + n + 2) return std::nullopt;
    request.words.emplace_back(b.substr(at, n));
    at += n + 2;
  }
  return at;
}

// An HTTP request's head and body; its length once it is whole.
std::optional<size_t> parse_http(std::string_view b, Request& request) {
  const size_t end = b.find("\r\n\r\n");
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view head = b.substr(0, end);
  size_t length = 0;
  for (size_t at = 0; at < head.size();) {
    const size_t eol = std::min(head.find("\r\n", at), head.size());
    std::string header(head.substr(at, eol - at));
    for (char& c : header) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (header.starts_with("content-length:")) length = std::stoul(header.substr(15));
    at = eol + 2;
  }
  if (b.size() < end + 4 + length) return std::nullopt;
  const std::string_view line = head.substr(0, head.find("\r\n"));
  const size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
  std::string_view path = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (path.starts_with("/c/")) path.remove_prefix(3);
  request.words = {std::string(line.substr(0, sp1)), std::string(path)};
  request.body = std::string(b.substr(end + 4, length));
  return end + 4 + length;
}

}  // namespace

bool Peer::send(std::string_view bytes) {
  const auto deadline = Clock::now() + kHostileLimit;
  while (!bytes.empty()) {
    if (stopping_ || Clock::now() > deadline) return false;
    pollfd p{.fd = fd_, .events = POLLOUT, .revents = 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void Peer::trickle(std::string_view bytes, std::chrono::milliseconds interval) {
  const auto deadline = Clock::now() + kHostileLimit;
  for (const char c : bytes) {
    if (!send(std::string_view(&c, 1)) || Clock::now() > deadline) return;
    for (auto until = Clock::now() + interval; Clock::now() < until && !stopping_;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Peer::flood(std::string_view chunk) {
  const auto deadline = Clock::now() + kHostileLimit;
  while (Clock::now() < deadline && send(chunk)) {
  }
}

HostileServer::HostileServer(Protocol protocol, Answer answer)
    : protocol_(protocol), answer_(std::move(answer)) {
  listener_ = util::Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (!listener_.valid() || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::listen(listener_.get(), 64) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] {
    while (!stopping_) {
      pollfd p{.fd = listener_.get(), .events = POLLIN, .revents = 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const std::lock_guard lock(mutex_);
      threads_.emplace_back([this, fd] { serve(fd); });
    }
  });
}

HostileServer::~HostileServer() {
  stopping_ = true;
  // The acceptor adds threads while it runs: it is joined first.
  acceptor_.join();
  for (std::thread& t : threads_) t.join();
}

void HostileServer::serve(int fd) {
  const util::Fd owned(fd);
  Peer peer(fd, stopping_);
  std::string buffer;
  const auto deadline = Clock::now() + kHostileLimit;
  for (;;) {
    Request request;
    const auto used = read_until(fd, buffer, stopping_, deadline, [&](std::string_view b) {
      return protocol_ == Protocol::redis ? parse_redis(b, request) : parse_http(b, request);
    });
    if (!used) return;
    buffer.erase(0, *used);
    {
      const std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    answer_(request, peer);
  }
}

std::string HostileServer::url(std::string_view userinfo) const {
  const std::string at = userinfo.empty() ? "" : std::string(userinfo) + "@";
  return protocol_ == Protocol::redis ? fmt::format("redis://{}127.0.0.1:{}", at, port_)
                                      : fmt::format("http://{}127.0.0.1:{}/c", at, port_);
}

std::vector<Request> HostileServer::requests() const {
  const std::lock_guard lock(mutex_);
  return requests_;
}

Answer HostileServer::serving(std::map<std::string, std::string> objects, Protocol protocol) {
  return [objects = std::move(objects), protocol](const Request& r, Peer& peer) {
    const auto it = objects.find(r.object());
    if (protocol == Protocol::redis) {
      if (r.verb() == "GET")
        peer.send(it == objects.end() ? "$-1\r\n" : redis_bulk(it->second));
      else if (r.verb() == "EXISTS")
        peer.send(it == objects.end() ? ":0\r\n" : ":1\r\n");
      else
        peer.send("+OK\r\n");
      return;
    }
    if (r.verb() == "PUT")
      peer.send(http_reply(201, ""));
    else if (it == objects.end())
      peer.send(http_reply(404, ""));
    else
      peer.send(http_reply(200, r.verb() == "HEAD" ? "" : it->second));
  };
}

std::string redis_bulk(std::string_view bytes) {
  return fmt::format("${}\r\n{}\r\n", bytes.size(), bytes);
}

std::string http_reply(int status, std::string_view body, std::string_view extra_headers) {
  return fmt::format("HTTP/1.1 {} X\r\nContent-Length: {}\r\n{}\r\n{}", status, body.size(),
                     extra_headers, body);
}

}  // namespace kelv::testing
