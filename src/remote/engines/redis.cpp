#include <fmt/format.h>
#include <hiredis/hiredis.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "remote/engines/engine.h"

namespace kelv::remote {

namespace {

struct ReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

struct ContextFree {
  void operator()(redisContext* context) const { redisFree(context); }
};
using Context = std::unique_ptr<redisContext, ContextFree>;

timeval timeval_of(int ms) {
  return {.tv_sec = ms / 1000, .tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000};
}

// hiredis writes with write(2): a server gone away would end the process with
// SIGPIPE. While one lives, SIGPIPE is blocked in this thread, and one raised
// meanwhile is taken back before the mask is restored.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &saved_);
  }
  ~SigpipeBlock() {
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      const timespec now{};
      while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t saved_;
  bool was_pending_ = false;
};

class RedisClient final : public Client {
 public:
  RedisClient(const ServerUrl& url, Timeouts timeouts)
      : url_(url),
        timeouts_(timeouts),
        name_(fmt::format("redis {}:{}",
                          url.host.find(':') == std::string::npos ? url.host : "[" + url.host + "]",
                          url.port)) {}

  std::expected<void, std::string> open() {
    context_.reset(
        redisConnectWithTimeout(url_.host.c_str(), url_.port, timeval_of(timeouts_.connect_ms)));
    if (!context_) return failure("cannot allocate a connection");
    if (context_->err != 0) return failure(connection_error(errno));
    if (redisSetTimeout(context_.get(), timeval_of(timeouts_.io_ms)) != REDIS_OK)
      return failure(connection_error(errno));
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

  std::expected<std::optional<std::string>, std::string> get(std::string_view object) override {
    auto reply = command({"GET", object});
    if (!reply) return std::unexpected(reply.error());
    if ((*reply)->type == REDIS_REPLY_NIL) return std::nullopt;
    if ((*reply)->type != REDIS_REPLY_STRING) return failure(unexpected_answer("GET"));
    return std::string((*reply)->str, (*reply)->len);
  }

  std::expected<bool, std::string> has(std::string_view object) override {
    auto reply = command({"EXISTS", object});
    if (!reply) return std::unexpected(reply.error());
    if ((*reply)->type != REDIS_REPLY_INTEGER) return failure(unexpected_answer("EXISTS"));
    return (*reply)->integer > 0;
  }

  std::expected<void, std::string> put(std::string_view object, std::string_view bytes) override {
    auto reply = command({"SET", object, bytes});
    if (!reply) return std::unexpected(reply.error());
    if ((*reply)->type != REDIS_REPLY_STATUS) return failure(unexpected_answer("SET"));
    return {};
  }

 private:
  std::unexpected<std::string> failure(std::string_view what) const {
    return std::unexpected(scrubbed(fmt::format("{}: {}", name_, what), url_));
  }

  static std::string unexpected_answer(std::string_view command) {
    return fmt::format("unexpected answer to {}", command);
  }

  // The context's error; a read or write that timed out says so plainly.
  std::string connection_error(int err) const {
    if (context_->err == REDIS_ERR_IO && (err == EAGAIN || err == EWOULDBLOCK))
      return fmt::format("no answer within {} ms", timeouts_.io_ms);
    return context_->errstr[0] != '\0' ? std::string(context_->errstr) : "connection failed";
  }

  // Sends one command and reads its reply; an error reply is a failure.
  std::expected<Reply, std::string> command(std::vector<std::string_view> args) {
    if (context_->err != 0) return failure(connection_error(0));
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const std::string_view arg : args) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    Reply reply;
    int err = 0;
    {
      const SigpipeBlock block;
      reply.reset(static_cast<redisReply*>(redisCommandArgv(
          context_.get(), static_cast<int>(argv.size()), argv.data(), lengths.data())));
      err = errno;
    }
    if (!reply) return failure(connection_error(err));
    if (reply->type == REDIS_REPLY_ERROR) return failure(std::string(reply->str, reply->len));
    return reply;
  }

  ServerUrl url_;
  Timeouts timeouts_;
  std::string name_;
  Context context_;
};

}  // namespace

std::expected<std::unique_ptr<Client>, std::string> connect_redis(const ServerUrl& url,
                                                                  Timeouts timeouts) {
  auto client = std::make_unique<RedisClient>(url, timeouts);
  if (auto opened = client->open(); !opened) return std::unexpected(opened.error());
  return client;
}

}  // namespace kelv::remote
