#include "remote/url.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <optional>

namespace kelv::remote {

namespace {

constexpr std::string_view kVar = "KELV_REMOTE_CACHE";

std::unexpected<std::string> fail(std::string_view what) {
  return std::unexpected(fmt::format("{} {}", kVar, what));
}

bool has_space_or_control(std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return true;
  }
  return false;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hex_value(text[i + 1]);
    const int lo = hex_value(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

// Digits only, parsed into [min, max].
std::optional<long> parse_number(std::string_view digits, long min, long max) {
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  if (digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  long value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

bool is_host_name(std::string_view host) {
  for (const char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool is_ipv6_text(std::string_view host) {
  if (host.find(':') == std::string_view::npos) return false;
  for (const char c : host) {
    if (hex_value(c) < 0 && c != ':' && c != '.') return false;
  }
  return true;
}

// "user:password" into the url's members.
std::expected<void, std::string> parse_userinfo(std::string_view userinfo, ServerUrl& url) {
  const size_t colon = userinfo.find(':');
  std::optional<std::string> user = percent_decode(userinfo.substr(0, colon));
  std::optional<std::string> password =
      colon == std::string_view::npos ? std::string() : percent_decode(userinfo.substr(colon + 1));
  if (!user || !password) return fail("has a bad percent escape in its credentials");
  // A NUL would cut the credentials short where the libraries take C strings.
  if (user->find('\0') != std::string::npos || password->find('\0') != std::string::npos)
    return fail("has a NUL byte in its credentials");
  url.user = std::move(*user);
  url.password = std::move(*password);
  if (url.engine == Engine::redis && url.password.empty() && !url.user.empty())
    return fail("names a redis user without a password");
  return {};
}

// "host", "host:port", "[v6]" or "[v6]:port" into the url's members.
std::expected<void, std::string> parse_host_port(std::string_view hostport, ServerUrl& url) {
  std::string_view host = hostport;
  std::optional<std::string_view> port;
  if (hostport.starts_with('[')) {
    const size_t close = hostport.find(']');
    if (close == std::string_view::npos) return fail("has a bad host");
    host = hostport.substr(1, close - 1);
    const std::string_view after = hostport.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) return fail("has a bad host");
    if (!after.empty()) port = after.substr(1);
    if (!host.empty() && !is_ipv6_text(host)) return fail("has a bad host");
  } else {
    const size_t colon = hostport.find(':');
    if (colon != std::string_view::npos) {
      host = hostport.substr(0, colon);
      port = hostport.substr(colon + 1);
    }
    if (!is_host_name(host)) return fail("has a bad host");
  }
  if (host.empty()) return fail("has no host");
  url.host = std::string(host);
  if (port) {
    const std::optional<long> number = parse_number(*port, 1, 65535);
    if (!number) return fail("has a bad port");
    url.port = static_cast<uint16_t>(*number);
  }
  return {};
}

std::expected<void, std::string> parse_path(std::string_view path, ServerUrl& url) {
  if (url.engine != Engine::redis) {
    while (path.ends_with('/')) path.remove_suffix(1);
    // A server resolves "." and ".." (escaped or not): objects would land
    // elsewhere than the prefix says.
    for (size_t at = 0; at < path.size();) {
      const size_t end = std::min(path.find('/', at + 1), path.size());
      const std::optional<std::string> segment = percent_decode(path.substr(at + 1, end - at - 1));
      if (!segment) return fail("has a bad percent escape in its path");
      if (*segment == "." || *segment == "..") return fail("has a . or .. segment in its path");
      at = end;
    }
    url.prefix = std::string(path);
    return {};
  }
  if (path.empty() || path == "/") return {};
  const std::optional<long> db = parse_number(path.substr(1), 0, 999'999'999);
  if (!db)
    return std::unexpected(
        fmt::format("{}: a redis address's path must be a database number", kVar));
  url.db = static_cast<int>(*db);
  return {};
}

std::string bracketed(const std::string& host) {
  return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

std::string origin(const ServerUrl& url) {
  return fmt::format("{}://{}:{}", url.scheme, bracketed(url.host), url.port);
}

std::expected<void, std::string> parse_scheme(std::string_view& rest, ServerUrl& url) {
  const size_t sep = rest.find("://");
  std::string scheme(rest.substr(0, sep == std::string_view::npos ? 0 : sep));
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (scheme == "redis") {
    url.engine = Engine::redis;
    url.port = 6379;
  } else if (scheme == "http" || scheme == "https") {
    url.engine = Engine::http;
    url.port = scheme == "http" ? 80 : 443;
  } else if (scheme == "s3") {
    url.engine = Engine::s3;
  } else {
    return fail("is not a redis://, http(s):// or s3:// address");
  }
  url.scheme = std::move(scheme);
  rest.remove_prefix(sep + 3);
  return {};
}

// A bucket name as S3 allows it: 3 to 63 lowercase letters, digits, '.' and
// '-', starting and ending with a letter or digit.
bool is_bucket_name(std::string_view name) {
  if (name.size() < 3 || name.size() > 63) return false;
  const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  if (!alnum(name.front()) || !alnum(name.back())) return false;
  return std::ranges::all_of(name, [&](char c) { return alnum(c) || c == '.' || c == '-'; });
}

std::expected<ServerUrl, std::string> parse_s3(std::string_view rest, ServerUrl url) {
  const size_t slash = rest.find('/');
  const std::string_view bucket = rest.substr(0, slash);
  if (!is_bucket_name(bucket))
    return fail(
        "names no S3 bucket (s3://bucket/prefix, the bucket in lowercase letters, digits, "
        "'.' and '-')");
  url.bucket = std::string(bucket);
  if (auto p = parse_path(slash == std::string_view::npos ? "" : rest.substr(slash), url); !p)
    return std::unexpected(p.error());
  url.display = fmt::format("s3://{}{}", url.bucket, url.prefix);
  return url;
}

}  // namespace

std::optional<std::string> environment_variable(std::string_view name) {
  const char* v = std::getenv(std::string(name).c_str());
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::string ServerUrl::address(std::string_view object) const {
  if (engine == Engine::redis) return std::string(object);
  if (engine == Engine::http) return fmt::format("{}{}/{}", origin(*this), prefix, object);
  if (!endpoint.empty()) return fmt::format("{}/{}{}/{}", endpoint, bucket, prefix, object);
  // A bucket name with dots does not fit AWS's certificates as a host name.
  if (bucket.find('.') != std::string::npos)
    return fmt::format("https://s3.{}.amazonaws.com/{}{}/{}", region, bucket, prefix, object);
  return fmt::format("https://{}.s3.{}.amazonaws.com{}/{}", bucket, region, prefix, object);
}

std::expected<void, std::string> add_s3_credentials(ServerUrl& url, VariableLookup lookup) {
  const auto env_text = [&](const char* name) { return lookup(name); };
  url.user = env_text("AWS_ACCESS_KEY_ID").value_or("");
  url.password = env_text("AWS_SECRET_ACCESS_KEY").value_or("");
  url.token = env_text("AWS_SESSION_TOKEN").value_or("");
  if (url.user.empty() || url.password.empty())
    return std::unexpected(
        fmt::format("{} needs AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY", url.display));
  url.region =
      env_text("AWS_REGION").value_or(env_text("AWS_DEFAULT_REGION").value_or("us-east-1"));
  const bool plain_region = std::ranges::all_of(url.region, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
  if (!plain_region) return std::unexpected("AWS_REGION is not a region name (\"eu-west-1\")");
  if (auto endpoint = env_text("AWS_ENDPOINT_URL")) {
    // Parsed as an HTTP address of its own, which checks it the same way.
    auto parsed = parse_server_url(*endpoint);
    if (!parsed || parsed->engine != Engine::http || !parsed->user.empty() ||
        !parsed->password.empty())
      return std::unexpected("AWS_ENDPOINT_URL is not an http(s):// address without credentials");
    url.endpoint = origin(*parsed) + parsed->prefix;
  }
  return {};
}

std::expected<ServerUrl, std::string> parse_server_url(std::string_view text) {
  if (text.empty()) return fail("is empty");
  if (has_space_or_control(text)) return fail("contains a space or a control character");
  ServerUrl url;
  std::string_view rest = text;
  if (auto scheme = parse_scheme(rest, url); !scheme) return std::unexpected(scheme.error());
  if (rest.find_first_of("?#") != std::string_view::npos)
    return fail("has a query or a fragment, which a cache address cannot have");
  if (url.engine == Engine::s3) return parse_s3(rest, std::move(url));
  const size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  const std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash);
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    if (auto userinfo = parse_userinfo(authority.substr(0, at), url); !userinfo)
      return std::unexpected(userinfo.error());
  }
  const std::string_view hostport =
      at == std::string_view::npos ? authority : authority.substr(at + 1);
  if (auto hp = parse_host_port(hostport, url); !hp) return std::unexpected(hp.error());
  if (auto p = parse_path(path, url); !p) return std::unexpected(p.error());
  url.display = url.engine == Engine::redis ? fmt::format("{}/{}", origin(url), url.db)
                                            : origin(url) + url.prefix;
  return url;
}

}  // namespace kelv::remote
