#include "util/files.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/clock.h"
#include "util/fd.h"
#include "util/utf8.h"

namespace kelv::util {

IoResult<void> create_dirs(const std::filesystem::path& path, unsigned mode) {
  if (::mkdir(path.c_str(), mode) == 0) return {};
  if (errno == EEXIST) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
    return std::unexpected(error_of(EEXIST));
  }
  if (errno != ENOENT) return std::unexpected(last_error());
  const std::filesystem::path parent = path.parent_path();
  if (parent.empty() || parent == path) return std::unexpected(error_of(ENOENT));
  if (auto made = create_dirs(parent, mode); !made) return made;
  if (::mkdir(path.c_str(), mode) == 0 || errno == EEXIST) return {};
  return std::unexpected(last_error());
}

IoResult<std::string> read_file(const std::filesystem::path& path) {
  Fd fd = open_regular(path.c_str());
  if (!fd.valid()) return std::unexpected(last_error());
  struct stat st;
  std::string out;
  if (::fstat(fd.get(), &st) == 0) out.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_error());
    }
    if (n == 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

IoResult<void> write_private(const std::filesystem::path& path, std::string_view bytes) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) return std::unexpected(last_error());
  if (::write(fd.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()))
    return {};
  const IoError error = last_error();
  ::unlink(path.c_str());
  return std::unexpected(error);
}

void refresh_mtime(const std::filesystem::path& path, uint64_t max_age_ns) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (mtime_ns(st) + max_age_ns >= now_wall_ns()) return;
  (void)::utimensat(AT_FDCWD, path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}

IoResult<void> write_atomic(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path parent = path.parent_path();
  if (parent.empty()) parent = ".";

  // Formatted in one piece: for `"." + std::string` GCC 12 at -O3 warns of
  // a copy without bound (-Wstringop-overflow), wrongly.
  const std::filesystem::path tmp =
      parent / fmt::format(".{}.{}.tmp", lossy(path.filename().native()), ::getpid());
  const auto open_tmp = [&] {
    return Fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  };
  // The directory usually exists: it is made only when it is missing.
  Fd fd = open_tmp();
  if (!fd.valid() && errno == ENOENT) {
    if (auto made = create_dirs(parent); !made) return made;
    fd = open_tmp();
  }
  if (!fd.valid()) return std::unexpected(last_error());
  IoError failure;
  for (size_t done = 0; done < bytes.size() && !failure;) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      failure = last_error();
    else
      done += static_cast<size_t>(n);
  }
  if (!failure && ::rename(tmp.c_str(), path.c_str()) != 0) failure = last_error();
  if (!failure && ::close(fd.release()) != 0) failure = last_error();
  if (failure) {
    fd.reset();
    ::unlink(tmp.c_str());
    return std::unexpected(failure);
  }
  return {};
}

IoResult<void> write_json_fast(const std::filesystem::path& path, const Json& value) {
  std::string text = value.dump(2, ' ', false, Json::error_handler_t::replace);
  text += '\n';
  return write_atomic(path, text);
}

namespace {

// Whether arrays and objects nest deeper than `limit`. Records are shallow;
// a deep document would only serve to exhaust the parser's stack.
bool nests_deeper_than(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

std::optional<Json> parse_json(std::string_view text) {
  // The parser rejects trailing non-whitespace itself (strict mode), but it
  // takes a NUL byte for the end of the input; no JSON text holds one.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (nests_deeper_than(text, 256)) return std::nullopt;
  Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<Json> read_json(const std::filesystem::path& path) {
  auto text = read_file(path);
  if (!text) return std::nullopt;
  return parse_json(*text);
}

IoResult<MappedFile> MappedFile::open(const std::filesystem::path& path) {
  const Fd fd = open_regular(path.c_str());
  if (!fd.valid()) return std::unexpected(last_error());
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(last_error());
  const auto size = static_cast<size_t>(st.st_size);
  if (size == 0) return MappedFile(nullptr, 0);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (data == MAP_FAILED) return std::unexpected(last_error());
  return MappedFile(static_cast<const char*>(data), size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<char*>(data_), size_);
}

}  // namespace kelv::util
