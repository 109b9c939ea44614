#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kelv::util {

// The canonical path (absolute, links resolved); the path unchanged when it
// cannot be canonicalised.
std::filesystem::path canon(const std::filesystem::path& path);

// A path as UTF-8 text, invalid sequences replaced by U+FFFD.
std::string path_str(const std::filesystem::path& path);

// The first executable regular file <dir>/<name> along PATH.
std::optional<std::filesystem::path> which(std::string_view name);

// A path for messages: in double quotes, `"` and `\` escaped, control
// characters as \n, \t or \u{..}, invalid UTF-8 bytes as \xNN.
std::string quoted(std::string_view bytes);

// A name read from a record that must stay inside its directory: not empty,
// not "." or "..", no slash and no NUL.
bool is_plain_file_name(std::string_view name);

// Whether `path` lies at or below `dir`, compared component by component.
bool starts_with_path(const std::filesystem::path& path, const std::filesystem::path& dir);

}  // namespace kelv::util
