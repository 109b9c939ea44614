#pragma once
#include <string>
#include <vector>

// What decides which toolchain a rustup proxy or a version manager's shim
// runs. Such a program is one file for every toolchain, so its answers can be
// remembered only together with everything it reads to make its choice.
namespace kelv::toolchain_choice {

// The texts that describe the choice a proxy started here and now would
// make: the current directory; the variables of rustup and of the common
// version managers (RUSTUP_*, ASDF_*, MISE_*, RTX_*); the identity (path,
// size, modification time, inode) of every toolchain file in the current
// directory and its ancestors; of rustup's settings file and toolchains
// directory; and of the version managers' files in the home directory. A
// file that does not exist contributes nothing.
std::vector<std::string> selectors();

}  // namespace kelv::toolchain_choice
