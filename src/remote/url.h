#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

// The address of the remote cache server, as KELV_REMOTE_CACHE gives it:
// "redis://[[user]:password@]host[:port][/db]",
// "http(s)://[user[:password]@]host[:port][/prefix]" or "s3://bucket[/prefix]"
// (an S3-compatible object store, whose credentials, region and endpoint
// come from the variables every S3 client reads: add_s3_credentials).
namespace kelv::remote {

enum class Engine { redis, http, s3 };

struct ServerUrl {
  Engine engine = Engine::redis;
  std::string scheme;  // "redis", "http", "https" or "s3"
  // Percent-decoded userinfo, empty when absent; "redis://:pw@host" gives a
  // password alone.
  // s3: the access key's id and secret, and the session token.
  std::string user, password, token;
  std::string host;    // without the brackets of an IPv6 address ("::1")
  uint16_t port = 0;   // 6379 for redis, 80 for http and 443 for https when absent
  int db = 0;          // redis: the database number of the path "/N"
  std::string prefix;  // http, s3: the path without trailing slashes, possibly empty
  // s3: the bucket; the region ("us-east-1" when none is set); the endpoint
  // ("http://host:port[/path]", addressed path-style), empty for AWS itself.
  std::string bucket, region, endpoint;
  // Without credentials, for messages and reports: "redis://127.0.0.1:6379/0",
  // "http://host:8080/cache".
  std::string display;

  // http: "scheme://host:port" + prefix + "/" + object, without userinfo;
  // s3: the object's URL at the endpoint (or at AWS); redis: the key, which is
  // the object's name itself.
  std::string address(std::string_view object) const;
};

// Parses the value of KELV_REMOTE_CACHE. The error texts name the variable
// and never repeat its credentials.
std::expected<ServerUrl, std::string> parse_server_url(std::string_view text);

// Fills an s3:// address's credentials, region and endpoint from
// AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, AWS_REGION
// (else AWS_DEFAULT_REGION) and AWS_ENDPOINT_URL; an error text naming the
// variable when one is unusable.
// `lookup` gives a variable's value (the environment's by default).
using VariableLookup = std::optional<std::string> (*)(std::string_view name);
std::optional<std::string> environment_variable(std::string_view name);
std::expected<void, std::string> add_s3_credentials(ServerUrl& url,
                                                    VariableLookup lookup = environment_variable);

// The variables add_s3_credentials reads that hold credentials.
inline constexpr const char* s3_credential_variables[] = {
    "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN"};

}  // namespace kelv::remote
