#include "servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace kelv::testing {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(5);
constexpr int kStartAttempts = 5;

// A socket bound to 127.0.0.1 at a port the kernel chose.
util::Fd bound_socket(uint16_t& port) {
  util::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw std::runtime_error("cannot create a socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("cannot bind a socket to 127.0.0.1");
  port = ntohs(addr.sin_port);
  return fd;
}

uint16_t free_port() {
  uint16_t port = 0;
  bound_socket(port);
  return port;
}

bool accepts_connections(uint16_t port) {
  const util::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// Polls `ready` until it holds, the process ends or the start limit passes.
bool wait_ready(ServerProcess& process, const std::function<bool()>& ready) {
  const auto deadline = Clock::now() + kStartLimit;
  while (Clock::now() < deadline && process.running()) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Starts the server that `start(port)` spawns at a free port until one
// answers; another process may take the port between the probe and the
// server's bind, so a server that ends early is tried again at another.
template <class Start, class Ready>
uint16_t start_at_free_port(ServerProcess& process, Start start, Ready ready, std::string_view what,
                            const fs::path& log) {
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    const uint16_t port = free_port();
    process = start(port);
    if (wait_ready(process, [&] { return ready(port); })) return port;
    process.kill();
  }
  std::string tail;
  try {
    tail = read_file(log);
  } catch (const std::exception&) {
  }
  throw std::runtime_error(fmt::format("{} did not start: {}", what, tail));
}

// Letters, digits and "-._~" stay; the rest is percent-encoded.
std::string encoded(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
        c == '~')
      out += c;
    else
      out += fmt::format("%{:02X}", static_cast<unsigned char>(c));
  }
  return out;
}

std::string userinfo(std::string_view user, std::string_view password) {
  return fmt::format("{}:{}@", encoded(user), encoded(password));
}

struct ContextFree {
  void operator()(redisContext* c) const { redisFree(c); }
};
struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Context = std::unique_ptr<redisContext, ContextFree>;
using Reply = std::unique_ptr<redisReply, ReplyFree>;

Context redis_connect(uint16_t port, int timeout_ms) {
  const timeval tv{.tv_sec = timeout_ms / 1000,
                   .tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
  Context c(redisConnectWithTimeout("127.0.0.1", port, tv));
  if (!c || c->err != 0) return nullptr;
  redisSetTimeout(c.get(), tv);
  return c;
}

Reply redis_command(redisContext* c, const std::vector<std::string_view>& args) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const std::string_view arg : args) {
    argv.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  return Reply(static_cast<redisReply*>(
      redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lengths.data())));
}

// The regular files below `base`, as sorted relative names.
std::vector<std::string> files_below(const fs::path& base) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(base, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file())
      names.push_back(it->path().lexically_relative(base).generic_string());
  }
  std::ranges::sort(names);
  return names;
}

}  // namespace

fs::path remote_exe() {
  return KELV_REMOTE_EXE;
}

ServerProcess::ServerProcess(const std::vector<std::string>& argv, const fs::path& log) {
  std::vector<std::string> args = argv;
  std::vector<char*> ptrs;
  for (std::string& a : args) ptrs.push_back(a.data());
  ptrs.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  int rc = posix_spawnp(&pid_, ptrs[0], &fa, nullptr, ptrs.data(), environ);
  if (rc == ENOENT && argv[0].find('/') == std::string::npos) {
    // Daemons live in sbin, which a user's PATH may lack.
    args[0] = "/usr/sbin/" + argv[0];
    ptrs[0] = args[0].data();
    rc = posix_spawn(&pid_, ptrs[0], &fa, nullptr, ptrs.data(), environ);
  }
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error(fmt::format("cannot start {}: {}", argv[0], std::strerror(rc)));
  }
}

ServerProcess::ServerProcess(ServerProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)) {}

