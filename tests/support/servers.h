#pragma once
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/testing.h"
#include "util/fd.h"

// Real servers for the remote cache's tests, each on 127.0.0.1 at a port of
// its own, stopped and removed with everything they stored when dropped.
// Starting one that does not answer within 5 seconds throws.
namespace kelv::testing {

// The built kelv-remote program.
fs::path remote_exe();

// A child process killed (SIGKILL) and reaped when dropped.
class ServerProcess {
 public:
  ServerProcess() = default;
  ServerProcess(const std::vector<std::string>& argv, const fs::path& log);
  ~ServerProcess() { kill(); }
  ServerProcess(ServerProcess&& other) noexcept;
  ServerProcess& operator=(ServerProcess&& other) noexcept;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool running();  // false once it has ended (it is then reaped)
  void kill();

 private:
  pid_t pid_ = -1;
};

// redis-server in the foreground, saving nothing.
class RedisServer {
 public:
  struct Options {
    std::optional<std::string> password;  // requirepass (the "default" user's password)
    std::optional<uint64_t> maxmemory;    // with noeviction: writes beyond it fail with OOM
  };
  RedisServer() : RedisServer(Options{}) {}
  explicit RedisServer(Options options);

  uint16_t port() const { return port_; }
  std::string url() const;  // "redis://127.0.0.1:<port>"
  std::string url_with(std::string_view user, std::string_view password) const;
  void kill() { process_.kill(); }

  // What the server holds, read and written with hiredis directly.
  std::vector<std::string> object_names() const;  // sorted
  std::optional<std::string> get(std::string_view name) const;
  void put(std::string_view name, std::string_view bytes) const;

 private:
  Options options_;
  TempDir dir_;
  uint16_t port_ = 0;
  ServerProcess process_;
};

// nginx as a WebDAV server (PUT creating missing directories) whose files
// live below root(); "/forbidden/..." answers 403 and "/broken/..." 500.
class DavServer {
 public:
  struct Options {
    std::optional<std::string> user, password;  // basic authentication on "/", when given
  };
  DavServer() : DavServer(Options{}) {}
  explicit DavServer(Options options);

  uint16_t port() const { return port_; }
  std::string url(std::string_view prefix = "/cache") const;  // "http://127.0.0.1:<port>/cache"
  std::string url_with(std::string_view user, std::string_view password,
                       std::string_view prefix = "/cache") const;
  fs::path root() const { return dir_ / "root"; }
  void kill() { process_.kill(); }

  // The files below root()/prefix, as sorted relative names ("kelv1/e/ab").
  std::vector<std::string> object_names(std::string_view prefix = "/cache") const;

 private:
  void write_config() const;

  Options options_;
  TempDir dir_;
  uint16_t port_ = 0;
  ServerProcess process_;
};

// The Versity S3 gateway over a directory, with one user (its root) and
// the bucket "kelv", whose objects are the files below root()/kelv.
// Builds reach it through the variables every S3 client reads (env()).
class S3Server {
 public:
  static constexpr const char* bucket = "kelv";
  static constexpr const char* access_key = "kelvaccess";
  static constexpr const char* secret_key = "kelv-s3-secret";
  explicit S3Server(std::string access = access_key, std::string secret = secret_key);

  uint16_t port() const { return port_; }
  std::string url(std::string_view prefix = "/cache") const;  // "s3://kelv/cache"
  std::string endpoint() const;                               // "http://127.0.0.1:<port>"
  // AWS_ENDPOINT_URL, AWS_REGION and the credentials (these by default).
  std::map<std::string, std::optional<std::string>> env() const { return env(access_, secret_); }
  std::map<std::string, std::optional<std::string>> env(std::string_view access,
                                                        std::string_view secret) const;
  fs::path root() const { return dir_ / "root"; }
  void kill() { process_.kill(); }

  // The objects below the prefix, as sorted relative names ("kelv1/e/ab").
  std::vector<std::string> object_names(std::string_view prefix = "/cache") const;

 private:
  std::string access_, secret_;
  TempDir dir_;
  uint16_t port_ = 0;
  ServerProcess process_;
};

// The gateway's program: KELV_VERSITYGW, else versitygw on PATH or in
// ~/go/bin (where `go install` puts it); empty when there is none.
fs::path versitygw_exe();

// A socket that listens on 127.0.0.1 and never accepts: connections complete
// in the kernel's backlog and are never answered.
class SilentListener {
 public:
  SilentListener();
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;  // before fd_, which sets it
  util::Fd fd_;
};

// A port bound on 127.0.0.1 without listening: connections are refused.
class ClosedPort {
 public:
  ClosedPort();
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;  // before fd_, which sets it
  util::Fd fd_;
};

}  // namespace kelv::testing
