#pragma once
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "util/hash.h"

// The driver's Cargo project, carried verbatim (generated from
// driver_project/ at build time).
namespace kelv::driver {
extern const std::string_view manifest_text;
extern const std::string_view main_rs_text;
extern const std::string_view early_link_rs_text;
// The driver directory's digest after the manifest, "main.rs", main.rs,
// "early_link.rs" and early_link.rs: computed when the wrapper is built.
extern const util::KeyDigestState project_digest_state;

// The compiler releases ("1.95") whose internal interfaces the driver's
// sources are written against: the `rustc-releases` list in the manifest's
// `[package.metadata.kelv]` table.
inline std::vector<std::string> known_rustc_releases() {
  std::vector<std::string> releases;
  constexpr std::string_view key = "\nrustc-releases = [";
  const std::size_t start = manifest_text.find(key);
  if (start == std::string_view::npos) return releases;
  std::string_view list = manifest_text.substr(start + key.size());
  list = list.substr(0, list.find(']'));
  for (std::size_t open = list.find('"'); open != std::string_view::npos;) {
    const std::size_t close = list.find('"', open + 1);
    if (close == std::string_view::npos) break;
    releases.emplace_back(list.substr(open + 1, close - open - 1));
    open = list.find('"', close + 1);
  }
  return releases;
}

// The name under which the driver's sources know a toolchain (its major and
// minor version, "1.95"), given the `release:` field of the toolchain's `-vV`
// text ("1.95.0", "1.95.0-beta.3"); `kelv driver build` passes it to them as
// `--cfg kelv_rustc="1.95"`. Only stable and beta builds of a listed release
// qualify: a nightly or development build carries whatever interfaces its
// day had. Otherwise the error is a complete phrase saying so.
inline std::expected<std::string, std::string> driver_release(std::string_view release) {
  const std::vector<std::string> known = known_rustc_releases();
  std::string listed;
  for (const std::string& k : known) listed += (listed.empty() ? "" : ", ") + k;
  const auto refuse = [&] {
    return std::unexpected(
        "the compiler driver is written for the internal interfaces of rustc " + listed +
        " (stable or beta) only, not for rustc " + std::string(release) +
        "; no driver is built for this toolchain, and the wrapper compiles its units with rustc "
        "itself");
  };
  const std::size_t dash = release.find('-');
  const std::string_view version = release.substr(0, dash);
  const std::string_view channel =
      dash == std::string_view::npos ? std::string_view() : release.substr(dash + 1);
  if (!channel.empty() && !channel.starts_with("beta")) return refuse();
  // major.minor.patch, all digits
  std::size_t dots = 0;
  for (char c : version) {
    if (c == '.')
      ++dots;
    else if (c < '0' || c > '9')
      return refuse();
  }
  if (dots != 2 || version.empty() || version.front() == '.' || version.back() == '.' ||
      version.find("..") != std::string_view::npos)
    return refuse();
  const std::string name(version.substr(0, version.rfind('.')));
  for (const std::string& k : known)
    if (k == name) return name;
  return refuse();
}

}  // namespace kelv::driver
