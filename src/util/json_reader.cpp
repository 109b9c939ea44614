#include "util/json_reader.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>
#include <variant>

#include "util/utf8.h"

namespace kelv::util {
namespace {

using namespace std::literals;

template <class T>
using Result = std::expected<T, JsonError>;
using Status = JsonStatus;

// Binds `var` to the value of an expected, or returns its error (Rust's `?`).
#define KELV_TRY(var, ...)  \
  auto var = (__VA_ARGS__); \
  if (!var) return std::unexpected(std::move(var.error()))

// A number as serde_json reads it: u64, negative i64, or f64.
using Number = std::variant<uint64_t, int64_t, double>;

bool is_digit(int c) {
  return c >= '0' && c <= '9';
}
bool is_exp(int c) {
  return c == 'e' || c == 'E';
}

// Whether `acc * 10 + digit` would exceed `max`.
bool overflows(uint64_t acc, uint64_t digit, uint64_t max) {
  return acc >= max / 10 && (acc > max / 10 || digit > max % 10);
}

// The significant digits of `f` and the power of ten of the first one; the
// shortest that round-trip, or as many as `precision` asks.
std::pair<std::string, int> decimal_digits(double f, std::optional<int> precision = {}) {
  char buf[800];
  const auto sci = std::chars_format::scientific;
  const auto end = precision ? std::to_chars(buf, buf + sizeof buf, f, sci, *precision).ptr
                             : std::to_chars(buf, buf + sizeof buf, f, sci).ptr;
  const std::string_view text(buf, end);  // "1.8446744073709552e+19"
  const size_t e = text.find('e');
  std::string digits;
  std::ranges::copy_if(text.substr(0, e), std::back_inserter(digits), is_digit);
  int exp = 0;
  std::from_chars(text.data() + e + 2, end, exp);
  return {digits, text[e + 1] == '-' ? -exp : exp};
}

// Rust's `Display` for f64: the shortest digits that round-trip, written out
// without an exponent ("18446744073709552000", "0.0000001"). Of two equally
// near candidates Rust takes the upper one, C++ the even one: the exact value
// then has one digit more, a 5.
std::string rust_float(double f) {
  std::string out = std::signbit(f) ? "-" : "";
  auto [digits, exp] = decimal_digits(std::fabs(f));
  auto [exact, exact_exp] = decimal_digits(std::fabs(f), 780);
  exact.erase(exact.find_last_not_of('0') + 1);
  if (f != 0 && exact.size() == digits.size() + 1 && exact.back() == '5') {
    digits = exact.substr(0, exact.size() - 1);
    exp = exact_exp;
    size_t k = digits.size();
    while (k > 0 && digits[k - 1] == '9') digits[--k] = '0';
    if (k > 0) {
      ++digits[k - 1];
    } else {
      digits = "1" + digits.substr(1), ++exp;
    }
  }
  const int point = exp + 1, n = static_cast<int>(digits.size());
  if (point <= 0) return out + "0." + std::string(-point, '0') + digits;
  if (point >= n) return out + digits + std::string(point - n, '0');
  return out + digits.substr(0, point) + "." + digits.substr(point);
}

std::string describe(const Number& n) {
  if (const auto* f = std::get_if<double>(&n)) {
    return fmt::format("floating point `{}`", rust_float(*f));
  }
  return std::visit([](auto v) { return fmt::format("integer `{}`", v); }, n);
}

// Code points that Rust's `{:?}` writes as `\u{..}`: controls, separators,
// format characters, private use, combining-mark blocks, unassigned planes.
// An approximation of Rust's tables, which also cover the unassigned code
// points and the combining marks scattered through other blocks.
bool rust_escapes(uint32_t cp) {
  static constexpr std::pair<uint32_t, uint32_t> kRanges[] = {
      {0x00, 0x1F},       {0x7F, 0xA0},     {0xAD, 0xAD},     {0x300, 0x36F},   {0x600, 0x605},
      {0x61C, 0x61C},     {0x6DD, 0x6DD},   {0x70F, 0x70F},   {0x1680, 0x1680}, {0x180E, 0x180E},
      {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF}, {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x2064},
      {0x2066, 0x206F},   {0x20D0, 0x20FF}, {0x3000, 0x3000}, {0xE000, 0xF8FF}, {0xFE00, 0xFE0F},
      {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF}, {0xFFF0, 0xFFFB}, {0xFFFE, 0xFFFF}, {0x40000, 0xDFFFF},
      {0xE0000, 0x10FFFF}};
  return std::ranges::any_of(kRanges, [&](auto r) { return cp >= r.first && cp <= r.second; });
}

// Rust's `{:?}` of a str (valid UTF-8): quoted, with escapes.
std::string rust_debug(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0, len; i < s.size(); i += len) {
    const auto b = static_cast<unsigned char>(s[i]);
    len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    static constexpr std::string_view kPlain = "\0\t\r\n\"\\"sv, kEscaped = "0trn\"\\";
    if (const size_t k = kPlain.find(static_cast<char>(cp)); cp < 0x80 && k != kPlain.npos) {
      out += {'\\', kEscaped[k]};
    } else if (rust_escapes(cp)) {
      out += fmt::format("\\u{{{:x}}}", cp);
    } else {
      out += s.substr(i, len);
    }
  }
  return out + "\"";
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) return out.push_back(static_cast<char>(cp));
  const int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  static constexpr unsigned kLead[] = {0, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(kLead[tail] | cp >> (6 * tail));
  for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80 | (cp >> (6 * k) & 0x3F));
}

