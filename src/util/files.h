#pragma once
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "util/error.h"

namespace kelv::util {

using Json = nlohmann::ordered_json;

// Creates the directory and its missing ancestors with `mode` (before the
// umask); an existing directory is success.
IoResult<void> create_dirs(const std::filesystem::path& path, unsigned mode = 0777);

// The whole file's bytes.
IoResult<std::string> read_file(const std::filesystem::path& path);

// Replaces the file whole: writes a temporary sibling ".<name>.<pid>.tmp" and
// renames it over the target; missing parent directories are made when the
// temporary file cannot be created for their lack.
IoResult<void> write_atomic(const std::filesystem::path& path, std::string_view bytes);

// The value indented by two spaces per level, with a trailing newline,
// written through `write_atomic`.
IoResult<void> write_json_fast(const std::filesystem::path& path, const Json& value);

// Creates `path`, which must not exist, readable by the user alone, holding
// `bytes`; a file it could not fill is removed.
IoResult<void> write_private(const std::filesystem::path& path, std::string_view bytes);

// Sets the file's modification time to now when it is older than
// `max_age_ns`, so that frequent uses cost one stat each; failures ignored.
void refresh_mtime(const std::filesystem::path& path, uint64_t max_age_ns);

// A regular file's bytes, mapped read-only while the object lives (an empty
// file maps to no bytes).
class MappedFile {
 public:
  static IoResult<MappedFile> open(const std::filesystem::path& path);
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&&) = delete;
  MappedFile(const MappedFile&) = delete;
  ~MappedFile();
  std::string_view bytes() const { return {data_, size_}; }

 private:
  MappedFile(const char* data, size_t size) : data_(data), size_(size) {}
  const char* data_ = nullptr;
  size_t size_ = 0;
};

// The file's single JSON document; absent on any read or parse error, on
// anything but whitespace after the document, or on nesting deeper than 256.
std::optional<Json> read_json(const std::filesystem::path& path);

// Parses text the same way as `read_json` without throwing.
std::optional<Json> parse_json(std::string_view text);

}  // namespace kelv::util
