#include "util/paths.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <cstdlib>

#include "util/utf8.h"

namespace kelv::util {

std::filesystem::path canon(const std::filesystem::path& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::filesystem::path out(resolved);
  std::free(resolved);
  return out;
}

std::string path_str(const std::filesystem::path& path) {
  return lossy(path.native());
}

std::optional<std::filesystem::path> which(std::string_view name) {
  const char* env = std::getenv("PATH");
  if (!env) return std::nullopt;
  std::string_view rest(env);
  while (true) {
    const size_t colon = rest.find(':');
    const std::string_view entry = rest.substr(0, colon);
    if (!entry.empty()) {
      std::filesystem::path candidate = std::filesystem::path(entry) / name;
      struct stat st;
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111))
        return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

namespace {

// An ASCII byte as it appears inside a quoted text.
void append_quoted_ascii(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\0':
      out += "\\0";
      break;
    default:
      if (c < 0x20 || c == 0x7F)
        out += fmt::format("\\u{{{:x}}}", c);
      else
        out += static_cast<char>(c);
  }
}

// Keeps a valid multi-byte character at bytes[i]; escapes the byte of an
// invalid one. The number of bytes taken.
size_t append_quoted_multibyte(std::string& out, std::string_view bytes, size_t i) {
  const auto c = static_cast<unsigned char>(bytes[i]);
  const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  const std::string_view seq = bytes.substr(i, n);
  if (n > 1 && seq.size() == n && is_utf8(seq)) {
    out.append(seq);
    return n;
  }
  out += fmt::format("\\x{:02X}", c);
  return 1;
}

}  // namespace

std::string quoted(std::string_view bytes) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      i += append_quoted_multibyte(out, bytes, i);
    } else {
      append_quoted_ascii(out, c);
      ++i;
    }
  }
  out += '"';
  return out;
}

bool is_plain_file_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

bool starts_with_path(const std::filesystem::path& path, const std::filesystem::path& dir) {
  auto p = path.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d) {
    if (d->empty()) continue;  // a trailing separator in `dir`
    if (p == path.end() || *p != *d) return false;
    ++p;
  }
  return true;
}

}  // namespace kelv::util
