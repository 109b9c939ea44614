#pragma once
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

// The address of the remote cache server, as KELV_REMOTE_CACHE gives it:
// "redis://[[user]:password@]host[:port][/db]" or
// "http(s)://[user[:password]@]host[:port][/prefix]".
namespace kelv::remote {

enum class Engine { redis, http };

struct ServerUrl {
  Engine engine = Engine::redis;
  std::string scheme;  // "redis", "http" or "https"
  // Percent-decoded userinfo, empty when absent; "redis://:pw@host" gives a
  // password alone.
  std::string user, password;
  std::string host;    // without the brackets of an IPv6 address ("::1")
  uint16_t port = 0;   // 6379 for redis, 80 for http and 443 for https when absent
  int db = 0;          // redis: the database number of the path "/N"
  std::string prefix;  // http: the path without trailing slashes, possibly empty
  // Without credentials, for messages and reports: "redis://127.0.0.1:6379/0",
  // "http://host:8080/cache".
  std::string display;

  // http: "scheme://host:port" + prefix + "/" + object, without userinfo;
  // redis: the key, which is the object's name itself.
  std::string address(std::string_view object) const;
};

// Parses the value of KELV_REMOTE_CACHE. The error texts name the variable
// and never repeat its credentials.
std::expected<ServerUrl, std::string> parse_server_url(std::string_view text);

}  // namespace kelv::remote
