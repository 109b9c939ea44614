#pragma once
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

// A cache entry as one object for the remote tier: every file of the entry
// directory in one piece, so that an entry is published (and read) whole.
//
//   "kelv-entry 1\n"
//   one line of JSON: {"key": K, "entry": E, "files": [{"name", "size", "blake3"}, ...]}
//   the files' bytes, one after the other, in that order
//
// What a server hands back is not trusted: unpacking checks every size and
// hash, that the names are plain file names, that the pack is the one asked
// for, and that the entry record agrees with what the pack holds.
namespace kelv::artifact_cache {

namespace fs = std::filesystem;

// Writes the pack of the entry directory `dir` (entry `entry` of key `key`)
// into the new file `path`, reading each file once; its size. An entry whose
// files no longer have the hashes its record gives is damaged and is not
// packed.
std::expected<uint64_t, std::string> write_pack(const fs::path& dir, std::string_view key,
                                                std::string_view entry, const fs::path& path);

// Checks `pack` as the pack of entry `entry` of key `key` and writes its
// files into the empty directory `into`; an error text says what was wrong.
std::expected<void, std::string> unpack_entry(std::string_view pack, std::string_view key,
                                              std::string_view entry, const fs::path& into);

}  // namespace kelv::artifact_cache
