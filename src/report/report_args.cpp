#include "report/parts.h"
#include "util/utf8.h"

namespace kelv::report::parts {

std::vector<std::string> expand_arg_files(std::span<const std::string> args) {
  std::vector<std::string> out;
  out.reserve(args.size());
  for (const std::string& arg : args) {
    std::string text = util::lossy(arg);
    if (text.starts_with('@')) {
      auto content = util::read_file(std::filesystem::path(text.substr(1)));
      if (content && util::is_utf8(*content)) {
        for_each_line(*content, [&](std::string_view line) { out.emplace_back(line); });
        continue;
      }
    }
    out.push_back(std::move(text));
  }
  return out;
}

}  // namespace kelv::report::parts
