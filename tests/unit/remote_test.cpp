#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "remote/engines/engine.h"
#include "remote/scrub.h"
#include "remote/url.h"
#include "support/hostile.h"
#include "support/servers.h"
#include "support/testing.h"

namespace kelv {
namespace {

using namespace std::literals;
using remote::Engine;
using testing::DavServer;
using testing::RedisServer;
using testing::TempDir;
namespace fs = std::filesystem;

constexpr std::string_view kUser = "alice";
constexpr std::string_view kPassword = "s3cr3t";

// ---- The server's address ----

struct GoodUrl {
  std::string_view text;
  Engine engine;
  std::string_view user, password, host;
  uint16_t port;
  int db;
  std::string_view prefix, display, address;  // address of "kelv1/x"
};

const GoodUrl kGoodUrls[] = {
    {"redis://127.0.0.1:6379/0", Engine::redis, "", "", "127.0.0.1", 6379, 0, "",
     "redis://127.0.0.1:6379/0", "kelv1/x"},
    {"redis://cache.local", Engine::redis, "", "", "cache.local", 6379, 0, "",
     "redis://cache.local:6379/0", "kelv1/x"},
    {"REDIS://h:7000/", Engine::redis, "", "", "h", 7000, 0, "", "redis://h:7000/0", "kelv1/x"},
    {"redis://:s3cr3t@h:7000/3", Engine::redis, "", kPassword, "h", 7000, 3, "", "redis://h:7000/3",
     "kelv1/x"},
    {"redis://alice:s3cr3t@h/12", Engine::redis, kUser, kPassword, "h", 6379, 12, "",
     "redis://h:6379/12", "kelv1/x"},
    {"redis://[::1]:6380/1", Engine::redis, "", "", "::1", 6380, 1, "", "redis://[::1]:6380/1",
     "kelv1/x"},
    {"http://host:8080/cache/", Engine::http, "", "", "host", 8080, 0, "/cache",
     "http://host:8080/cache", "http://host:8080/cache/kelv1/x"},
    {"http://host", Engine::http, "", "", "host", 80, 0, "", "http://host:80",
     "http://host:80/kelv1/x"},
    {"http://alice:s3cr3t@[::1]/", Engine::http, kUser, kPassword, "::1", 80, 0, "",
     "http://[::1]:80", "http://[::1]:80/kelv1/x"},
    {"https://al%69ce:s3cr3t%40@h/a/b//", Engine::http, kUser, "s3cr3t@", "h", 443, 0, "/a/b",
     "https://h:443/a/b", "https://h:443/a/b/kelv1/x"},
    {"https://alice@h:8443/c", Engine::http, kUser, "", "h", 8443, 0, "/c", "https://h:8443/c",
     "https://h:8443/c/kelv1/x"},
};

TEST(RemoteUrl, ParsesGoodAddresses) {
  for (const GoodUrl& c : kGoodUrls) {
    SCOPED_TRACE(c.text);
    auto url = remote::parse_server_url(c.text);
    ASSERT_TRUE(url) << url.error();
    EXPECT_EQ(url->engine, c.engine);
    EXPECT_EQ(url->user, c.user);
    EXPECT_EQ(url->password, c.password);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(url->db, c.db);
    EXPECT_EQ(url->prefix, c.prefix);
    EXPECT_EQ(url->display, c.display);
    EXPECT_EQ(url->address("kelv1/x"), c.address);
  }
}

struct BadUrl {
  std::string_view text, error;
};

const BadUrl kBadUrls[] = {
    {"", "KELV_REMOTE_CACHE is empty"},
    {"http://alice:s3%00cr3t@h/c", "KELV_REMOTE_CACHE has a NUL byte in its credentials"},
    {"redis://al%00ice:s3cr3t@h", "KELV_REMOTE_CACHE has a NUL byte in its credentials"},
    {"http://h/c/../d", "KELV_REMOTE_CACHE has a . or .. segment in its path"},
    {"http://h/./c", "KELV_REMOTE_CACHE has a . or .. segment in its path"},
    {"http://h/c/%2e%2E", "KELV_REMOTE_CACHE has a . or .. segment in its path"},
    {"http://h/c/%zz", "KELV_REMOTE_CACHE has a bad percent escape in its path"},
    {"ftp://alice:s3cr3t@h", "KELV_REMOTE_CACHE is not a redis://, http(s):// or s3:// address"},
    {"alice:s3cr3t@h:6379", "KELV_REMOTE_CACHE is not a redis://, http(s):// or s3:// address"},
    {"s3://", "KELV_REMOTE_CACHE names no S3 bucket"},
    {"s3://alice:s3cr3t@bucket/c", "KELV_REMOTE_CACHE names no S3 bucket"},
    {"s3://My_Bucket/c", "KELV_REMOTE_CACHE names no S3 bucket"},
    {"s3://bucket/c/../d", "KELV_REMOTE_CACHE has a . or .. segment in its path"},
    {"redis://", "KELV_REMOTE_CACHE has no host"},
    {"redis://:s3cr3t@", "KELV_REMOTE_CACHE has no host"},
    {"http://alice:s3cr3t@:80/", "KELV_REMOTE_CACHE has no host"},
    {"http://[]:80/", "KELV_REMOTE_CACHE has no host"},
    {"redis://h:0", "KELV_REMOTE_CACHE has a bad port"},
    {"redis://h:65536", "KELV_REMOTE_CACHE has a bad port"},
    {"redis://h:-1", "KELV_REMOTE_CACHE has a bad port"},
    {"http://alice:s3cr3t@h:/", "KELV_REMOTE_CACHE has a bad port"},
    {"http://alice:s3cr3t@h:8o/", "KELV_REMOTE_CACHE has a bad port"},
    {"http://alice:s3/cr3t@h/", "KELV_REMOTE_CACHE has a bad port"},
    {"redis://h/x", "KELV_REMOTE_CACHE: a redis address's path must be a database number"},
    {"redis://:s3cr3t@h/1/2",
     "KELV_REMOTE_CACHE: a redis address's path must be a database number"},
    {"redis://h/-1", "KELV_REMOTE_CACHE: a redis address's path must be a database number"},
    {"http://h/a?b=1", "KELV_REMOTE_CACHE has a query or a fragment"},
    {"http://alice:s3cr3t@h/#f", "KELV_REMOTE_CACHE has a query or a fragment"},
    {"http://alice:s3cr3t@h /x", "KELV_REMOTE_CACHE contains a space or a control character"},
    {"redis://:s3cr3t@h/\t1", "KELV_REMOTE_CACHE contains a space or a control character"},
    {"http://h/\x7f", "KELV_REMOTE_CACHE contains a space or a control character"},
    {"redis://alice@h", "KELV_REMOTE_CACHE names a redis user without a password"},
    {"http://alice:s3cr3t%zz@h", "KELV_REMOTE_CACHE has a bad percent escape in its credentials"},
    {"http://alice:s3cr3t%4@h", "KELV_REMOTE_CACHE has a bad percent escape in its credentials"},
    {"http://[::1/", "KELV_REMOTE_CACHE has a bad host"},
    {"http://[::1]x/", "KELV_REMOTE_CACHE has a bad host"},
    {"http://alice:s3cr3t@ho$t/", "KELV_REMOTE_CACHE has a bad host"},
};

TEST(RemoteUrl, RejectsBadAddressesWithoutCredentials) {
  for (const BadUrl& c : kBadUrls) {
    SCOPED_TRACE(c.text);
    auto url = remote::parse_server_url(c.text);
    ASSERT_FALSE(url) << url->display;
    EXPECT_TRUE(url.error().starts_with(c.error)) << url.error();
    EXPECT_EQ(url.error().find(kPassword), std::string::npos);
    EXPECT_EQ(url.error().find(kUser), std::string::npos);
  }
}

// An s3:// address completed from the AWS variables: path-style at a
// custom endpoint, virtual-hosted at AWS, path-style there for a bucket
// whose dots would not fit AWS's certificates; what cannot be used says
// which variable, never its value.
TEST(RemoteUrl, S3AddressesTakeTheAwsVariables) {
  struct Row {
    std::string_view text;
    std::map<std::string_view, std::string> vars;
    std::string_view address_or_error;
  };
  const std::map<std::string_view, std::string> keys = {
      {"AWS_ACCESS_KEY_ID", std::string(kUser)}, {"AWS_SECRET_ACCESS_KEY", std::string(kPassword)}};
  const auto with = [&](std::map<std::string_view, std::string> more) {
    more.insert(keys.begin(), keys.end());
    return more;
  };
  const Row rows[] = {
      {"s3://kelv-cache/ci/", with({{"AWS_ENDPOINT_URL", "http://127.0.0.1:9000/"}}),
       "http://127.0.0.1:9000/kelv-cache/ci/kelv1/x"},
      {"s3://kelv-cache", with({{"AWS_REGION", "eu-west-1"}}),
       "https://kelv-cache.s3.eu-west-1.amazonaws.com/kelv1/x"},
      {"s3://kelv.cache/p", with({{"AWS_DEFAULT_REGION", "us-west-2"}}),
       "https://s3.us-west-2.amazonaws.com/kelv.cache/p/kelv1/x"},
      {"s3://kelv-cache/p", with({}), "https://kelv-cache.s3.us-east-1.amazonaws.com/p/kelv1/x"},
      {"s3://kelv-cache",
       {{"AWS_ACCESS_KEY_ID", std::string(kUser)}},
       "s3://kelv-cache needs AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY"},
      {"s3://kelv-cache", with({{"AWS_REGION", "eu west"}}), "AWS_REGION is not a region name"},
      {"s3://kelv-cache",
       with({{"AWS_ENDPOINT_URL", fmt::format("http://{}:{}@h", kUser, kPassword)}}),
       "AWS_ENDPOINT_URL is not an http(s):// address without credentials"},
      {"s3://kelv-cache", with({{"AWS_ENDPOINT_URL", "ftp://h"}}),
       "AWS_ENDPOINT_URL is not an http(s):// address without credentials"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    static const std::map<std::string_view, std::string>* vars = nullptr;
    vars = &row.vars;
    auto url = remote::parse_server_url(row.text);
    ASSERT_TRUE(url) << url.error();
    auto filled = remote::add_s3_credentials(*url, [](std::string_view name) {
      const auto it = vars->find(name);
      return it == vars->end() ? std::nullopt : std::optional<std::string>(it->second);
    });
    const std::string got = filled ? url->address("kelv1/x") : filled.error();
    EXPECT_TRUE(got.starts_with(row.address_or_error)) << got;
    EXPECT_EQ(got.find(kPassword), std::string::npos) << got;
  }
}

// ---- What reaches messages ----

TEST(RemoteScrub, HidesSecretsOfAnyLengthAndAlwaysEnds) {
  struct Row {
    std::string_view user, password, text, scrubbed;
  };
  const Row rows[] = {
      // Secrets that occur inside their own replacement or in common words.
      {"ed", "long-password", "GET failed: refused ed", "GET fail***: refus*** ***"},
      {"a", "", "a banana", "*** b***n***n***"},
      {"", "te", "latte te", "lat*** ***"},
      {"r", "s3", "***rs3", "*********"},
      // The longer first, so that one holding the other is hidden whole.
      {"alice", "alice-secret", "alice-secret alice", "*** ***"},
      {"", "", "nothing to hide", "nothing to hide"},
  };
  for (const Row& row : rows) {
    remote::ServerUrl url;
    url.user = row.user;
    url.password = row.password;
    EXPECT_EQ(remote::scrubbed(row.text, url), row.scrubbed) << row.text;
  }
  remote::ServerUrl url;
  url.password = "pw";
  struct Shown {
    std::string text, shown;
  };
  const Shown shown[] = {
      {"ERR \x1b[2J\x07"
       "evil\r\nnext pw",
       "ERR ?[2J?evil??next ***"},
      {"bad \xff\xfe byte, C1 \xc2\x9b and \xc3\xa9 kept", "bad ?? byte, C1 ? and \xc3\xa9 kept"},
      {std::string(1000, 'x'), std::string(297, 'x') + "..."},
      {"\xc3\xa9" + std::string(400, 'e'), "\xc3\xa9" + std::string(295, 'e') + "..."},
      {std::string(299, 'x') + "\xc3\xa9", std::string(297, 'x') + "..."},
  };
  for (const Shown& row : shown) EXPECT_EQ(remote::printable(row.text, url), row.shown);
}

// ---- The engines, against real servers ----

std::string binary_object() {
  std::string bytes(1536 * 1024 + 7, '\0');
  for (size_t i = 0; i < bytes.size(); i += 3) bytes[i] = static_cast<char>(i * 131 % 251);
  return bytes;
}

remote::ServerUrl parsed(std::string_view text) {
  auto url = remote::parse_server_url(text);
  if (!url) throw std::runtime_error(url.error());
  return *url;
}

std::unique_ptr<remote::Client> connected(std::string_view text, remote::Limits limits = {}) {
  auto client = remote::connect(parsed(text), limits);
  if (!client) throw std::runtime_error(client.error().text);
  return std::move(*client);
}

// An object's bytes as the program fetches them: through a file.
std::expected<std::optional<std::string>, std::string> fetched(remote::Client& client,
                                                               std::string_view name) {
  const TempDir dir;
  const util::Fd fd(::open((dir / "o").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  auto got = client.get(name, fd.get(), remote::Limits{}.max_object_bytes);
  if (!got) return std::unexpected(got.error().text);
  if (!*got) return std::nullopt;
  return testing::read_file(dir / "o");
}

// One real server of the engine under test, with or without credentials.
class Server {
 public:
  Server(Engine engine, bool with_auth) {
    if (engine == Engine::redis)
      redis_.emplace(RedisServer::Options{
          .password = with_auth ? std::optional<std::string>(kPassword) : std::nullopt});
    else if (with_auth)
      dav_.emplace(
          DavServer::Options{.user = std::string(kUser), .password = std::string(kPassword)});
    else
      dav_.emplace();
  }
  std::string url() const { return redis_ ? redis_->url() : dav_->url(); }
  std::string url_with(std::string_view user, std::string_view password) const {
    return redis_ ? redis_->url_with(redis_user(user), password) : dav_->url_with(user, password);
  }
  std::vector<std::string> names() const {
    return redis_ ? redis_->object_names() : dav_->object_names();
  }
  void kill() { redis_ ? redis_->kill() : dav_->kill(); }

 private:
  // Redis's password of requirepass belongs to the user "default".
  static std::string_view redis_user(std::string_view user) {
    return user == kUser ? "default"sv : user;
  }
  std::optional<RedisServer> redis_;
  std::optional<DavServer> dav_;
};

// The address of a port where nothing of the engine's kind answers.
std::string url_at(Engine engine, uint16_t port) {
  return engine == Engine::redis ? fmt::format("redis://127.0.0.1:{}", port)
                                 : fmt::format("http://127.0.0.1:{}/cache", port);
}

std::string engine_name(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::redis ? "redis" : "http";
}

class RemoteEngine : public ::testing::TestWithParam<Engine> {};

TEST_P(RemoteEngine, StoresAndFetchesObjects) {
  const Server server(GetParam(), false);
  const auto client = connected(server.url());
  const std::string big = binary_object();
  EXPECT_EQ(fetched(*client, "kelv1/e/big").value(), std::nullopt);
  EXPECT_FALSE(client->has("kelv1/e/big").value());
  ASSERT_TRUE(client->put("kelv1/e/big", big).has_value());
  ASSERT_TRUE(client->put("kelv1/m/small", "one").has_value());
  ASSERT_TRUE(client->put("kelv1/m/small", "two").has_value());
  ASSERT_TRUE(client->put("kelv1/m/empty", "").has_value());
  EXPECT_TRUE(client->has("kelv1/e/big").value());
  EXPECT_EQ(fetched(*client, "kelv1/e/big").value(), big);
  EXPECT_EQ(fetched(*client, "kelv1/m/small").value(), "two");
  EXPECT_EQ(fetched(*client, "kelv1/m/empty").value(), "");
  EXPECT_EQ(server.names(),
            (std::vector<std::string>{"kelv1/e/big", "kelv1/m/empty", "kelv1/m/small"}));
  // A second client sees what the first stored.
  EXPECT_EQ(fetched(*connected(server.url()), "kelv1/e/big").value(), big);
}

TEST_P(RemoteEngine, AuthenticatesWithTheAddresssCredentials) {
  const Server server(GetParam(), true);
  const auto client = connected(server.url_with(kUser, kPassword));
  ASSERT_TRUE(client->put("kelv1/a", "bytes").has_value());
  EXPECT_EQ(fetched(*client, "kelv1/a").value(), "bytes");
  for (const std::string& url : {server.url(), server.url_with(kUser, "wrong-s3cr3t")}) {
    SCOPED_TRACE(url);
    auto other = remote::connect(parsed(url), {});
    const auto failure = other ? fetched(**other, "kelv1/a").error() : other.error().text;
    EXPECT_TRUE(failure.find(GetParam() == Engine::redis ? "redis 127.0.0.1:" : "answered 401") !=
                std::string::npos)
        << failure;
    EXPECT_EQ(failure.find(kPassword), std::string::npos) << failure;
  }
}

TEST_P(RemoteEngine, GivesUpOnServersThatDoNotAnswer) {
  auto server = std::make_unique<Server>(GetParam(), false);
  const auto before = connected(server->url());
  ASSERT_TRUE(before->put("kelv1/a", "x").has_value());
  const std::string url = server->url();
  server->kill();
  const testing::SilentListener silent;
  for (const std::string& address : {url, url_at(GetParam(), silent.port())}) {
    SCOPED_TRACE(address);
    const auto start = std::chrono::steady_clock::now();
    auto client = remote::connect(parsed(address), {});
    const auto failure = client ? fetched(**client, "kelv1/a").error() : client.error().text;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(failure.empty());
  }
  const auto failure = before->has("kelv1/a");
  ASSERT_FALSE(failure);
  EXPECT_FALSE(failure.error().text.empty());
}

INSTANTIATE_TEST_SUITE_P(Engines, RemoteEngine, ::testing::Values(Engine::redis, Engine::http),
                         engine_name);

TEST(RemoteHttp, ErrorStatusesAreFailures) {
  const DavServer server;
  for (const auto& [prefix, status] :
       {std::pair{"/forbidden"sv, "403"sv}, {"/broken"sv, "500"sv}}) {
    const auto client = connected(server.url(prefix));
    const std::string display = fmt::format("http://127.0.0.1:{}{}: ", server.port(), prefix);
    EXPECT_EQ(fetched(*client, "kelv1/a").error(),
              display + "GET kelv1/a answered " + std::string(status));
    EXPECT_EQ(client->has("kelv1/a").error().text,
              display + "HEAD kelv1/a answered " + std::string(status));
    EXPECT_EQ(client->put("kelv1/a", "x").error().text,
              display + "PUT kelv1/a answered " + std::string(status));
  }
}

TEST(RemoteRedis, ErrorRepliesAreFailures) {
  const RedisServer locked({.password = std::string(kPassword)});
  const std::string name = fmt::format("redis 127.0.0.1:{}: ", locked.port());
  auto wrong = remote::connect(parsed(locked.url_with("default", "wrong")), {});
  ASSERT_FALSE(wrong);
  EXPECT_TRUE(wrong.error().text.starts_with(name + "WRONGPASS")) << wrong.error().text;
  EXPECT_TRUE(fetched(*connected(locked.url()), "k").error().starts_with(name + "NOAUTH"));
  EXPECT_TRUE(connected(locked.url_with("", kPassword))->put("k", "v").has_value());

  const RedisServer full({.maxmemory = 1});
  const auto client = connected(full.url() + "/2");
  auto put = client->put("kelv1/a", "x");
  ASSERT_FALSE(put);
  EXPECT_TRUE(put.error().text.starts_with(fmt::format("redis 127.0.0.1:{}: OOM", full.port())))
      << put.error().text;
  EXPECT_EQ(fetched(*client, "kelv1/a").value(), std::nullopt);
}

// ---- The kelv-remote program ----

class RemoteProgram : public ::testing::TestWithParam<Engine> {
 protected:
  testing::Outcome remote(std::vector<std::string> args, std::optional<std::string> url,
                          std::optional<std::string> timeout = std::nullopt) {
    args.insert(args.begin(), testing::remote_exe());
    return testing::run(
        {.argv = args, .env = {{"KELV_REMOTE_CACHE", url}, {"KELV_REMOTE_TIMEOUT_MS", timeout}}});
  }
  std::string url_at_dead_port() const { return url_at(GetParam(), closed_.port()); }
  fs::path file(std::string_view name, const std::string& bytes) {
    testing::write_file(dir_ / name, bytes);
    return dir_ / name;
  }
  TempDir dir_;
  testing::ClosedPort closed_;
};

TEST_P(RemoteProgram, PutsAndGets) {
  const Server server(GetParam(), false);
  const std::string url = server.url();
  const std::string big = binary_object();
  auto put = remote({"put", "kelv1/a", file("a", big), "?kelv1/b", file("b", "b"), "?kelv1/a",
                     file("a2", "other")},
                    url);
  EXPECT_EQ(put.exit_code, 0) << put.err;
  EXPECT_EQ(put.out, "stored kelv1/a\nstored kelv1/b\npresent kelv1/a\n");
  EXPECT_EQ(put.err, "");

  auto got = remote({"get", "kelv1/a", dir_ / "got"}, url, "3000");
  EXPECT_EQ(got.exit_code, 0) << got.err;
  EXPECT_EQ(testing::read_file(dir_ / "got"), big);
  EXPECT_EQ(testing::stat_of(dir_ / "got").st_mode & 0777, 0600u);

  auto absent = remote({"get", "kelv1/none", dir_ / "none"}, url);
  EXPECT_EQ(absent.exit_code, 3);
  EXPECT_EQ(absent.out + absent.err, "");
  EXPECT_FALSE(fs::exists(dir_ / "none"));

  // The first failure ends the run: nothing after it is attempted.
  auto broken = remote(
      {"put", "kelv1/c", file("c", "c"), "kelv1/d", dir_ / "missing", "kelv1/e", file("e", "e")},
      url);
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_EQ(broken.out, "stored kelv1/c\n");
  EXPECT_TRUE(broken.err.starts_with("cannot read " + (dir_ / "missing").string())) << broken.err;
  EXPECT_EQ(server.names(), (std::vector<std::string>{"kelv1/a", "kelv1/b", "kelv1/c"}));

  // Served: a line per command, answered by a line each, over one connection.
  const std::string got_b = (dir_ / "b-got").string();
  auto served = testing::run(
      {.argv = {testing::remote_exe(), "serve"},
       .env = {{"KELV_REMOTE_CACHE", url}},
       .input = fmt::format("get\tkelv1/b\t{0}\nget\tkelv1/none\t{0}x\nput\t?kelv1/b\t{1}\n"
                            "get\t../x\t{0}\nget\tkelv1/a\t{0}y\t1K\n",
                            got_b, file("b2", "other").string())});
  EXPECT_EQ(served.exit_code, 0) << served.err;
  EXPECT_EQ(testing::read_file(got_b), "b");
  // The last: the object is larger than the 1K asked for.
  EXPECT_TRUE(served.out.starts_with(
      "0\t\n3\t\n0\tpresent kelv1/b\n2\tkelv-remote: bad object name \"../x\"\n5\t"))
      << served.out;
  EXPECT_EQ(std::ranges::count(served.out, '\n'), 5) << served.out;
}

TEST_P(RemoteProgram, FailsWithOneLineAndNoCredentials) {
  const Server server(GetParam(), true);
  const std::string wrong = server.url_with(kUser, "wrong-s3cr3t");
  // A refused login is the server answering (4), a dead port its failure (1).
  const std::pair<testing::Outcome, int> failures[] = {
      {remote({"get", "kelv1/a", dir_ / "got"}, wrong), 4},
      {remote({"put", "kelv1/a", file("a", "a")}, wrong), 4},
      {remote({"get", "kelv1/a", dir_ / "got"}, url_at_dead_port()), 1},
  };
  for (const auto& [o, status] : failures) {
    EXPECT_EQ(o.exit_code, status) << o.err;
    EXPECT_EQ(std::ranges::count(o.err, '\n'), 1) << o.err;
    EXPECT_EQ(o.err.find(kPassword), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
  EXPECT_FALSE(fs::exists(dir_ / "got"));
  auto good = remote({"put", "?kelv1/a", file("a", "a")}, server.url_with(kUser, kPassword));
  EXPECT_EQ(good.exit_code, 0) << good.err;
  EXPECT_EQ(good.out, "stored kelv1/a\n");
}

TEST_P(RemoteProgram, RejectsBadUsage) {
  const std::string url = url_at_dead_port();
  const std::string f = file("f", "f");
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> url, timeout;
  };
  const std::vector<Case> cases = {
      {{}, url},
      {{"fetch", "kelv1/a", f}, url},
      {{"get", "kelv1/a"}, url},
      {{"get", "kelv1/a", f, "x"}, url},
      {{"put"}, url},
      {{"put", "kelv1/a"}, url},
      {{"get", "../a", f}, url},
      {{"get", "/kelv1/a", f}, url},
      {{"get", "kelv1//a", f}, url},
      {{"get", "kelv1/a b", f}, url},
      {{"put", "kelv1/a", f, "?kelv1/../b", f}, url},
      {{"get", "kelv1/a", f}, std::nullopt},
      {{"get", "kelv1/a", f}, "ftp://alice:s3cr3t@h"},
      {{"get", "kelv1/a", f}, url, "0"},
      {{"get", "kelv1/a", f}, url, "soon"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    auto o = remote(c.args, c.url, c.timeout);
    EXPECT_EQ(o.exit_code, 2) << o.err;
    EXPECT_EQ(std::ranges::count(o.err, '\n'), 1) << o.err;
    EXPECT_EQ(o.err.find(kPassword), std::string::npos) << o.err;
  }
  EXPECT_EQ(testing::read_file(f), "f");
}

INSTANTIATE_TEST_SUITE_P(Engines, RemoteProgram, ::testing::Values(Engine::redis, Engine::http),
                         engine_name);

// ---- The program against broken and hostile servers ----

using testing::HostileServer;
using testing::Peer;
using testing::Protocol;
using testing::Request;

struct HostileRow {
  const char* label;
  Protocol protocol;
  std::vector<std::string> args;  // after the program; "FILE" is the transfer file
  testing::Answer answer;
  std::map<std::string, std::optional<std::string>> env;
  int exit_code;
  std::string_view says;  // in the one line of stderr
};

TEST(RemoteHostile, EveryReadAndEveryWaitIsBounded) {
  using namespace std::chrono_literals;
  const std::string mib2(2 << 20, 'm');
  auto answer_http = [](std::string reply, std::string flood = "") {
    return [reply, flood](const Request&, Peer& peer) {
      if (peer.send(reply) && !flood.empty()) peer.flood(flood);
    };
  };
  auto answer_redis = answer_http;
  const std::string chunk(64 * 1024, 'z');
  const std::vector<HostileRow> rows = {
      {"announced 1 TiB",
       Protocol::http,
       {"get", "kelv1/e/x", "FILE"},
       answer_http("HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n", chunk),
       {},
       5,
       "larger than 4294967296 bytes"},
      {"endless chunked body",
       Protocol::http,
       {"get", "kelv1/e/x", "FILE"},
       answer_http("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                   fmt::format("{:x}\r\n{}\r\n", chunk.size(), chunk)),
       {{"KELV_REMOTE_MAX_OBJECT_SIZE", "1M"}},
       5,
       "larger than 1048576 bytes"},
      {"endless error page",
       Protocol::http,
       {"get", "kelv1/e/x", "FILE"},
       answer_http("HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n\r\n",
                   fmt::format("{:x}\r\n{}\r\n", chunk.size(), chunk)),
       {},
       1,
       "larger than 65536 bytes"},
      {"bulk of 2^62",
       Protocol::redis,
       {"get", "kelv1/e/x", "FILE"},
       answer_redis("$4611686018427387904\r\n", chunk),
       {},
       5,
       "larger than 4294967296 bytes"},
      {"bulk past the limit",
       Protocol::redis,
       {"get", "kelv1/e/x", "FILE"},
       answer_redis(testing::redis_bulk(mib2)),
       {{"KELV_REMOTE_MAX_OBJECT_SIZE", "1M"}},
       5,
       "larger than 1048576 bytes"},
      {"endless status line",
       Protocol::redis,
       {"get", "kelv1/e/x", "FILE"},
       answer_redis("+", chunk),
       {},
       1,
       "too long"},
      {"http trickle",
       Protocol::http,
       {"get", "kelv1/e/x", "FILE"},
       [](const Request&, Peer& peer) {
         if (peer.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"))
           peer.trickle(std::string(100, 't'), 300ms);
       },
       {{"KELV_REMOTE_TIMEOUT_MS", "1000"}},
       1,
       "slower than 1024 KiB/s"},
      {"redis trickle",
       Protocol::redis,
       {"get", "kelv1/e/x", "FILE"},
       [](const Request&, Peer& peer) { peer.trickle("$100\r\n" + std::string(100, 't'), 300ms); },
       {{"KELV_REMOTE_TIMEOUT_MS", "1000"}},
       1,
       "slower than 1024 KiB/s"},
      {"SET not answered +OK",
       Protocol::redis,
       {"put", "kelv1/e/x", "FILE"},
       answer_redis(":1\r\n"),
       {},
       1,
       "unexpected answer to SET"},
      {"PUT too large",
       Protocol::http,
       {"put", "kelv1/e/x", "FILE"},
       answer_http(testing::http_reply(413, "")),
       {},
       5,
       "PUT kelv1/e/x answered 413"},
      {"PUT forbidden",
       Protocol::http,
       {"put", "kelv1/e/x", "FILE"},
       answer_http(testing::http_reply(403, "")),
       {},
       4,
       "PUT kelv1/e/x answered 403"},
      {"error reply with escapes",
       Protocol::redis,
       {"get", "kelv1/e/x", "FILE"},
       answer_redis("-ERR \x1b]0;owned\x07" + std::string(500, 'e') + "\r\n"),
       {},
       4,
       "ERR ?]0;owned?eee"},
  };
  for (const HostileRow& row : rows) {
    SCOPED_TRACE(row.label);
    const HostileServer server(row.protocol, row.answer);
    const TempDir dir;
    const fs::path file = dir / "transfer";
    testing::write_file(file, "object");
    std::vector<std::string> argv = {testing::remote_exe()};
    for (const std::string& a : row.args) argv.push_back(a == "FILE" ? file.string() : a);
    std::map<std::string, std::optional<std::string>> env = row.env;
    env.emplace("KELV_REMOTE_CACHE", server.url());
    const auto start = std::chrono::steady_clock::now();
    const testing::Outcome o = testing::run({.argv = argv, .env = env});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(o.exit_code, row.exit_code) << o.err;
    EXPECT_NE(o.err.find(row.says), std::string::npos) << o.err;
    EXPECT_EQ(std::ranges::count(o.err, '\n'), 1) << o.err;
    EXPECT_LE(o.err.size(), remote::printable_limit + 1);
    if (row.args[0] == "get") {
      EXPECT_FALSE(fs::exists(file)) << "a failed fetch leaves its file";
    }
  }
}

TEST(RemoteHostile, ProxiesOnlyWhenConfiguredForKelv) {
  const HostileServer target(Protocol::http, HostileServer::serving({}, Protocol::http));
  const HostileServer proxy(Protocol::http, HostileServer::serving({}, Protocol::http));
  const std::string proxy_url = fmt::format("http://127.0.0.1:{}", proxy.port());
  const TempDir dir;
  auto get = [&](std::map<std::string, std::optional<std::string>> env) {
    env.emplace("KELV_REMOTE_CACHE", target.url("alice:s3cr3t"));
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"})
      env.emplace(name, proxy_url);
    return testing::run(
        {.argv = {testing::remote_exe(), "get", "kelv1/m/x", (dir / "got").string()}, .env = env});
  };
  EXPECT_EQ(get({{"KELV_REMOTE_PROXY", std::nullopt}}).exit_code, 3);
  EXPECT_TRUE(proxy.requests().empty()) << "the credentials went through the proxy";
  EXPECT_EQ(target.requests().size(), 1u);
  EXPECT_EQ(get({{"KELV_REMOTE_PROXY", proxy_url}}).exit_code, 3);
  EXPECT_EQ(proxy.requests().size(), 1u);
}

}  // namespace
}  // namespace kelv
