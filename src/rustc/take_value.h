#pragma once
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Walking rustc's command line option by option: shared by the cache key
// and the link records.
namespace kelv::rustc {

// What an option standing last, without its value, gives.
enum class LastWithoutValue { empty_value, absent };

// The value of option `name` at args[i] ("--opt value", "--optvalue" or
// "--opt=value", one leading "=" removed); advances i past a separate value.
// Absent when args[i] is not the option.
inline std::optional<std::string_view> take_value(std::span<const std::string> args, size_t& i,
                                                  std::string_view name, LastWithoutValue last) {
  std::string_view a = args[i];
  if (!a.starts_with(name)) return std::nullopt;
  if (a.size() == name.size()) {
    if (i + 1 >= args.size()) {
      if (last == LastWithoutValue::absent) return std::nullopt;
      return std::string_view();
    }
    return std::string_view(args[++i]);
  }
  a.remove_prefix(name.size());
  if (a.starts_with('=')) a.remove_prefix(1);
  return a;
}

}  // namespace kelv::rustc
