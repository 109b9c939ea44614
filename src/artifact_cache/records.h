#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include "util/files.h"

namespace kelv::artifact_cache {

// The text elements of an array member of a record, in order; empty when
// the member is missing or not an array, and elements that are not text are
// skipped.
inline std::vector<std::string> texts_of(const util::Json& record, const char* member) {
  std::vector<std::string> out;
  auto it = record.find(member);
  if (it == record.end() || !it->is_array()) return out;
  for (const auto& v : *it)
    if (v.is_string()) out.push_back(v.get<std::string>());
  return out;
}

// Sorted, each text once.
inline void sort_unique(std::vector<std::string>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace kelv::artifact_cache