ServerProcess& ServerProcess::operator=(ServerProcess&& other) noexcept {
  if (this != &other) {
    kill();
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

bool ServerProcess::running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

void ServerProcess::kill() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

RedisServer::RedisServer(Options options) : options_(std::move(options)) {
  const fs::path log = dir_ / "redis.log";
  auto start = [&](uint16_t port) {
    std::vector<std::string> argv = {"redis-server",
                                     "--port",
                                     std::to_string(port),
                                     "--bind",
                                     "127.0.0.1",
                                     "--save",
                                     "",
                                     "--appendonly",
                                     "no",
                                     "--dir",
                                     dir_.path(),
                                     "--logfile",
                                     log,
                                     "--daemonize",
                                     "no"};
    if (options_.password) argv.insert(argv.end(), {"--requirepass", *options_.password});
    if (options_.maxmemory)
      argv.insert(argv.end(), {"--maxmemory", std::to_string(*options_.maxmemory),
                               "--maxmemory-policy", "noeviction"});
    return ServerProcess(argv, dir_ / "redis.out");
  };
  // Any answer to PING, NOAUTH included, means the server is up.
  auto ready = [](uint16_t port) {
    const Context c = redis_connect(port, 100);
    return c && redis_command(c.get(), {"PING"}) != nullptr;
  };
  port_ = start_at_free_port(process_, start, ready, "redis-server", log);
}

std::string RedisServer::url() const {
  return fmt::format("redis://127.0.0.1:{}", port_);
}

std::string RedisServer::url_with(std::string_view user, std::string_view password) const {
  return fmt::format("redis://{}127.0.0.1:{}", userinfo(user, password), port_);
}

namespace {

// A connection to the server, authenticated when it has a password.
Context redis_session(uint16_t port, const std::optional<std::string>& password) {
  Context c = redis_connect(port, 2000);
  if (!c) throw std::runtime_error("cannot connect to the test's redis server");
  if (password) {
    const Reply auth = redis_command(c.get(), {"AUTH", *password});
    if (!auth || auth->type == REDIS_REPLY_ERROR)
      throw std::runtime_error("cannot authenticate to the test's redis server");
  }
  return c;
}

Reply checked(Reply reply, std::string_view what) {
  if (!reply || reply->type == REDIS_REPLY_ERROR)
    throw std::runtime_error(fmt::format("redis {} failed: {}", what,
                                         reply ? std::string(reply->str, reply->len) : "I/O"));
  return reply;
}

}  // namespace

std::vector<std::string> RedisServer::object_names() const {
  const Context c = redis_session(port_, options_.password);
  const Reply keys = checked(redis_command(c.get(), {"KEYS", "*"}), "KEYS");
  std::vector<std::string> names;
  for (size_t i = 0; i < keys->elements; ++i)
    names.emplace_back(keys->element[i]->str, keys->element[i]->len);
  std::ranges::sort(names);
  return names;
}

std::optional<std::string> RedisServer::get(std::string_view name) const {
  const Context c = redis_session(port_, options_.password);
  const Reply value = checked(redis_command(c.get(), {"GET", name}), "GET");
  if (value->type == REDIS_REPLY_NIL) return std::nullopt;
  return std::string(value->str, value->len);
}

void RedisServer::put(std::string_view name, std::string_view bytes) const {
  const Context c = redis_session(port_, options_.password);
  checked(redis_command(c.get(), {"SET", name, bytes}), "SET");
}

DavServer::DavServer(Options options) : options_(std::move(options)) {
  fs::create_directories(root());
  fs::create_directories(dir_ / "tmp");
  if (options_.user) {
    const Outcome hashed =
        run({.argv = {"openssl", "passwd", "-apr1", options_.password.value_or("")}});
    if (hashed.exit_code != 0) throw std::runtime_error("openssl passwd failed: " + hashed.err);
    write_file(dir_ / "htpasswd", *options_.user + ":" + hashed.out);
  }
  const fs::path log = dir_ / "error.log";
  auto start = [&](uint16_t port) {
    port_ = port;
    write_config();
    return ServerProcess({"nginx", "-p", dir_.path(), "-e", log, "-c", dir_ / "nginx.conf", "-g",
                          "daemon off; master_process off;"},
                         dir_ / "nginx.out");
  };
  port_ = start_at_free_port(process_, start, accepts_connections, "nginx", log);
}

void DavServer::write_config() const {
  const std::string dir = dir_.path();
  const std::string auth =
      options_.user ? fmt::format("auth_basic \"kelv\"; auth_basic_user_file {}/htpasswd;", dir)
                    : "";
  write_file(dir_ / "nginx.conf", fmt::format(R"(error_log {0}/error.log;
pid {0}/nginx.pid;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {0}/tmp/body;
  proxy_temp_path {0}/tmp/proxy;
  fastcgi_temp_path {0}/tmp/fastcgi;
  uwsgi_temp_path {0}/tmp/uwsgi;
  scgi_temp_path {0}/tmp/scgi;
  server {{
    listen 127.0.0.1:{1};
    root {0}/root;
    location / {{
      dav_methods PUT DELETE;
      create_full_put_path on;
      dav_access user:rw;
      client_max_body_size 0;
      {2}
    }}
    location /forbidden/ {{ return 403; }}
    location /broken/ {{ return 500; }}
  }}
}}
)",
                                              dir, port_, auth));
}