// 1e0 ..= 1e308, correctly rounded like Rust's float literals.
double pow10(uint64_t n) {
  static const auto table = [] {
    std::array<double, 309> t{};
    for (size_t k = 0; k < t.size(); ++k) {
      const std::string text = fmt::format("1e{}", k);
      std::from_chars(text.data(), text.data() + text.size(), t[k]);
    }
    return t;
  }();
  return table[n];
}

// serde's `OneOf`: the names a key could have been.
std::string one_of(std::span<const JsonField> fields) {
  if (fields.size() == 1) return fmt::format("`{}`", fields[0].name);
  if (fields.size() == 2) return fmt::format("`{}` or `{}`", fields[0].name, fields[1].name);
  std::string out = "one of ";
  for (size_t k = 0; k < fields.size(); ++k) {
    out += fmt::format("{}`{}`", k ? ", " : "", fields[k].name);
  }
  return out;
}

std::string unknown_field(std::string_view key, std::span<const JsonField> fields) {
  if (fields.empty()) return fmt::format("unknown field `{}`, there are no fields", key);
  return fmt::format("unknown field `{}`, expected {}", key, one_of(fields));
}

}  // namespace

class JsonReader {
 public:
  explicit JsonReader(std::string_view in) : in_(in) {}

  // The whole document: the struct, then only whitespace.
  Status document(const JsonStruct& shape, JsonFieldReader read_field) {
    const auto c = skip_ws();
    if (!c) return peek_fail("EOF while parsing a value");
    Status r;
    if (c == '[' || c == '{') {
      ++i_;
      r = c == '[' ? array(shape, read_field) : object(shape, read_field);
      const Status closed = end(c == '[' ? ']' : '}');
      if (r && !closed) r = std::unexpected(closed.error());
    } else {
      r = std::unexpected(invalid_type(fmt::format("struct {}", shape.name)));
    }
    if (!r) return std::unexpected(r.error().line ? r.error() : error(r.error().message));
    if (skip_ws()) return peek_fail("trailing characters");
    return r;
  }

  // `null` ahead: consumed.
  Result<bool> null() {
    if (skip_ws() != 'n') return false;
    ++i_;
    KELV_TRY(ok, ident("ull"));
    return true;
  }

  Result<std::string> text() {
    const auto c = skip_ws();
    if (!c) return peek_fail("EOF while parsing a value");
    if (c != '"') return std::unexpected(invalid_type("a string"));
    ++i_;
    return string();
  }

  Result<bool> boolean() {
    const auto c = skip_ws();
    if (!c) return peek_fail("EOF while parsing a value");
    if (c != 't' && c != 'f') return std::unexpected(invalid_type("a boolean"));
    ++i_;
    KELV_TRY(ok, ident(c == 't' ? "rue" : "alse"));
    return c == 't';
  }

  template <class U>
  Result<U> unsigned_int() {
    constexpr std::string_view expected = sizeof(U) == 4 ? "u32" : "u64";
    static_assert(sizeof(U) == 4 || sizeof(U) == 8);
    const auto c = skip_ws();
    if (!c) return peek_fail("EOF while parsing a value");
    if (c != '-' && !is_digit(*c)) return std::unexpected(invalid_type(expected));
    if (c == '-') ++i_;
    KELV_TRY(n, number(c != '-'));
    const auto* u = std::get_if<uint64_t>(&*n);
    if (u && *u <= std::numeric_limits<U>::max()) return static_cast<U>(*u);
    const char* kind = std::holds_alternative<double>(*n) ? "type" : "value";
    return fail(fmt::format("invalid {}: {}, expected {}", kind, describe(*n), expected));
  }

