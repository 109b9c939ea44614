#pragma once
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "util/error.h"

// Hashes of files outside the cache's own entries, with on-disk memos that
// keep them cheap when many units hash the same libraries.
namespace kelv::artifact_cache {

namespace fs = std::filesystem;

// "dev:inode:size:mtime_ns" of a file's metadata.
std::string fingerprint(const struct stat& st);

// BLAKE3 of the file, remembered in <cache>/h/ by the file's identity.
util::IoResult<std::string> content_hash(const std::filesystem::path& cache_dir,
                                         const std::filesystem::path& path);

// Records an already known content hash of the file in its memo.
util::IoResult<void> record_content_memo(const std::filesystem::path& cache_dir,
                                         const std::filesystem::path& path, std::string_view hash);

// The crate hash the driver recorded beside a library, when the library's
// current metadata carries it.
std::optional<std::string> dependency_svh(const std::filesystem::path& path);

// The hash of a library and of everything linking against it pulls in.
using LinkMemo = std::map<std::string, std::string>;
std::optional<std::string> link_hash(const std::filesystem::path& cache_dir,
                                     const std::filesystem::path& path, LinkMemo& memo);

// The content of a directory tree, such as a build script's output
// directory. With `memo_cache` the files' hashes come through their content
// memos there: for the directories of other units, which no build script
// is writing while this unit is keyed.
std::optional<std::string> out_dir_digest(const std::filesystem::path& dir,
                                          const std::filesystem::path* memo_cache = nullptr);

}  // namespace kelv::artifact_cache
