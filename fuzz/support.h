#pragma once
// Helpers shared by the fuzz targets: a private directory per process, file
// set-up, directory listings and failing checks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelv::fuzz {

namespace fs = std::filesystem;

// The input as bytes.
inline std::string_view bytes_of(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input split at NUL bytes: "a\0b" is {"a", "b"}, "" is {""}.
std::vector<std::string> split_at_nul(std::string_view bytes);

// A fresh directory of this process below $TMPDIR (or /tmp). It outlives
// the process; the next process to start removes it.
const fs::path& temp_root();

// Writes the file whole, creating its parent directories.
void write_file(const fs::path& path, std::string_view bytes);
std::string read_file(const fs::path& path);
// Sets the file's modification time (seconds since the epoch).
void set_mtime(const fs::path& path, int64_t seconds);
// Removes the path and everything below it; absent is fine.
void remove_tree(const fs::path& path);
// Every path below `root`, relative to it ("a", "a/b", ...), directories too.
std::set<std::string> tree(const fs::path& root);

// Every occurrence of `from` replaced by `to`.
std::string replace_all(std::string text, std::string_view from, std::string_view to);

// A printable form of bytes for failure messages.
std::string show(std::string_view bytes);

[[noreturn]] void fail(const char* file, int line, const char* condition,
                       const std::string& detail);

}  // namespace kelv::fuzz

// Aborts (which libFuzzer reports as a crash and saves the input) when the
// condition does not hold; the detail is printed first.
#define FUZZ_CHECK(condition, detail)                                               \
  do {                                                                              \
    if (!(condition)) ::kelv::fuzz::fail(__FILE__, __LINE__, #condition, (detail)); \
  } while (0)
