#include "wrapper/settings.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>
#include <variant>

#include "util/error.h"
#include "util/files.h"
#include "util/utf8.h"

// The settings file is JSON that an earlier, Rust-based implementation read
// with serde's derived deserializer (unknown fields denied) and serde_json's
// `from_slice`. Its error texts are part of the format: this parser takes the
// same steps in the same order, so that every message and position comes out
// byte for byte as serde_json 1.0 prints it.
namespace kelv::wrapper {
namespace {

using namespace std::literals;

// A message, and the 1-based line and byte column where it arose; line 0
// until known (the struct's own errors get theirs when they leave it).
struct Error {
  std::string msg;
  size_t line = 0;
  size_t column = 0;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

// Binds `var` to the value of an expected, or returns its error (Rust's `?`).
#define KELV_TRY(var, ...)  \
  auto var = (__VA_ARGS__); \
  if (!var) return std::unexpected(std::move(var.error()))

constexpr std::array<std::string_view, 6> kFields = {"artifact_cache",    "frontend_threads",
                                                     "min_link_store_ns", "linker_dir",
                                                     "early_cutoff",      "target_dir"};

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

class Parser {
 public:
  explicit Parser(std::string_view in) : in_(in) {}

  // The whole document: the struct, then only whitespace.
  Result<Settings> document() {
    const auto c = skip_ws();
    if (!c) return peek_fail("EOF while parsing a value");
    Result<Settings> r = std::unexpected(Error{});
    if (c == '[' || c == '{') {
      ++i_;
      r = c == '[' ? array() : object();
      const Status closed = end(c == '[' ? ']' : '}');
      if (r && !closed) r = std::unexpected(closed.error());
    } else {
      r = std::unexpected(invalid_type("struct Settings"));
    }
    if (!r) return std::unexpected(r.error().line ? r.error() : error(r.error().msg));
    if (skip_ws()) return peek_fail("trailing characters");
    return r;
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
  Error at(size_t index, std::string msg) const {
    const std::string_view before = in_.substr(0, index);
    const size_t nl = before.rfind('\n');
    return {std::move(msg), 1 + static_cast<size_t>(std::ranges::count(before, '\n')),
            nl == before.npos ? index : index - nl - 1};
  }
  Error error(std::string msg) const { return at(i_, std::move(msg)); }
  Error peek_error(std::string msg) const {
    return at(std::min(in_.size(), i_ + 1), std::move(msg));
  }
  std::unexpected<Error> fail(std::string msg) const {
    return std::unexpected(error(std::move(msg)));
  }
  std::unexpected<Error> peek_fail(std::string msg) const {
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
  Result<Settings> object() {
    Settings s;
    std::array<bool, kFields.size()> seen{};
    for (bool first = true;; first = false) {
      KELV_TRY(more, next_entry(first, '}'));
      if (!*more) break;
      if (peek() != '"') return peek_fail("key must be a string");
      ++i_;
      KELV_TRY(key, string());
      const auto* field = std::ranges::find(kFields, *key);
      if (field == kFields.end()) {
        return std::unexpected(Error{fmt::format("unknown field `{}`, expected one of `{}`", *key,
                                                 fmt::join(kFields, "`, `"))});
      }
      const auto k = static_cast<size_t>(field - kFields.begin());
      if (seen[k]) return std::unexpected(Error{fmt::format("duplicate field `{}`", *field)});
      const auto colon = skip_ws();
      if (!colon) return peek_fail("EOF while parsing an object");
      if (colon != ':') return peek_fail("expected `:`");
      ++i_;
      KELV_TRY(ok, member(k, s));
      seen[k] = true;
    }
    for (const size_t k : {2, 4}) {  // the members that are not optional
      if (!seen[k]) return std::unexpected(Error{fmt::format("missing field `{}`", kFields[k])});
    }
    return s;
  }

  // The elements of `[...]`, after the bracket: the members in order.
  Result<Settings> array() {
    Settings s;
    for (size_t k = 0; k < kFields.size(); ++k) {
      KELV_TRY(more, next_entry(k == 0, ']'));
      if (!*more) {
        return std::unexpected(Error{fmt::format(
            "invalid length {}, expected struct Settings with {} elements", k, kFields.size())});
      }
      KELV_TRY(ok, member(k, s));
    }
    return s;
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

  template <class T>
  static Status put(T& dst, Result<T> value) {
    if (!value) return std::unexpected(std::move(value.error()));
    dst = std::move(*value);
    return {};
  }

  Status member(size_t k, Settings& s) {
    const auto str = [&] { return text(); };
    if (k == 0) return put(s.artifact_cache, optional(str));
    if (k == 1)
      return put(s.frontend_threads, optional([&] { return unsigned_int<uint32_t>("u32"); }));
    if (k == 2) return put(s.min_link_store_ns, unsigned_int<uint64_t>("u64"));
    if (k == 3) return put(s.linker_dir, optional(str));
    if (k == 4) return put(s.early_cutoff, boolean());
    return put(s.target_dir, optional(str));
  }

  template <class F, class T = typename std::invoke_result_t<F>::value_type>
  Result<std::optional<T>> optional(F read) {
    if (skip_ws() == 'n') {
      ++i_;
      KELV_TRY(ok, ident("ull"));
      return std::nullopt;
    }
    KELV_TRY(value, read());
    return std::move(*value);
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
  Result<U> unsigned_int(std::string_view expected) {
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

  // The value ahead is not of the expected kind: reads it to name it.
  Error invalid_type(std::string_view expected) {
    std::string found;
    const int c = peek_or_null();
    if (c == 'n' || c == 't' || c == 'f') {
      ++i_;
      const std::string_view word = c == 'n' ? "null" : c == 't' ? "true" : "false";
      if (auto r = ident(word.substr(1)); !r) return r.error();
      found = c == 'n' ? "null" : fmt::format("boolean `{}`", word);
    } else if (c == '-' || is_digit(c)) {
      if (c == '-') ++i_;
      auto n = number(c != '-');
      if (!n) return n.error();
      found = describe(*n);
    } else if (c == '"') {
      ++i_;
      auto s = string();
      if (!s) return s.error();
      found = "string " + rust_debug(*s);
    } else if (c == '[' || c == '{') {
      found = c == '[' ? "sequence" : "map";
    } else {
      return peek_error("expected value");
    }
    return error(fmt::format("invalid type: {}, expected {}", found, expected));
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
      const int c = in_[i_++], lower = c | 0x20;
      const int v = is_digit(c) ? c - '0' : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
      if (v < 0) return fail("invalid escape");
      n = n << 4 | static_cast<uint32_t>(v);
    }
    return n;
  }
};

#undef KELV_TRY

}  // namespace

std::expected<Settings, std::string> Settings::parse(std::string_view bytes) {
  auto r = Parser(bytes).document();
  if (r) return std::move(*r);
  const Error& e = r.error();
  return std::unexpected(fmt::format("{} at line {} column {}", e.msg, e.line, e.column));
}

std::expected<std::optional<Settings>, std::string> Settings::read(
    const std::filesystem::path& event_dir) {
  const std::filesystem::path path = event_dir / "wrapper.settings";
  auto bytes = util::read_file(path);
  if (!bytes) {
    if (bytes.error() == std::errc::no_such_file_or_directory) return std::optional<Settings>();
    return std::unexpected(
        fmt::format("cannot read {}: {}", path.native(), util::os_error(bytes.error())));
  }
  auto settings = parse(*bytes);
  if (!settings) {
    return std::unexpected(fmt::format(
        "{} is not valid wrapper settings ({}); the kelv and kelv-rustc-wrapper binaries may be "
        "from different versions",
        path.native(), settings.error()));
  }
  return std::optional<Settings>(std::move(*settings));
}

}  // namespace kelv::wrapper
