#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The files a compilation can leave in its output directory, named around
// the unit's stem (crate name and extra filename), and how recently a file
// must have been written to count as this compilation's.
namespace kelv::rustc {

struct OutputName {
  std::string_view prefix, suffix;

  std::string around(std::string_view stem) const {
    std::string name;
    name.reserve(prefix.size() + stem.size() + suffix.size());
    return name.append(prefix).append(stem).append(suffix);
  }
};

// Everything a unit can write, in the order the report lists it.
inline constexpr std::array<OutputName, 10> reported_outputs = {{{"lib", ".rmeta"},
                                                                 {"lib", ".rlib"},
                                                                 {"lib", ".dylib"},
                                                                 {"lib", ".so"},
                                                                 {"lib", ".a"},
                                                                 {"", ".dll"},
                                                                 {"", ".exe"},
                                                                 {"", ".wasm"},
                                                                 {"", ""},
                                                                 {"", ".d"}}};

// What the cache stores of a unit, in the order an entry lists it: the
// report's files without those of units it never keeps (static libraries,
// WebAssembly modules), and with the interface hash that the compiler
// driver writes beside a library.
inline constexpr std::array<OutputName, 9> stored_outputs = {{{"lib", ".rlib"},
                                                              {"lib", ".rmeta"},
                                                              {"lib", ".kelv-svh"},
                                                              {"lib", ".so"},
                                                              {"lib", ".dylib"},
                                                              {"", ".dll"},
                                                              {"", ""},
                                                              {"", ".exe"},
                                                              {"", ".d"}}};

// A file modified at most this long before the compilation started counts as
// written by it (file systems stamp with a coarser clock than the one the
// start was read from). The cache, which must not store an earlier build's
// file as this one's, allows a second; the report, which only describes,
// allows two.
inline constexpr uint64_t stored_window_ns = 1'000'000'000;
inline constexpr uint64_t reported_window_ns = 2'000'000'000;

inline bool written_since(uint64_t mtime_ns, uint64_t start_ns, uint64_t window_ns) {
  return mtime_ns + window_ns >= start_ns;
}

}  // namespace kelv::rustc
