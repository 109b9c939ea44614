#pragma once
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// rustc's command line, option by option: the options that take a value and
// the spellings in which a value follows its option. Every reader of a unit's
// arguments (the front's queries, the cache key, the link record, the report)
// takes values through `take_value`; they differ only in the spelling they
// accept, which each names.
namespace kelv::rustc {

using List = std::span<const std::string>;

// Whether `element` is one of rustc's options that take a value, standing
// alone (so that its value is the next element).
bool takes_value(std::string_view element);

// How a value may be attached to its option, besides standing as the next
// element.
enum class Attached {
  after_equals,         // "--opt=value"; "--optx" is another option
  rest_without_equals,  // "-Ovalue", "--optvalue"; one leading "=" removed
  rest,                 // "-Ovalue", "-O=value" giving "=value"
};

// What an option standing last, without its value, gives.
enum class LastWithoutValue { empty_value, absent };

// The value of option `name` at args[i]; advances i past a separate value.
// Absent when args[i] is not the option (or stands last without its value
// and `last` says absent).
std::optional<std::string_view> take_value(List args, size_t& i, std::string_view name,
                                           Attached attached, LastWithoutValue last);

}  // namespace kelv::rustc
