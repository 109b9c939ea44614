#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

// A reader of one JSON document that holds one struct, for formats whose
// error texts are part of the format: the texts and positions are those of
// serde's derived deserializer (unknown fields denied) over serde_json 1.0's
// `from_slice`, byte for byte. It takes the steps of that reader in the same
// order, so the first error it meets is the one that reader would report.
//
// The struct is read by member name in any order, or as an array of its
// members in declaration order; the caller's field reader stores each value.
namespace kelv::util {

// A message, and the 1-based line and byte column where it arose; line 0
// until known (the struct's own errors get theirs when they leave it).
struct JsonError {
  std::string message;
  size_t line = 0;
  size_t column = 0;
};

using JsonStatus = std::expected<void, JsonError>;

// The reading of one document, handed to the field readers.
class JsonReader;

// The value ahead, into `out`, or the error that names what stands there
// instead: a string, a boolean, or an unsigned integer ("u32", "u64").
JsonStatus read_json_value(JsonReader& in, std::string& out);
JsonStatus read_json_value(JsonReader& in, bool& out);
JsonStatus read_json_value(JsonReader& in, uint32_t& out);
JsonStatus read_json_value(JsonReader& in, uint64_t& out);

// Reads a `null` when one is ahead; whether it did.
std::expected<bool, JsonError> read_json_null(JsonReader& in);

// `null` (absent) or a value of the inner type.
template <class T>
JsonStatus read_json_value(JsonReader& in, std::optional<T>& out) {
  const auto null = read_json_null(in);
  if (!null) return std::unexpected(null.error());
  if (*null) {
    out.reset();
    return {};
  }
  T value{};
  if (auto read = read_json_value(in, value); !read) return read;
  out = std::move(value);
  return {};
}

// A member of the struct; a member that is not required may be left out.
struct JsonField {
  std::string_view name;
  bool required = false;
};

// The struct: its name (in messages: "expected struct {name}") and its
// members in declaration order (at most 64).
struct JsonStruct {
  std::string_view name;
  std::span<const JsonField> fields;
};

// Borrows a callable `JsonStatus(size_t k, JsonReader&)` that reads the value
// of member k into the caller's record; nothing is copied or allocated.
class JsonFieldReader {
 public:
  template <class F>
  requires std::is_invocable_r_v<JsonStatus, F&, size_t, JsonReader&> JsonFieldReader(
      F& read)  // NOLINT(google-explicit-constructor): passed as an argument
      : target_(const_cast<void*>(static_cast<const void*>(&read))),
        call_([](void* target, size_t k, JsonReader& in) -> JsonStatus {
          return (*static_cast<F*>(target))(k, in);
        }) {}

  JsonStatus operator()(size_t k, JsonReader& in) const { return call_(target_, k, in); }

 private:
  void* target_;
  JsonStatus (*call_)(void*, size_t, JsonReader&);
};

// Reads `bytes` as the struct `shape`, then only whitespace; the error text
// is "{message} at line {L} column {C}".
std::expected<void, std::string> read_json_struct(std::string_view bytes, const JsonStruct& shape,
                                                  JsonFieldReader read_field);

}  // namespace kelv::util
