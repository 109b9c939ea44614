#include "remote/scrub.h"

#include <algorithm>
#include <array>

#include "util/utf8.h"

namespace kelv::remote {

std::string scrubbed(std::string_view text, const ServerUrl& url) {
  // The longer secret first, so that one holding the other is hidden whole.
  std::array<std::string_view, 3> secrets = {url.password, url.user, url.token};
  std::ranges::sort(secrets,
                    [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto secret = std::ranges::find_if(
        secrets, [&](std::string_view s) { return !s.empty() && text.substr(at).starts_with(s); });
    if (secret == secrets.end()) {
      out += text[at++];
    } else {
      out += "***";
      at += secret->size();
    }
  }
  return out;
}

std::string printable(std::string_view text, const ServerUrl& url, size_t limit) {
  constexpr std::string_view cut_mark = "...";
  const std::string plain = util::lossy(scrubbed(text, url));
  std::string out;
  out.reserve(std::min(plain.size(), limit));
  size_t fits_with_mark = 0;  // the length up to which a cut still leaves room for the mark
  for (size_t at = 0; at < plain.size();) {
    const auto lead = static_cast<unsigned char>(plain[at]);
    const size_t width = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    std::string_view ch = std::string_view(plain).substr(at, width);
    at += width;
    // U+FFFD (what lossy made of invalid bytes) and the C1 controls
    // (U+0080..U+009F) read as '?' like the ASCII controls.
    const bool c1 = lead == 0xc2 && ch.size() == 2 && static_cast<unsigned char>(ch[1]) < 0xa0;
    if (lead < 0x20 || lead == 0x7f || c1 || ch == "\xef\xbf\xbd") ch = "?";
    if (out.size() + ch.size() > limit) {
      out.resize(fits_with_mark);
      return out.append(cut_mark);
    }
    out += ch;
    if (out.size() + cut_mark.size() <= limit) fits_with_mark = out.size();
  }
  return out;
}

}  // namespace kelv::remote
