#include "util/hash.h"

// The plain SHA-256 functions need no provider set-up, unlike EVP, which
// would load OpenSSL's configuration in every wrapper process.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <blake3.h>
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "util/fd.h"

namespace kelv::util {
namespace {

// Reads the whole file in chunks of `chunk` bytes, feeding each to `feed`.
template <class Feed>
IoResult<void> read_chunks(const std::filesystem::path& path, size_t chunk, Feed feed) {
  Fd fd = open_regular(path.c_str());
  if (!fd.valid()) return std::unexpected(last_error());
  // Most files (sources, memos) are far smaller than a chunk: size the one
  // buffer to the file, and leave it uninitialised, as reads fill it.
  struct stat st;
  if (::fstat(fd.get(), &st) == 0 && st.st_size >= 0)
    chunk = std::min(chunk, static_cast<size_t>(st.st_size) + 1);
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(chunk);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.get(), chunk);
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return {};
    feed(buffer.get(), static_cast<size_t>(n));
  }
}

struct Sha256 {
  SHA256_CTX ctx;
  Sha256() { SHA256_Init(&ctx); }
  void update(const void* p, size_t n) { SHA256_Update(&ctx, p, n); }
  std::string finish() {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, &ctx);
    return hex(digest);
  }
};

}  // namespace

std::string hex(std::span<const unsigned char> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0xF];
  }
  return out;
}

IoResult<std::string> blake3_file(const std::filesystem::path& path) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  auto done = read_chunks(
      path, 262144, [&](const unsigned char* p, size_t n) { blake3_hasher_update(&hasher, p, n); });
  if (!done) return std::unexpected(done.error());
  unsigned char out[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(&hasher, out, BLAKE3_OUT_LEN);
  return hex(out);
}

IoResult<std::string> sha256_file(const std::filesystem::path& path) {
  Sha256 sha;
  auto done = read_chunks(path, 65536, [&](const unsigned char* p, size_t n) { sha.update(p, n); });
  if (!done) return std::unexpected(done.error());
  return sha.finish();
}

std::string blake3_hex(std::string_view bytes) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, bytes.data(), bytes.size());
  unsigned char out[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(&hasher, out, BLAKE3_OUT_LEN);
  return hex(out);
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes.data(), bytes.size());
  return sha.finish();
}

namespace {

template <class Texts>
std::string digest_of(const Texts& texts, Sha256 sha = {}) {
  for (std::string_view t : texts) {
    unsigned char len[8];
    uint64_t n = t.size();
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(n >> (8 * i));
    sha.update(len, sizeof len);
    sha.update(t.data(), t.size());
  }
  return sha.finish().substr(0, 32);
}

}  // namespace

std::string key_digest(std::span<const std::string_view> texts) {
  return digest_of(texts);
}
std::string key_digest(std::span<const std::string> texts) {
  return digest_of(texts);
}

static_assert(sizeof(SHA256_CTX) == sizeof(KeyDigestState::bytes));

std::string key_digest_from(const KeyDigestState& after, std::span<const std::string_view> rest) {
  Sha256 sha;
  std::memcpy(&sha.ctx, after.bytes, sizeof sha.ctx);
  return digest_of(rest, sha);
}

}  // namespace kelv::util