 private:
  std::string_view in_;
  size_t i_ = 0;  // bytes consumed

  std::optional<unsigned char> peek() const {
    if (i_ < in_.size()) return static_cast<unsigned char>(in_[i_]);
    return std::nullopt;
  }
  int peek_or_null() const { return peek().value_or(0); }
  std::optional<unsigned char> next() {
    const auto c = peek();
    if (c) ++i_;
    return c;
  }
  std::optional<unsigned char> skip_ws() {
    while (peek() == ' ' || peek() == '\n' || peek() == '\t' || peek() == '\r') ++i_;
    return peek();
  }

  // Errors at the bytes consumed so far, or just past the next one.
  JsonError at(size_t index, std::string msg) const {
    const std::string_view before = in_.substr(0, index);
    const size_t nl = before.rfind('\n');
    return {std::move(msg), 1 + static_cast<size_t>(std::ranges::count(before, '\n')),
            nl == before.npos ? index : index - nl - 1};
  }
  JsonError error(std::string msg) const { return at(i_, std::move(msg)); }
  JsonError peek_error(std::string msg) const {
    return at(std::min(in_.size(), i_ + 1), std::move(msg));
  }
  std::unexpected<JsonError> fail(std::string msg) const {
    return std::unexpected(error(std::move(msg)));
  }
  std::unexpected<JsonError> peek_fail(std::string msg) const {
    return std::unexpected(peek_error(std::move(msg)));
  }

  Status ident(std::string_view rest) {
    for (const char expected : rest) {
      const auto c = next();
      if (!c) return fail("EOF while parsing a value");
      if (c != static_cast<unsigned char>(expected)) return fail("expected ident");
    }
    return {};
  }

  // Steps to the next entry of an object or array; false at its end.
  Result<bool> next_entry(bool first, char close) {
    const bool list = close == ']';
    auto c = skip_ws();
    if (!c) return peek_fail(list ? "EOF while parsing a list" : "EOF while parsing an object");
    if (c == close) return false;
    if (c == ',' && !first) {
      ++i_;
      c = skip_ws();
    } else if (!first) {
      return peek_fail(list ? "expected `,` or `]`" : "expected `,` or `}`");
    }
    if (!c) return peek_fail("EOF while parsing a value");
    if (c == close) return peek_fail("trailing comma");
    return true;
  }

  // The members of `{...}`, after the brace, checked as serde's derived code does.
  Status object(const JsonStruct& shape, JsonFieldReader read_field) {
    assert(shape.fields.size() <= 64);
    uint64_t seen = 0;  // bit k: member k was given
    for (bool first = true;; first = false) {
      KELV_TRY(more, next_entry(first, '}'));
      if (!*more) break;
      if (peek() != '"') return peek_fail("key must be a string");
      ++i_;
      KELV_TRY(key, string());
      const auto field = std::ranges::find(shape.fields, *key, &JsonField::name);
      if (field == shape.fields.end()) {
        return std::unexpected(JsonError{unknown_field(*key, shape.fields)});
      }
      const uint64_t bit = uint64_t{1} << (field - shape.fields.begin());
      if (seen & bit) return std::unexpected(JsonError{fmt::format("duplicate field `{}`", *key)});
      const auto colon = skip_ws();
      if (!colon) return peek_fail("EOF while parsing an object");
      if (colon != ':') return peek_fail("expected `:`");
      ++i_;
      KELV_TRY(ok, read_field(static_cast<size_t>(field - shape.fields.begin()), *this));
      seen |= bit;
    }
    return missing(shape, seen);
  }

  // The first required member, in declaration order, that was not given.
  static Status missing(const JsonStruct& shape, uint64_t seen) {
    for (size_t k = 0; k < shape.fields.size(); ++k) {
      if (shape.fields[k].required && !(seen >> k & 1)) {
        return std::unexpected(JsonError{fmt::format("missing field `{}`", shape.fields[k].name)});
      }
    }
    return {};
  }

  // The elements of `[...]`, after the bracket: the members in order.
  Status array(const JsonStruct& shape, JsonFieldReader read_field) {
    const size_t n = shape.fields.size();
    for (size_t k = 0; k < n; ++k) {
      KELV_TRY(more, next_entry(k == 0, ']'));
      if (!*more) {
        return std::unexpected(
            JsonError{fmt::format("invalid length {}, expected struct {} with {} {}", k, shape.name,
                                  n, n == 1 ? "element" : "elements")});
      }
      KELV_TRY(ok, read_field(k, *this));
    }
    return {};
  }