std::string DavServer::url(std::string_view prefix) const {
  return fmt::format("http://127.0.0.1:{}{}", port_, prefix);
}

std::string DavServer::url_with(std::string_view user, std::string_view password,
                                std::string_view prefix) const {
  return fmt::format("http://{}127.0.0.1:{}{}", userinfo(user, password), port_, prefix);
}

std::vector<std::string> DavServer::object_names(std::string_view prefix) const {
  const fs::path base = root() / fs::path(prefix).relative_path();
  return files_below(base);
}

fs::path versitygw_exe() {
  if (const char* set = std::getenv("KELV_VERSITYGW"); set && *set) return set;
  const char* path = std::getenv("PATH");
  for (std::string_view dirs = path ? path : ""; !dirs.empty();) {
    const size_t colon = std::min(dirs.find(':'), dirs.size());
    const fs::path candidate = fs::path(dirs.substr(0, colon)) / "versitygw";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    dirs.remove_prefix(std::min(colon + 1, dirs.size()));
  }
  const char* home = std::getenv("HOME");
  const fs::path go_bin = fs::path(home ? home : "") / "go/bin/versitygw";
  return ::access(go_bin.c_str(), X_OK) == 0 ? go_bin : fs::path();
}

S3Server::S3Server(std::string access, std::string secret)
    : access_(std::move(access)), secret_(std::move(secret)) {
  const fs::path exe = versitygw_exe();
  if (exe.empty()) throw std::runtime_error("versitygw is not installed (tools/setup installs it)");
  fs::create_directories(root() / bucket);
  const fs::path log = dir_ / "versitygw.log";
  auto start = [&](uint16_t port) {
    return ServerProcess({exe.string(), "--access", access_, "--secret", secret_, "--port",
                          fmt::format("127.0.0.1:{}", port), "posix", root().string()},
                         log);
  };
  port_ = start_at_free_port(process_, start, accepts_connections, "versitygw", log);
}

std::string S3Server::url(std::string_view prefix) const {
  return fmt::format("s3://{}{}", bucket, prefix);
}

std::string S3Server::endpoint() const {
  return fmt::format("http://127.0.0.1:{}", port_);
}

std::map<std::string, std::optional<std::string>> S3Server::env(std::string_view access,
                                                                std::string_view secret) const {
  return {{"AWS_ENDPOINT_URL", endpoint()},
          {"AWS_REGION", "us-east-1"},
          {"AWS_ACCESS_KEY_ID", std::string(access)},
          {"AWS_SECRET_ACCESS_KEY", std::string(secret)},
          {"AWS_SESSION_TOKEN", std::nullopt}};
}

std::vector<std::string> S3Server::object_names(std::string_view prefix) const {
  const fs::path base = root() / bucket / fs::path(prefix).relative_path();
  return files_below(base);
}

SilentListener::SilentListener() : fd_(bound_socket(port_)) {
  if (::listen(fd_.get(), 64) != 0) throw std::runtime_error("cannot listen on 127.0.0.1");
}

ClosedPort::ClosedPort() : fd_(bound_socket(port_)) {}

}  // namespace kelv::testing
