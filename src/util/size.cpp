#include "util/size.h"

#include <cctype>
#include <charconv>
#include <string>

namespace kelv::util {

std::optional<uint64_t> parse_size(std::string_view text) {
  uint64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  std::string unit(end, text.data() + text.size());
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit.ends_with("IB"))
    unit.erase(unit.size() - 2);
  else if (unit.size() > 1 && unit.ends_with("B"))
    unit.pop_back();
  else if (unit == "B")
    unit.clear();
  int shift = 0;
  if (unit == "K")
    shift = 10;
  else if (unit == "M")
    shift = 20;
  else if (unit == "G")
    shift = 30;
  else if (unit == "T")
    shift = 40;
  else if (!unit.empty())
    return std::nullopt;
  if (shift && n > (UINT64_MAX >> shift)) return std::nullopt;
  return n << shift;
}

}  // namespace kelv::util
