#include <fcntl.h>
#include <fmt/format.h>
#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "remote/engines/engine.h"
#include "remote/scrub.h"

namespace kelv::remote {

namespace {

struct ContextFree {
  void operator()(redisContext* context) const { redisFree(context); }
};
using Context = std::unique_ptr<redisContext, ContextFree>;

timeval timeval_of(std::chrono::milliseconds ms) {
  return {.tv_sec = static_cast<time_t>(ms.count() / 1000),
          .tv_usec = static_cast<suseconds_t>(ms.count() % 1000) * 1000};
}

// One reply, as far as this client needs them: a status, an error, an
// integer, nil, or a bulk string (an object's bytes go to a file instead).
struct Reply {
  char type = 0;  // '+', '-', ':', '$'
  std::string text;
  int64_t integer = 0;
  bool nil = false;
};

// hiredis makes the connection (with its timeout); the requests are written
// and their replies read here, so that a reply is bounded while it arrives
// (hiredis buffers a bulk string whole, however long the server says it is)
// and an object streams to its file.
class RedisClient final : public Client {
 public:
  RedisClient(const ServerUrl& url, const Limits& limits)
      : url_(url),
        limits_(limits),
        name_(fmt::format("redis {}:{}",
                          url.host.find(':') == std::string::npos ? url.host : "[" + url.host + "]",
                          url.port)) {}

  std::expected<void, Failure> open() {
    context_.reset(redisConnectWithTimeout(url_.host.c_str(), url_.port,
                                           timeval_of(limits_.connect_timeout())));
    if (!context_) return failure("cannot allocate a connection");
    if (context_->err != 0)
      return failure(context_->errstr[0] != '\0' ? context_->errstr : "connection failed");
    fd_ = context_->fd;
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0)
      return failure(fmt::format("cannot set up the connection: {}", std::strerror(errno)));
    if (!url_.password.empty()) {
      std::vector<std::string_view> auth = {"AUTH"};
      if (!url_.user.empty()) auth.push_back(url_.user);
      auth.push_back(url_.password);
      if (auto reply = command(auth); !reply) return std::unexpected(reply.error());
    }
    if (url_.db != 0) {
      const std::string db = std::to_string(url_.db);
      if (auto reply = command({"SELECT", db}); !reply) return std::unexpected(reply.error());
    }
    return {};
  }

  std::expected<bool, Failure> get(std::string_view object, int fd, uint64_t most_bytes) override {
    Pace pace(limits_, Pace::Clock::now());
    if (auto sent = send({"GET", object}, pace); !sent) return std::unexpected(sent.error());
    auto line = read_line(pace);
    if (!line) return std::unexpected(line.error());
    if (line->starts_with('$')) {
      auto length = number_of(*line);
      if (!length || *length < -1) return broken("unexpected answer to GET");
      if (*length == -1) return false;
      if (static_cast<uint64_t>(*length) > most_bytes) {
        closed_ = true;  // its bytes are still to come
        return failure(
            fmt::format("GET {}: the object is larger than {} bytes", object, most_bytes),
            Failure::Scope::object);
      }
      if (auto copied = copy_bulk(static_cast<uint64_t>(*length), fd, pace); !copied)
        return std::unexpected(copied.error());
      return true;
    }
    auto reply = small_reply(*line, pace);
    if (!reply) return std::unexpected(reply.error());
    if (reply->type == '-') return refused(reply->text);
    return broken("unexpected answer to GET");
  }

  std::expected<bool, Failure> has(std::string_view object) override {
    auto reply = command({"EXISTS", object});
    if (!reply) return std::unexpected(reply.error());
    if (reply->type != ':') return failure("unexpected answer to EXISTS");
    return reply->integer > 0;
  }

  std::expected<void, Failure> put(std::string_view object, std::string_view bytes) override {
    auto reply = command({"SET", object, bytes});
    if (!reply) return std::unexpected(reply.error());
    if (reply->type != '+' || reply->text != "OK") return failure("unexpected answer to SET");
    return {};
  }

 private:
  std::unexpected<Failure> failure(std::string_view what,
                                   Failure::Scope scope = Failure::Scope::server) const {
    return std::unexpected(Failure{printable(fmt::format("{}: {}", name_, what), url_), scope});
  }

  // An error reply: the server turned the request down.
  std::unexpected<Failure> refused(std::string_view text) const {
    return failure(text, Failure::Scope::request);
  }

  std::unexpected<Failure> broken(std::string_view what) {
    closed_ = true;  // whatever follows on the connection cannot be trusted
    return failure(what);
  }

  // Waits until the connection is ready for `events`, within the pace.
  std::expected<void, Failure> wait(short events, const Pace& pace) {
    for (;;) {
      const auto now = Pace::Clock::now();
      if (auto why = pace.overdue(now)) return broken(*why);
      pollfd p{.fd = fd_, .events = events, .revents = 0};
      const int n = ::poll(&p, 1, static_cast<int>(pace.next_check(now).count()));
      if (n > 0) return {};
      if (n < 0 && errno != EINTR) return broken(std::strerror(errno));
    }
  }

