// rewrite_paths on arbitrary text and pairs. The input is split at NUL
// bytes: the text, then "from" and "to" of each pair.
//
// Checks: no crash; an empty "from" (or one equal to its "to") leaves the
// lossy text unchanged; with a single pair, rewriting "from" into a marker
// absent from the text and the marker back gives the lossy text again.
//
// Each pair may multiply the text's length by the length of its "to" (a
// one-byte "from" into a long "to"), pair after pair: inputs whose result
// could exceed 1 MiB are skipped, as they only measure memory.
#include <utility>

#include "artifact_cache/lookup.h"
#include "support.h"
#include "util/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kelv::artifact_cache::rewrite_paths;
  using kelv::fuzz::show;
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const std::vector<std::string> parts = kelv::fuzz::split_at_nul(kelv::fuzz::bytes_of(data, size));
  const std::string& text = parts[0];
  Pairs pairs;
  for (size_t i = 1; i < parts.size(); i += 2)
    pairs.emplace_back(parts[i], i + 1 < parts.size() ? parts[i + 1] : std::string());

  const std::string lossy = kelv::util::lossy(text);
  size_t bound = lossy.size() + 1;
  for (const auto& [from, to] : pairs)
    if (!from.empty() && (bound *= to.size() + 1) > (size_t{1} << 20)) return -1;

  const std::string rewritten = rewrite_paths(text, pairs);
  FUZZ_CHECK(kelv::util::is_utf8(rewritten) || !pairs.empty(), "text " + show(text));

  for (const auto& [from, to] : pairs) {
    const Pairs nothing = {{"", to}}, same = {{from, from}};
    FUZZ_CHECK(rewrite_paths(text, nothing) == lossy,
               "an empty \"from\" changed " + show(text) + " (to " + show(to) + ")");
    FUZZ_CHECK(rewrite_paths(text, same) == lossy,
               "\"from\" equal to \"to\" changed " + show(text) + " (from " + show(from) + ")");
  }

  if (pairs.size() == 1 && kelv::util::is_utf8(pairs[0].first) &&
      lossy.find('\x01') == std::string::npos) {
    const std::string& from = pairs[0].first;
    const std::string marked = rewrite_paths(text, Pairs{{from, "\x01"}});
    const std::string back = rewrite_paths(marked, Pairs{{"\x01", from}});
    FUZZ_CHECK(back == lossy, "text " + show(text) + " from " + show(from) + " marked " +
                                  show(marked) + " back " + show(back));
  }
  return 0;
}