  // After the entries: the closing bracket (read even after an error, which
  // moves the position then given to errors that had none).
  Status end(char close) {
    const auto c = skip_ws();
    if (c == close) return ++i_, Status{};
    if (c == ',' && close == '}') return peek_fail("trailing comma");
    if (c == ',') {
      ++i_;
      return peek_fail(skip_ws() == ']' ? "trailing comma" : "trailing characters");
    }
    if (c) return peek_fail("trailing characters");
    return peek_fail(close == ']' ? "EOF while parsing a list" : "EOF while parsing an object");
  }

  // The value ahead is not of the expected kind: reads it to name it.
  JsonError invalid_type(std::string_view expected) {
    auto found = value_kind();
    if (!found) return std::move(found.error());
    return error(fmt::format("invalid type: {}, expected {}", *found, expected));
  }

  // Reads the value ahead (a container only up to its bracket) to name it.
  Result<std::string> value_kind() {
    const int c = peek_or_null();
    if (c == 'n' || c == 't' || c == 'f') return literal_kind(c);
    if (c == '[' || c == '{') return std::string(c == '[' ? "sequence" : "map");
    if (c == '"') {
      ++i_;
      KELV_TRY(s, string());
      return "string " + rust_debug(*s);
    }
    if (c != '-' && !is_digit(c)) return peek_fail("expected value");
    if (c == '-') ++i_;
    KELV_TRY(n, number(c != '-'));
    return describe(*n);
  }

  Result<std::string> literal_kind(int c) {
    ++i_;
    const std::string_view word = c == 'n' ? "null" : c == 't' ? "true" : "false";
    KELV_TRY(ok, ident(word.substr(1)));
    return c == 'n' ? std::string(word) : fmt::format("boolean `{}`", word);
  }

  // A number, after its minus sign if any.
  Result<Number> number(bool positive) {
    const auto c = next();
    if (!c) return fail("EOF while parsing a value");
    if (!is_digit(*c)) return fail("invalid number");
    if (c == '0' && is_digit(peek_or_null())) return peek_fail("invalid number");
    uint64_t sig = *c - '0';
    int exp = 0;
    while (c != '0' && is_digit(peek_or_null())) {
      const uint64_t digit = peek_or_null() - '0';
      if (overflows(sig, digit, std::numeric_limits<uint64_t>::max())) {
        for (; is_digit(peek_or_null()); ++i_) ++exp;  // beyond u64: only scales
        break;
      }
      ++i_;
      sig = sig * 10 + digit;
    }
    Result<double> f;
    if (peek_or_null() == '.') {
      f = fraction(positive, sig, exp);
    } else if (is_exp(peek_or_null())) {
      f = exponent(positive, sig, exp);
    } else if (exp > 0) {
      f = from_parts(positive, sig, exp);
    } else {
      if (positive) return sig;
      const auto neg = static_cast<int64_t>(0 - sig);                    // Rust's wrapping_neg
      return neg < 0 ? Number(neg) : Number(-static_cast<double>(sig));  // -0, below i64::MIN
    }
    if (!f) return std::unexpected(std::move(f.error()));
    return *f;
  }

  Result<double> fraction(bool positive, uint64_t sig, int exp) {
    ++i_;  // '.'
    for (; is_digit(peek_or_null()); ++i_, --exp) {
      const uint64_t digit = peek_or_null() - '0';
      if (overflows(sig, digit, std::numeric_limits<uint64_t>::max())) {
        while (is_digit(peek_or_null())) ++i_;  // beyond u64: ignored
        return is_exp(peek_or_null()) ? exponent(positive, sig, exp)
                                      : from_parts(positive, sig, exp);
      }
      sig = sig * 10 + digit;
    }
    // serde_json's test for a digit after the point: an unchanged exponent.
    if (exp == 0) return peek_fail(peek() ? "invalid number" : "EOF while parsing a value");
    return is_exp(peek_or_null()) ? exponent(positive, sig, exp) : from_parts(positive, sig, exp);
  }

  Result<double> exponent(bool positive, uint64_t sig, int starting) {
    ++i_;  // 'e'
    const bool positive_exp = peek_or_null() != '-';
    if (peek_or_null() == '+' || peek_or_null() == '-') ++i_;
    const auto c = next();
    if (!c) return fail("EOF while parsing a value");
    if (!is_digit(*c)) return fail("invalid number");
    int64_t exp = *c - '0';
    while (is_digit(peek_or_null())) {
      const int digit = peek_or_null() - '0';
      ++i_;
      if (overflows(exp, digit, std::numeric_limits<int32_t>::max())) {
        if (sig != 0 && positive_exp) return fail("number out of range");
        while (is_digit(peek_or_null())) ++i_;
        return positive ? 0.0 : -0.0;
      }
      exp = exp * 10 + digit;
    }
    const int64_t total = starting + (positive_exp ? exp : -exp);
    constexpr int64_t kMin = std::numeric_limits<int32_t>::min(), kMax = -(kMin + 1);
    return from_parts(positive, sig, static_cast<int>(std::clamp(total, kMin, kMax)));
  }

