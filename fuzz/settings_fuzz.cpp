// Settings::parse on arbitrary bytes. Checks: an error names a position
// inside the input; accepted input is JSON; accepted settings written out
// again (as an object and as an array) read back unchanged.
#include <algorithm>
#include <charconv>

#include "support.h"
#include "util/files.h"
#include "wrapper/settings.h"

namespace {

using kelv::fuzz::show;
using kelv::wrapper::Settings;

kelv::util::Json optional_json(const auto& value) {
  return value ? kelv::util::Json(*value) : kelv::util::Json(nullptr);
}

bool same(const Settings& a, const Settings& b) {
  return a.artifact_cache == b.artifact_cache && a.frontend_threads == b.frontend_threads &&
         a.min_link_store_ns == b.min_link_store_ns && a.linker_dir == b.linker_dir &&
         a.early_cutoff == b.early_cutoff && a.target_dir == b.target_dir;
}

// "... at line L column C": L and C, when the text ends so.
bool position_of(const std::string& message, size_t& line, size_t& column) {
  const size_t at = message.rfind(" at line ");
  if (at == std::string::npos) return false;
  const char* p = message.data() + at + 9;
  const char* end = message.data() + message.size();
  auto r = std::from_chars(p, end, line);
  if (r.ec != std::errc() || std::string_view(r.ptr, end).substr(0, 8) != " column ") return false;
  r = std::from_chars(r.ptr + 8, end, column);
  return r.ec == std::errc() && r.ptr == end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = kelv::fuzz::bytes_of(data, size);
  const auto parsed = Settings::parse(input);
  if (!parsed) {
    size_t line = 0, column = 0;
    FUZZ_CHECK(position_of(parsed.error(), line, column), "error: " + show(parsed.error()));
    const auto lines = 1 + static_cast<size_t>(std::ranges::count(input, '\n'));
    FUZZ_CHECK(line >= 1 && line <= lines && column <= size,
               "error: " + show(parsed.error()) + " input: " + show(input));
    return 0;
  }

  FUZZ_CHECK(kelv::util::parse_json(input).has_value(), "accepted but not JSON: " + show(input));

  const Settings& s = *parsed;
  kelv::util::Json object = kelv::util::Json::object();
  object["artifact_cache"] = optional_json(s.artifact_cache);
  object["frontend_threads"] = optional_json(s.frontend_threads);
  object["min_link_store_ns"] = s.min_link_store_ns;
  object["linker_dir"] = optional_json(s.linker_dir);
  object["early_cutoff"] = s.early_cutoff;
  object["target_dir"] = optional_json(s.target_dir);
  kelv::util::Json array = kelv::util::Json::array();
  for (const auto& [key, value] : object.items()) array.push_back(value);

  for (const kelv::util::Json& form : {object, array}) {
    const std::string text = form.dump();
    const auto again = Settings::parse(text);
    FUZZ_CHECK(again.has_value(), "written out " + show(text) +
                                      " is rejected: " + (again ? std::string() : again.error()));
    FUZZ_CHECK(same(s, *again),
               "written out " + show(text) + " reads back differently; input " + show(input));
  }
  return 0;
}
