#pragma once
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The directories a unit's "--remap-path-prefix FROM=TO" arguments rename in
// everything the compiler writes. What lies below such a directory is keyed
// and recorded relative to it, as "<remap N>/rest" (N: the remap's place
// among the unit's remaps, whose arguments are key lines themselves), so that
// checkouts at different paths that remap their own directories alike share
// keys. That the compiler's outputs really do not name the directory is
// checked before an entry is shared (`held_directory`).
namespace kelv::artifact_cache {

struct Remap {
  std::string from;  // absolute, without a trailing '/'
  std::string to;
};

struct Remaps {
  std::vector<Remap> list;  // in argument order; remaps of relative or root paths are left out

  // Takes the value of one "--remap-path-prefix" argument.
  void take(std::string_view value);
  bool empty() const { return list.empty(); }

  // The remap the compiler applies to `path` (the last one given whose
  // directory holds it), when one does.
  std::optional<size_t> applying(std::string_view path) const;
  // `path` relative to the directory that remaps it ("<remap N>/rest"); the
  // path itself when none does.
  std::string portable(std::string_view path) const;
  // Whether a recorded path is in the portable form.
  static bool is_portable(std::string_view path);
  // A portable path in this unit's own directories.
  std::string resolve(std::string_view path) const;
  // A remap's own directory as its key line holds it: relative to the
  // remap whose directory holds it, so that the key keeps which remaps lie
  // inside which; else as itself ("<remap N>").
  std::string portable_directory(std::string_view from) const;
  // A key line with its path made portable: the path is the line from
  // `value_at` on, or up to its last '=' when `up_to_equals`.
  std::string portable_line(std::string_view line, size_t value_at,
                            bool up_to_equals = false) const;
  // The directories as an entry records them, and the rewrites that take a
  // recorded list's paths to this unit's.
  std::vector<std::string> directories() const;
  std::vector<std::pair<std::string, std::string>> rewrites_from(
      std::span<const std::string> recorded) const;
};

// Whether `path` is `dir` or lies below it.
bool path_below(std::string_view path, std::string_view dir);

// The first of `dirs` whose path `bytes` hold anywhere: a string that
// starts with it may run on into the next one in an output's data, so no
// boundary is asked for.
std::optional<size_t> held_directory(std::string_view bytes, std::span<const std::string> dirs);

}  // namespace kelv::artifact_cache
