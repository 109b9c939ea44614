#include "rustc/depinfo.h"

#include "util/text.h"

namespace kelv::rustc {

DepInfo parse_depinfo(std::string_view text) {
  constexpr std::string_view env_dep_prefix = "# env-dep:";
  DepInfo info;
  util::for_each_line(text, [&](std::string_view line) {
    if (line.starts_with(env_dep_prefix)) {
      line.remove_prefix(env_dep_prefix.size());
      const size_t eq = line.find('=');
      EnvDep dep{.name = line.substr(0, eq), .value = std::nullopt};
      if (eq != std::string_view::npos) dep.value = line.substr(eq + 1);
      info.env_deps.push_back(dep);
    } else if (info.inputs.empty() && !line.starts_with('#')) {
      const size_t sep = line.find(": ");
      if (sep == std::string_view::npos) return;
      info.inputs = split_depinfo_paths(line.substr(sep + 2));
      if (!info.first_rule) info.first_rule = info.inputs;
    }
  });
  return info;
}

std::vector<std::string> split_depinfo_paths(std::string_view line) {
  std::vector<std::string> paths;
  std::string current;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && line[i + 1] == ' ') {
      current += ' ';
      ++i;
    } else if (c == ' ' || c == '\t') {
      if (!current.empty()) paths.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) paths.push_back(std::move(current));
  return paths;
}

}  // namespace kelv::rustc
