#pragma once
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "util/error.h"

namespace kelv::util {

// Lowercase hex, two digits per byte.
std::string hex(std::span<const unsigned char> bytes);

// BLAKE3 / SHA-256 of a file's bytes, 64 lowercase hex digits.
IoResult<std::string> blake3_file(const std::filesystem::path& path);
IoResult<std::string> sha256_file(const std::filesystem::path& path);

// BLAKE3 of bytes, 64 lowercase hex digits.
std::string blake3_hex(std::string_view bytes);

// SHA-256 of bytes, 64 lowercase hex digits.
std::string sha256_hex(std::string_view bytes);

// The name of a sequence of texts: the first 32 hex digits of the SHA-256 over
// each text preceded by its length as a 64-bit little-endian integer.
std::string key_digest(std::span<const std::string_view> texts);
std::string key_digest(std::span<const std::string> texts);
inline std::string key_digest(std::initializer_list<std::string_view> texts) {
  return key_digest(std::span<const std::string_view>(texts.begin(), texts.size()));
}

// The state of a key digest after its leading texts, for digests whose first
// texts are known when the program is built: the state is computed then, and
// `key_digest_from` hashes only the rest. (The SHA-256 context, as bytes.)
struct KeyDigestState {
  alignas(8) unsigned char bytes[112];
};
std::string key_digest_from(const KeyDigestState& after, std::span<const std::string_view> rest);
inline std::string key_digest_from(const KeyDigestState& after,
                                   std::initializer_list<std::string_view> rest) {
  return key_digest_from(after, std::span<const std::string_view>(rest.begin(), rest.size()));
}

}  // namespace kelv::util
