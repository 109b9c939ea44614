#pragma once
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "util/files.h"

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

// A pack ready to be written: its first lines, then the entry's files, mapped
// rather than read, so that the bytes are copied once, into the file written.
struct Pack {
  std::string head;
  std::vector<util::MappedFile> files;

  uint64_t size() const;
  // Writes the pack whole into `path` (through a temporary sibling).
  util::IoResult<void> write(const fs::path& path) const;
};

// The pack of the entry directory `dir` (entry `entry` of key `key`); an
// entry whose files no longer have the hashes its record gives is damaged
// and is not packed.
std::expected<Pack, std::string> pack_entry(const fs::path& dir, std::string_view key,
                                            std::string_view entry);

// Checks `pack` as the pack of entry `entry` of key `key` and writes its
// files into the empty directory `into`; an error text says what was wrong.
std::expected<void, std::string> unpack_entry(std::string_view pack, std::string_view key,
                                              std::string_view entry, const fs::path& into);

}  // namespace kelv::artifact_cache
