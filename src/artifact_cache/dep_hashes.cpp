#include "artifact_cache/dep_hashes.h"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "artifact_cache/layout.h"
#include "util/clock.h"
#include "util/fd.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/utf8.h"

namespace kelv::artifact_cache {
namespace {

using u128 = unsigned __int128;

bool is_hex64(std::string_view s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

fs::path memo_path(const fs::path& cache_dir, const struct stat& st) {
  return layout::content_memo(cache_dir, util::key_digest({fingerprint(st)}));
}

std::optional<u128> parse_hex_u128(std::string_view s) {
  if (s.starts_with('+')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  u128 value = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    if (value >> 124) return std::nullopt;  // would overflow
    value = value << 4 | static_cast<u128>(digit);
  }
  return value;
}

// The library's file name without its ".rmeta" or ".rlib" suffix.
std::optional<std::string> library_base(const fs::path& path) {
  const std::string name = path.filename().native();
  if (!util::is_utf8(name)) return std::nullopt;
  for (std::string_view suffix : {".rmeta", ".rlib"})
    if (name.ends_with(suffix)) return name.substr(0, name.size() - suffix.size());
  return std::nullopt;
}

// Reads at most `n` bytes at `offset`.
std::string read_at(int fd, uint64_t offset, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, out.data() + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

// Adds a "path=hash" line for every file in `current` (relative to `root`)
// and pushes its subdirectories on the stack; false on any error.
bool digest_directory(const fs::path* memo_cache, const fs::path& root, const fs::path& current,
                      std::vector<fs::path>& stack, std::vector<std::string>& lines) {
  DIR* handle = ::opendir(current.c_str());
  if (!handle) return false;
  std::unique_ptr<DIR, int (*)(DIR*)> closer(handle, ::closedir);
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(handle);
    if (!entry) return errno == 0;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const fs::path child = current / name;
    struct stat st;
    if (::lstat(child.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      stack.push_back(child);
      continue;
    }
    auto hash = memo_cache ? content_hash(*memo_cache, child) : util::blake3_file(child);
    if (!hash) return false;
    const fs::path relative = child.lexically_relative(root);
    if (relative.empty() || *relative.begin() == "..") return false;
    lines.push_back(util::path_str(relative) + "=" + *hash);
  }
}

// "native:<what>=" and the native file's content as it is now, or "absent".
std::optional<std::string> native_line(const fs::path& cache_dir, const util::Json& native) {
  if (!native.is_array() || native.size() != 2 || !native[0].is_string()) return std::nullopt;
  const std::string what = "native:" + native[0].get<std::string>() + "=";
  if (native[1].is_null()) return what + "absent";
  if (!native[1].is_string()) return std::nullopt;
  auto hash = content_hash(cache_dir, native[1].get<std::string>());
  if (!hash) return std::nullopt;
  return what + "sha:" + *hash;
}

}  // namespace

std::string fingerprint(const struct stat& st) {
  return fmt::format("{}:{}:{}:{}", static_cast<uint64_t>(st.st_dev),
                     static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
                     util::mtime_ns(st));
}

util::IoResult<void> record_content_memo(const fs::path& cache_dir, const fs::path& path,
                                         std::string_view hash) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(util::last_error());
  // The memo names its file, so that one whose file is gone can be told.
  std::error_code ec;
  const fs::path file = path.is_absolute() ? path : fs::absolute(path, ec);
  return util::write_atomic(memo_path(cache_dir, st),
                            fmt::format("{}\n{}\n", hash, util::path_str(file)));
}

util::IoResult<std::string> content_hash(const fs::path& cache_dir, const fs::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(util::last_error());
  // "<hash>\n<file>\n", or the bare hash that memos held before.
  if (auto memo = util::read_file(memo_path(cache_dir, st));
      memo &&
      (memo->size() == 64 || (memo->size() > 66 && (*memo)[64] == '\n' && memo->back() == '\n'))) {
    memo->resize(64);
    if (is_hex64(*memo)) return *memo;
  }
  auto hash = util::blake3_file(path);
  if (!hash) return hash;
  if (auto recorded = record_content_memo(cache_dir, path, *hash); !recorded)
    return std::unexpected(recorded.error());
  return hash;
}

std::optional<std::string> dependency_svh(const fs::path& path) {
  const auto base = library_base(path);
  if (!base) return std::nullopt;
  const fs::path dir = path.parent_path();
  auto text = util::read_file(dir / (*base + ".kelv-svh"));
  if (!text) return std::nullopt;
  const std::string_view trimmed = util::trim(*text);
  if (trimmed == "+" || trimmed == "-") return std::nullopt;
  const auto svh = parse_hex_u128(trimmed);
  if (!svh) return std::nullopt;

  util::Fd fd = util::open_regular((dir / (*base + ".rmeta")).c_str());
  if (!fd.valid()) return std::nullopt;
  const std::string header = read_at(fd.get(), 0, 16);
  if (header.size() < 16 || std::memcmp(header.data(), "rust\0\0\0", 7) != 0) return std::nullopt;
  uint64_t root = 0;
  for (int i = 0; i < 8; ++i)
    root |= static_cast<uint64_t>(static_cast<unsigned char>(header[8 + i])) << (8 * i);
  const std::string window = read_at(fd.get(), root, 65536);
  unsigned char needle[16];
  for (int i = 0; i < 16; ++i) needle[i] = static_cast<unsigned char>(*svh >> (8 * i));
  if (window.size() < 16 || std::string_view(window).find(std::string_view(
                                reinterpret_cast<char*>(needle), 16)) == std::string_view::npos)
    return std::nullopt;
  unsigned char big_endian[16];
  for (int i = 0; i < 16; ++i) big_endian[i] = needle[15 - i];
  return util::hex(big_endian);
}

namespace {

// The lines of a library's link hash: its content, its native files and the
// link hashes of the libraries its link record names.
std::optional<std::vector<std::string>> link_lines(const fs::path& cache_dir,
                                                   const std::string& content,
                                                   const util::Json& natives,
                                                   const util::Json& deps, LinkMemo& memo) {
  std::vector<std::string> lines = {"content=" + content};
  for (const auto& native : natives) {
    auto line = native_line(cache_dir, native);
    if (!line) return std::nullopt;
    lines.push_back(std::move(*line));
  }
  for (const auto& dep : deps) {
    if (!dep.is_array() || dep.size() < 2 || !dep[0].is_string() || !dep[1].is_string())
      return std::nullopt;
    auto dep_hash = link_hash(cache_dir, dep[1].get<std::string>(), memo);
    if (!dep_hash) return std::nullopt;
    lines.push_back(dep[0].get<std::string>() + "=" + *dep_hash);
  }
  return lines;
}

// The link hash of the library `rlib` whose content hash is `content`, from
// its link record; marked in `memo` as being resolved meanwhile.
std::optional<std::string> rlib_link_hash(const fs::path& cache_dir, const fs::path& rlib,
                                          const std::string& content, const std::string& memo_key,
                                          LinkMemo& memo) {
  struct stat st;
  if (::stat(rlib.c_str(), &st) != 0) return std::nullopt;
  auto record =
      util::read_json(layout::link_record(cache_dir, util::key_digest({fingerprint(st)})));
  if (!record || !record->is_object()) return std::nullopt;
  auto deps = record->find("deps");
  if (deps == record->end() || !deps->is_array()) return std::nullopt;
  // A record from before native files were recorded says nothing of them.
  auto natives = record->find("native");
  if (natives == record->end() || !natives->is_array()) return std::nullopt;
  memo[memo_key] = "";
  auto lines = link_lines(cache_dir, content, *natives, *deps, memo);
  if (!lines) {
    memo.erase(memo_key);
    return std::nullopt;
  }
  return util::key_digest(*lines);
}

}  // namespace

std::optional<std::string> link_hash(const fs::path& cache_dir, const fs::path& path,
                                     LinkMemo& memo) {
  std::string name = path.filename().native();
  if (!util::is_utf8(name)) return std::nullopt;
  fs::path artifact = path;
  if (name.ends_with(".rmeta"))
    artifact.replace_filename(name.substr(0, name.size() - 6) + ".rlib");
  const std::string memo_key = artifact.native();
  if (auto it = memo.find(memo_key); it != memo.end()) {
    // An empty value marks a library still being resolved: a cycle of stale
    // link records, which has no hash.
    if (it->second.empty()) return std::nullopt;
    return it->second;
  }
  auto content = content_hash(cache_dir, artifact);
  if (!content) return std::nullopt;
  auto result = artifact.extension() != ".rlib"
                    ? std::optional<std::string>(*content)
                    : rlib_link_hash(cache_dir, artifact, *content, memo_key, memo);
  if (result) memo[memo_key] = *result;
  return result;
}

std::optional<std::string> out_dir_digest(const fs::path& dir, const fs::path* memo_cache) {
  std::vector<fs::path> stack = {dir};
  std::vector<std::string> lines;
  while (!stack.empty()) {
    const fs::path current = std::move(stack.back());
    stack.pop_back();
    if (!digest_directory(memo_cache, dir, current, stack, lines)) return std::nullopt;
  }
  std::sort(lines.begin(), lines.end());
  return util::key_digest(lines);
}

}  // namespace kelv::artifact_cache