  std::expected<void, Failure> write_all(std::string_view bytes, Pace& pace) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        pace.moved(static_cast<uint64_t>(n), Pace::Clock::now());
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (auto ready = wait(POLLOUT, pace); !ready) return ready;
      } else if (n < 0 && errno != EINTR) {
        return broken(fmt::format("cannot send: {}", std::strerror(errno)));
      }
    }
    return {};
  }

  // The command as RESP: an array of bulk strings, the arguments written as
  // they are (a large value is not copied).
  std::expected<void, Failure> send(std::vector<std::string_view> args, Pace& pace) {
    if (closed_) return failure("the connection broke earlier");
    std::string head = fmt::format("*{}\r\n", args.size());
    for (const std::string_view arg : args) {
      head += fmt::format("${}\r\n", arg.size());
      if (arg.size() > 4096) {
        if (auto w = write_all(head, pace); !w) return w;
        if (auto w = write_all(arg, pace); !w) return w;
        head.clear();
      } else {
        head += arg;
      }
      head += "\r\n";
    }
    return write_all(head, pace);
  }

  // Reads more of the reply into the buffer.
  std::expected<void, Failure> fill(Pace& pace) {
    char chunk[64 * 1024];
    for (;;) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n > 0) {
        buffer_.append(chunk, static_cast<size_t>(n));
        pace.moved(static_cast<uint64_t>(n), Pace::Clock::now());
        return {};
      }
      if (n == 0) return broken("the server closed the connection");
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (auto ready = wait(POLLIN, pace); !ready) return ready;
      } else if (errno != EINTR) {
        return broken(fmt::format("cannot receive: {}", std::strerror(errno)));
      }
    }
  }

  // One line of the reply, without its "\r\n"; a line longer than a small
  // reply may be is a broken server.
  std::expected<std::string, Failure> read_line(Pace& pace) {
    for (size_t searched = 0;;) {
      const size_t end = buffer_.find("\r\n", searched);
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return line;
      }
      if (buffer_.size() > small_reply_limit) return broken("an answer line is too long");
      searched = buffer_.empty() ? 0 : buffer_.size() - 1;
      if (auto more = fill(pace); !more) return std::unexpected(more.error());
    }
  }

  static std::optional<int64_t> number_of(std::string_view line) {
    int64_t n = 0;
    const char* end = line.data() + line.size();
    const auto [at, ec] = std::from_chars(line.data() + 1, end, n);
    if (ec != std::errc() || at != end || line.size() < 2) return std::nullopt;
    return n;
  }

  // `length` bytes of a bulk string and its "\r\n": into `fd`, or (fd -1)
  // into `into`.
  std::expected<void, Failure> copy_bulk(uint64_t length, int fd, Pace& pace,
                                         std::string* into = nullptr) {
    for (uint64_t left = length; left > 0;) {
      if (buffer_.empty())
        if (auto more = fill(pace); !more) return std::unexpected(more.error());
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer_.size()));
      if (into) {
        into->append(buffer_, 0, n);
      } else if (auto w = write_file(fd, std::string_view(buffer_).substr(0, n)); !w) {
        return w;
      }
      buffer_.erase(0, n);
      left -= n;
    }
    auto end = read_line(pace);
    if (!end) return std::unexpected(end.error());
    if (!end->empty()) return broken("a bulk answer is longer than it said");
    return {};
  }

  std::expected<void, Failure> write_file(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return broken(fmt::format("cannot write the object: {}", std::strerror(errno)));
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return {};
  }

  // A reply that is not an object: status, error, integer, a short bulk.
  std::expected<Reply, Failure> small_reply(const std::string& line, Pace& pace) {
    Reply reply{.type = line.empty() ? '\0' : line[0]};
    switch (reply.type) {
      case '+':
      case '-':
        reply.text = line.substr(1);
        return reply;
      case ':':
        if (auto n = number_of(line)) {
          reply.integer = *n;
          return reply;
        }
        break;
      case '$':
        if (auto n = number_of(line); n && *n >= -1 && *n <= int64_t{small_reply_limit}) {
          reply.nil = *n == -1;
          if (!reply.nil)
            if (auto copied = copy_bulk(static_cast<uint64_t>(*n), -1, pace, &reply.text); !copied)
              return std::unexpected(copied.error());
          return reply;
        }
        break;
      default:
        break;
    }
    return broken("the server's answer is not one Redis gives");
  }

  // Sends one command and reads its (small) reply; an error reply is a failure.
  std::expected<Reply, Failure> command(std::vector<std::string_view> args) {
    Pace pace(limits_, Pace::Clock::now());
    if (auto sent = send(std::move(args), pace); !sent) return std::unexpected(sent.error());
    auto line = read_line(pace);
    if (!line) return std::unexpected(line.error());
    auto reply = small_reply(*line, pace);
    if (!reply) return std::unexpected(reply.error());
    if (reply->type == '-') return refused(reply->text);
    return reply;
  }

  ServerUrl url_;
  Limits limits_;
  std::string name_;
  Context context_;
  int fd_ = -1;
  bool closed_ = false;
  std::string buffer_;  // what was received and not yet read
};

}  // namespace

std::expected<std::unique_ptr<Client>, Failure> connect_redis(const ServerUrl& url,
                                                              const Limits& limits) {
  auto client = std::make_unique<RedisClient>(url, limits);
  if (auto opened = client->open(); !opened) return std::unexpected(opened.error());
  return client;
}

}  // namespace kelv::remote
