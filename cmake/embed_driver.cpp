// Build-time generator: writes the C++ source that carries the driver's Cargo
// project (its three files as byte arrays, so that every byte survives) and
// the SHA-256 state of the driver directory's digest after those texts, so
// that the wrapper hashes only the toolchain's sysroot when it runs.
//   kelv-embed-driver OUT MANIFEST MAIN_RS EARLY_LINK_RS
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "util/hash.h"

namespace {

std::string read_if_exists(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

std::string read(const char* path) {
  if (!std::ifstream(path, std::ios::binary)) {
    std::fprintf(stderr, "kelv-embed-driver: cannot read %s\n", path);
    std::exit(1);
  }
  return read_if_exists(path);
}

// One text of a key digest: its length as a 64-bit little-endian integer,
// then its bytes.
void add_text(SHA256_CTX& ctx, const std::string& text) {
  unsigned char len[8];
  const uint64_t n = text.size();
  for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(n >> (8 * i));
  SHA256_Update(&ctx, len, sizeof len);
  SHA256_Update(&ctx, text.data(), text.size());
}

void bytes(std::ostringstream& out, const unsigned char* p, size_t n) {
  char hex[8];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(hex, sizeof hex, "0x%02x,", p[i]);
    out << hex << ((i % 16 == 15) ? "\n" : "");
  }
}

void text(std::ostringstream& out, const char* var, const std::string& content) {
  out << "static const unsigned char " << var << "_bytes[] = {\n";
  bytes(out, reinterpret_cast<const unsigned char*>(content.data()), content.size());
  out << "0};\nconst std::string_view " << var << "{reinterpret_cast<const char*>(" << var
      << "_bytes), " << content.size() << "};\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: kelv-embed-driver OUT MANIFEST MAIN_RS EARLY_LINK_RS\n");
    return 2;
  }
  const std::string manifest = read(argv[2]), main_rs = read(argv[3]), early = read(argv[4]);
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  for (const std::string& t :
       {manifest, std::string("main.rs"), main_rs, std::string("early_link.rs"), early})
    add_text(ctx, t);

  std::ostringstream out;
  out << "// Generated from driver_project/ at build time; do not edit.\n"
         "#include \"driver/project_text.h\"\nnamespace kelv::driver {\n";
  text(out, "manifest_text", manifest);
  text(out, "main_rs_text", main_rs);
  text(out, "early_link_rs_text", early);
  static_assert(sizeof(SHA256_CTX) == sizeof(kelv::util::KeyDigestState::bytes));
  out << "const util::KeyDigestState project_digest_state = {{\n";
  bytes(out, reinterpret_cast<const unsigned char*>(&ctx), sizeof ctx);
  out << "}};\n}  // namespace kelv::driver\n";

  const std::string generated = out.str();
  if (read_if_exists(argv[1]) == generated) return 0;  // keeps dependants' timestamps
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file << generated;
  return file.good() ? 0 : 1;
}
