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

// Copies the realistic workspace of tests/fixtures/workspace (without any
// target directory) to `dir`.
void copy_fixture(const fs::path& dir);

// Runs cargo in `dir` with the built wrapper as RUSTC_WRAPPER (unless
// `wrapper` is false), a private target directory and no colour.
Outcome cargo(const fs::path& dir, std::vector<std::string> args,
              std::map<std::string, std::optional<std::string>> env = {}, bool wrapper = true);

}  // namespace kelv::testing
