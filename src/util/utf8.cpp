#include "util/utf8.h"

namespace kelv::util {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or the length of the
// maximal invalid subpart (at least 1) negated.
int sequence_length(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (int k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return -k;
    const unsigned char t = b(i + k);
    const bool ok = k == 1 ? (t >= lo && t <= hi) : (t >= 0x80 && t <= 0xBF);
    if (!ok) return -k;
  }
  return need + 1;
}

}  // namespace

bool is_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const int n = sequence_length(s, i);
    if (n < 0) return false;
    i += static_cast<size_t>(n);
  }
  return true;
}

std::string lossy(std::string_view s) {
  if (is_utf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  for (size_t i = 0; i < s.size();) {
    const int n = sequence_length(s, i);
    if (n > 0) {
      out.append(s.substr(i, static_cast<size_t>(n)));
      i += static_cast<size_t>(n);
    } else {
      out.append("\xEF\xBF\xBD");
      i += static_cast<size_t>(-n);
    }
  }
  return out;
}

}  // namespace kelv::util
