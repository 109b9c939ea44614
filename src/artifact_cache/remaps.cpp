#include "artifact_cache/remaps.h"

#include <fmt/format.h>
#include <string.h>

#include <charconv>

namespace kelv::artifact_cache {
namespace {

constexpr std::string_view token_open = "<remap ";

// Only plain absolute paths are made portable: the compiler compares
// components, and "//", "." or ".." would make text and components differ.
bool plain_absolute(std::string_view path) {
  if (!path.starts_with('/') || path.size() < 2) return false;
  return path.find("//") == std::string_view::npos && path.find("/./") == std::string_view::npos &&
         path.find("/../") == std::string_view::npos && !path.ends_with("/.") &&
         !path.ends_with("/..");
}

}  // namespace

bool path_below(std::string_view path, std::string_view dir) {
  return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

void Remaps::take(std::string_view value) {
  // The compiler splits at the last '=': a directory may hold one.
  const size_t eq = value.rfind('=');
  if (eq == std::string_view::npos) return;
  std::string_view from = value.substr(0, eq);
  while (from.size() > 1 && from.ends_with('/')) from.remove_suffix(1);
  if (!plain_absolute(from)) return;
  list.push_back({std::string(from), std::string(value.substr(eq + 1))});
}

std::optional<size_t> Remaps::applying(std::string_view path) const {
  for (size_t i = list.size(); i-- > 0;)
    if (path_below(path, list[i].from)) return i;
  return std::nullopt;
}

std::string Remaps::portable(std::string_view path) const {
  const auto i = applying(path);
  if (!i) return std::string(path);
  return fmt::format("{}{}>{}", token_open, *i, path.substr(list[*i].from.size()));
}

bool Remaps::is_portable(std::string_view path) {
  return path.starts_with(token_open);
}

std::string Remaps::resolve(std::string_view path) const {
  if (!is_portable(path)) return std::string(path);
  const std::string_view rest = path.substr(token_open.size());
  size_t i = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), i);
  if (ec != std::errc() || end == rest.data() || end == rest.data() + rest.size() || *end != '>' ||
      i >= list.size())
    return std::string(path);
  return list[i].from + std::string(end + 1, rest.data() + rest.size());
}

std::string Remaps::portable_directory(std::string_view from) const {
  while (from.size() > 1 && from.ends_with('/')) from.remove_suffix(1);
  std::optional<size_t> own, outer;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].from == from)
      own = i;
    else if (path_below(from, list[i].from))
      outer = i;
  }
  if (!own) return portable(from);
  if (!outer) return fmt::format("{}{}>", token_open, *own);
  return fmt::format("{}{}>{}", token_open, *outer, from.substr(list[*outer].from.size()));
}

std::string Remaps::portable_line(std::string_view line, size_t value_at, bool up_to_equals) const {
  if (value_at > line.size()) return std::string(line);
  std::string_view value = line.substr(value_at), after;
  if (up_to_equals) {
    const size_t eq = value.rfind('=');
    if (eq == std::string_view::npos) return std::string(line);
    after = value.substr(eq);
    value = value.substr(0, eq);
  }
  return fmt::format("{}{}{}", line.substr(0, value_at), portable(value), after);
}

std::vector<std::string> Remaps::directories() const {
  std::vector<std::string> dirs;
  for (const Remap& remap : list) dirs.push_back(remap.from);
  return dirs;
}

std::vector<std::pair<std::string, std::string>> Remaps::rewrites_from(
    std::span<const std::string> recorded) const {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (recorded.size() != list.size()) return pairs;
  // The last remap first, as the compiler applies them; with the '/' that
  // follows, so that "/w/a" is not taken for the start of "/w/ab".
  for (size_t i = list.size(); i-- > 0;) pairs.emplace_back(recorded[i] + "/", list[i].from + "/");
  return pairs;
}

std::optional<size_t> held_directory(std::string_view bytes, std::span<const std::string> dirs) {
  for (size_t i = 0; i < dirs.size(); ++i)
    if (!dirs[i].empty() && !bytes.empty() &&
        ::memmem(bytes.data(), bytes.size(), dirs[i].data(), dirs[i].size()))
      return i;
  return std::nullopt;
}

}  // namespace kelv::artifact_cache
