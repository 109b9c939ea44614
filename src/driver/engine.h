#pragma once
#include <filesystem>

#include "exec/proc.h"

namespace kelv::engine {

// A command for a program of a toolchain (root/bin/name): the toolchain's
// root/lib goes first on the dynamic loader's search path.
exec::Command toolchain_program(const std::filesystem::path& program);

// The loader path value for library directory `lib` given the current value
// (absent when unset): `lib` first, then the current entries without `lib`;
// `lib` alone when an entry cannot be joined.
std::string loader_path_with(const std::filesystem::path& lib, const char* current);

}  // namespace kelv::engine
