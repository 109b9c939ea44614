#include <sys/stat.h>

#include "report/parts.h"
#include "util/utf8.h"

namespace kelv::report::parts {

std::vector<std::string> expand_arg_files(std::span<const std::string> args) {
  std::vector<std::string> out;
  out.reserve(args.size());
  for (const std::string& arg : args) {
    std::string text = util::lossy(arg);
    struct stat st;
    // Only regular files: the compiler has already consumed a FIFO or a
    // device, and reading it again could block the wrapper forever.
    if (text.starts_with('@') && ::stat(text.c_str() + 1, &st) == 0 && S_ISREG(st.st_mode)) {
      auto content = util::read_file(std::filesystem::path(text.substr(1)));
      if (content && util::is_utf8(*content)) {
        util::for_each_line(*content, [&](std::string_view line) { out.emplace_back(line); });
        continue;
      }
    }
    out.push_back(std::move(text));
  }
  return out;
}

}  // namespace kelv::report::parts