  // serde_json's own (not correctly rounded) scaling by a power of ten.
  Result<double> from_parts(bool positive, uint64_t sig, int64_t exp) {
    double f = static_cast<double>(sig);
    for (;;) {
      if (const uint64_t mag = exp < 0 ? -exp : exp; mag <= 308) {
        f = exp < 0 ? f / pow10(mag) : f * pow10(mag);
        if (std::isinf(f)) return fail("number out of range");
        break;
      }
      if (f == 0.0) break;
      if (exp >= 0) return fail("number out of range");
      f /= 1e308;
      exp += 308;
    }
    return positive ? f : -f;
  }

  // A string's contents, after its opening quote.
  Result<std::string> string() {
    std::string out;
    for (size_t start = i_;; start = i_) {
      while (i_ < in_.size() && in_[i_] != '"' && in_[i_] != '\\' &&
             static_cast<unsigned char>(in_[i_]) >= 0x20) {
        ++i_;
      }
      if (i_ == in_.size()) return fail("EOF while parsing a string");
      out.append(in_.substr(start, i_ - start));
      const char c = in_[i_++];
      if (c == '"') {
        if (!util::is_utf8(out)) return fail("invalid unicode code point");
        return out;
      }
      if (c != '\\') {
        return fail("control character (\\u0000-\\u001F) found while parsing a string");
      }
      KELV_TRY(ok, escape(out));
    }
  }

  Status escape(std::string& out) {
    const auto c = next();
    if (!c) return fail("EOF while parsing a string");
    static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
    if (const size_t k = kFrom.find(static_cast<char>(*c)); k != kFrom.npos) {
      out += kTo[k];
      return {};
    }
    if (c != 'u') return fail("invalid escape");
    KELV_TRY(cp, hex4());
    if (*cp >= 0xDC00 && *cp <= 0xDFFF) return fail("lone leading surrogate in hex escape");
    if (*cp >= 0xD800 && *cp <= 0xDBFF) {
      for (const char expected : {'\\', 'u'}) {
        const auto p = peek();
        if (!p) return fail("EOF while parsing a string");
        ++i_;
        if (p != expected) return fail("unexpected end of hex escape");
      }
      KELV_TRY(low, hex4());
      if (*low < 0xDC00 || *low > 0xDFFF) return fail("lone leading surrogate in hex escape");
      *cp = ((*cp - 0xD800) << 10 | (*low - 0xDC00)) + 0x10000;
    }
    append_utf8(out, *cp);
    return {};
  }

  Result<uint32_t> hex4() {
    if (i_ + 4 > in_.size()) {
      i_ = in_.size();
      return fail("EOF while parsing a string");
    }
    uint32_t n = 0;
    for (int k = 0; k < 4; ++k) {
      const int c = static_cast<unsigned char>(in_[i_++]), lower = c | 0x20;
      const int v = is_digit(c) ? c - '0' : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
      if (v < 0) return fail("invalid escape");
      n = n << 4 | static_cast<uint32_t>(v);
    }
    return n;
  }
};

std::expected<bool, JsonError> read_json_null(JsonReader& in) {
  return in.null();
}

namespace {

template <class T>
JsonStatus put(T& out, Result<T> value) {
  if (!value) return std::unexpected(std::move(value.error()));
  out = std::move(*value);
  return {};
}

}  // namespace

JsonStatus read_json_value(JsonReader& in, std::string& out) {
  return put(out, in.text());
}

JsonStatus read_json_value(JsonReader& in, bool& out) {
  return put(out, in.boolean());
}

JsonStatus read_json_value(JsonReader& in, uint32_t& out) {
  return put(out, in.unsigned_int<uint32_t>());
}

JsonStatus read_json_value(JsonReader& in, uint64_t& out) {
  return put(out, in.unsigned_int<uint64_t>());
}

std::expected<void, std::string> read_json_struct(std::string_view bytes, const JsonStruct& shape,
                                                  JsonFieldReader read_field) {
  JsonReader reader(bytes);
  const Status r = reader.document(shape, read_field);
  if (r) return {};
  const JsonError& e = r.error();
  return std::unexpected(fmt::format("{} at line {} column {}", e.message, e.line, e.column));
}

#undef KELV_TRY

}  // namespace kelv::util
