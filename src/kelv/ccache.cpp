#include "kelv/ccache.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <expected>

#include "util/error.h"
#include "util/fd.h"
#include "util/files.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/ui.h"

extern char** environ;

namespace kelv::tool {
namespace {

namespace fs = std::filesystem;

// A stats log holds a few lines per compilation: this is tens of thousands
// of them, and a file planted in its place is not read to its end.
constexpr size_t stats_log_cap = 4 << 20;

bool is_unreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// ccache percent-decodes the userinfo of a remote_storage address once
// before splitting it at ':', so everything but unreserved characters is
// escaped.
std::string encoded(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (is_unreserved(c))
      out += c;
    else
      out += fmt::format("%{:02X}", static_cast<unsigned char>(c));
  }
  return out;
}

// ccache reads "PASSWORD@" as a password alone and ":PASSWORD@" as no
// credentials at all; a password alone with a ':' in it goes as Redis's
// default user's.
std::string redis_userinfo(const remote::ServerUrl& s) {
  if (s.password.empty()) return "";
  if (!s.user.empty()) return encoded(s.user) + ":" + encoded(s.password) + "@";
  if (s.password.find(':') != std::string::npos) return "default:" + encoded(s.password) + "@";
  return encoded(s.password) + "@";
}

std::string http_userinfo(const remote::ServerUrl& s) {
  if (s.user.empty() && s.password.empty()) return "";
  return encoded(s.user) + ":" + encoded(s.password) + "@";
}

// The path kelv sends as written; ccache would decode escapes in it and
// split it at '|', so only plain prefixes are shared.
bool plain_prefix(std::string_view prefix) {
  return std::ranges::all_of(prefix, [](char c) { return c == '/' || is_unreserved(c); });
}

std::string_view counted_name(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  return line;
}

}  // namespace

bool compilers_chosen(std::span<const std::string> cargo_args, const char* const* env) {
  static constexpr std::string_view exact[] = {
      "CC", "CXX", "TARGET_CC", "HOST_CC", "TARGET_CXX", "HOST_CXX", "CARGO_BUILD_TARGET"};
  for (const char* const* e = env; e && *e; ++e) {
    const std::string_view entry = *e;
    const std::string_view name = entry.substr(0, entry.find('='));
    if (std::ranges::find(exact, name) != std::end(exact) || name.starts_with("CC_") ||
        name.starts_with("CXX_"))
      return true;
  }
  for (const std::string& a : cargo_args) {
    if (a == "--") break;
    if (a == "--target" || a.starts_with("--target=")) return true;
  }
  return false;
}

std::optional<std::string> remote_storage(const artifact_cache::Remote& remote) {
  const remote::ServerUrl& s = remote.server;
  const std::string host = s.host.find(':') != std::string::npos ? "[" + s.host + "]" : s.host;
  std::string url;
  // ccache has no S3 client: its C stays in the local ccache.
  if (s.engine == remote::Engine::s3) return std::nullopt;
  if (s.engine == remote::Engine::redis) {
    url = fmt::format("redis://{}{}:{}/{}", redis_userinfo(s), host, s.port, s.db);
  } else {
    // ccache 4.7 speaks HTTP without TLS only.
    if (s.scheme != "http" || !plain_prefix(s.prefix)) return std::nullopt;
    url = fmt::format("http://{}{}:{}{}/ccache", http_userinfo(s), host, s.port, s.prefix);
  }
  if (remote.read_only) url += "|read-only";
  return url;
}

std::string ccache_max_size(uint64_t kelv_bound) {
  // ccache reads a bare number as GB and 0 as no limit.
  return fmt::format("{}Ki", std::max<uint64_t>(kelv_bound / 10 / 1024, 1));
}

CcacheRun use_ccache(exec::Command& cmd, std::span<const std::string> cargo_args,
                     const fs::path& event_dir, const artifact_cache::Remote* remote,
                     uint64_t cache_bound) {
  CcacheRun run;
  if (compilers_chosen(cargo_args, environ)) return run;
  if (!util::which("ccache")) {
    run.missing = true;
    return run;
  }
  // The compilers the cc crate picks for a Linux host, behind ccache.
  cmd.set_env("CC", "ccache cc");
  cmd.set_env("CXX", "ccache c++");
  cmd.set_env("CCACHE_DIR", (util::kelv_home() / "ccache").native());
  run.stats_log = event_dir / "ccache-stats";
  cmd.set_env("CCACHE_STATSLOG", run.stats_log->native());
  cmd.set_env("CCACHE_MAXSIZE", ccache_max_size(cache_bound));
  const auto storage = remote ? remote_storage(*remote) : std::nullopt;
  if (!storage) return run;
  const fs::path config = event_dir / "ccache.conf";
  if (auto written = util::write_private(config, "remote_storage = " + *storage + "\n"); !written) {
    util::ui::say(util::ui::Level::warn,
                  fmt::format("kelv: ccache does not use the remote cache: cannot write {}: {}",
                              config.native(), util::os_error(written.error())));
    return run;
  }
  cmd.set_env("CCACHE_CONFIGPATH", config.native());
  run.config = config;
  return run;
}

CcacheStats read_ccache_stats(const fs::path& log) {
  CcacheStats stats;
  util::Fd fd = util::open_regular(log.c_str());
  if (!fd.valid()) return stats;
  std::string text;
  char buffer[65536];
  while (text.size() < stats_log_cap) {
    const ssize_t n =
        ::read(fd.get(), buffer, std::min(sizeof buffer, stats_log_cap - text.size()));
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  // Each compilation starts with "# <source>"; its counters follow.
  bool hit = false, miss = false;
  auto count = [&] {
    if (hit || miss) ++stats.cacheable;
    if (hit) ++stats.hits;
    hit = miss = false;
  };
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (line.starts_with('#')) {
      count();
      continue;
    }
    const std::string_view name = counted_name(line);
    if (name == "direct_cache_hit" || name == "preprocessed_cache_hit") hit = true;
    if (name == "cache_miss") miss = true;
  }
  count();
  return stats;
}

std::string ccache_clause(const CcacheStats& stats) {
  return fmt::format("C/C++: {} of {} compilations from the cache", stats.hits, stats.cacheable);
}

bool uses_c_compiler_crates(const std::vector<Unit>& units) {
  return std::ranges::any_of(units, [](const Unit& u) {
    return u.kind == "compile" && (u.crate == "cc" || u.crate == "cmake");
  });
}

}  // namespace kelv::tool
