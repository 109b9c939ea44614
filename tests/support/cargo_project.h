#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/testing.h"

namespace kelv::testing {

// A small workspace written by a test: a library `greet` and a binary `hello`
// that prints its greeting.
void write_small_workspace(const fs::path& dir);

// Copies a workspace of tests/fixtures (without any target directory) to
// `dir`: "workspace" (the tests' own) or "realworld".
void copy_fixture(const fs::path& dir, const std::string& name = "workspace");

// Runs cargo in `dir` with the built wrapper as RUSTC_WRAPPER (unless
// `wrapper` is false), a private target directory and no colour.
Outcome cargo(const fs::path& dir, std::vector<std::string> args,
              std::map<std::string, std::optional<std::string>> env = {}, bool wrapper = true);

// The rustup proxy that `rustc` on PATH is (a link to rustup); absent when it
// is not one.
std::optional<fs::path> rustup_proxy();

// Two toolchains in a private rustup home, for running Cargo through the
// proxy with RUSTUP_HOME=`home` and RUSTUP_TOOLCHAIN naming either.
struct ProxyToolchains {
  std::string real;   // a link to the real toolchain
  std::string other;  // runs the real rustc, but answers -vV as release 1.95.7
                      // of another commit and names its own directory as the
                      // sysroot
  fs::path other_rustc;
};
ProxyToolchains write_rustup_home(const fs::path& home);

}  // namespace kelv::testing
