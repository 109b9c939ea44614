#include "artifact_cache/miss_reasons.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "util/hash.h"

namespace kelv::artifact_cache {
namespace {

// A key line as the unit record keeps it: what kind of line it is, and a
// digest of its text (the text itself may hold values not to be kept).
struct RecordedLine {
  Miss label;
  std::string digest;
};

// The option an argument line sets, up to its "="; empty for a plain value.
std::string option_name(std::string_view line) {
  if (!line.starts_with('-')) return "";
  return std::string(line.substr(0, line.find('=')));
}

// What a change of key line `i` means.
Miss label_of(const KeyLines& key, size_t i) {
  const std::string_view line = key.lines[i];
  if (i >= key.externs_at) {
    std::string_view value =
        line.substr(std::min(line.size(), std::string_view("--extern=").size()));
    return {"dependency", std::string(value.substr(0, value.find('=')))};
  }
  if (i >= key.environment_at) {
    if (line.starts_with("OUT_DIR=sha:")) return {"input", "<OUT_DIR>"};
    return {"environment", std::string(line.substr(0, line.find('=')))};
  }
  if (line.starts_with("native:"))
    return {"input", std::string(line.substr(7, line.rfind('=') - 7))};
  if (i >= key.arguments_at) return {"arguments", option_name(line)};
  if (line.starts_with("rustc=")) return {"compiler", "rustc"};
  if (line.starts_with("driver=")) return {"compiler", "driver"};
  if (line.starts_with("workspace=")) return {"arguments", "workspace"};
  return {"new", ""};  // the format line: another cache format
}

std::vector<RecordedLine> recorded_lines(const KeyLines& key) {
  std::vector<RecordedLine> lines;
  lines.reserve(key.lines.size());
  for (size_t i = 0; i < key.lines.size(); ++i)
    lines.push_back({label_of(key, i), util::key_digest({std::string_view(key.lines[i])})});
  return lines;
}

bool is_text_triple(const util::Json& element) {
  return element.is_array() && element.size() == 3 && element[0].is_string() &&
         element[1].is_string() && element[2].is_string();
}

// The lines of a unit record; empty when it is malformed.
std::vector<RecordedLine> read_unit_record(const util::Json& record) {
  std::vector<RecordedLine> lines;
  const auto member = record.find("lines");
  if (member == record.end() || !member->is_array()) return lines;
  for (const auto& element : *member) {
    if (!is_text_triple(element)) return {};
    lines.push_back({{element[0].get<std::string>(), element[1].get<std::string>()},
                     element[2].get<std::string>()});
  }
  return lines;
}

bool has_label(const std::vector<RecordedLine>& lines, const Miss& label) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const RecordedLine& line) { return line.label == label; });
}

// The first line where the two lists part. Where one side's line at that
// point is missing from the other side, that one was added or removed (a
// variable set or unset, a dependency added or dropped) and names the change.
Miss first_difference(const std::vector<RecordedLine>& before,
                      const std::vector<RecordedLine>& now) {
  size_t i = 0;
  while (i < before.size() && i < now.size() && before[i].digest == now[i].digest) ++i;
  if (i == before.size() && i == now.size()) return {"new", ""};
  if (i == now.size()) return before[i].label;
  if (i == before.size() || !has_label(before, now[i].label)) return now[i].label;
  if (!has_label(now, before[i].label)) return before[i].label;
  return now[i].label;
}

util::Json digests_object(const std::vector<std::pair<std::string, std::string>>& items) {
  util::Json object = util::Json::object();
  for (const auto& [name, digest] : items) object[name] = digest;
  return object;
}

// The first item whose digest the record does not hold; `complete` turns
// false when the record has no such member at all (an older writer).
std::optional<Miss> first_changed(const util::Json& record, const char* member,
                                  const std::vector<std::pair<std::string, std::string>>& items,
                                  std::string_view category, bool& complete) {
  const auto recorded = record.find(member);
  if (recorded == record.end() || !recorded->is_object()) {
    complete = false;
    return std::nullopt;
  }
  for (const auto& [name, digest] : items) {
    const auto it = recorded->find(name);
    if (it == recorded->end() || !it->is_string() || it->get_ref<const std::string&>() != digest)
      return Miss{std::string(category), name};
  }
  return std::nullopt;
}

}  // namespace

std::string env_digest(std::string_view key, std::string_view entry_line) {
  return util::key_digest({key, entry_line});
}

void add_state_digests(util::Json& key_record, std::string_view key, const EntryState& state) {
  std::vector<std::pair<std::string, std::string>> env;
  env.reserve(state.env.size());
  for (const auto& [name, line] : state.env) env.emplace_back(name, env_digest(key, line));
  key_record["env_digests"] = digests_object(env);
  key_record["span_hashes"] = digests_object(state.spans);
  key_record["input_hashes"] = digests_object(state.inputs);
}

Miss what_changed(const util::Json& key_record, std::string_view key, const EntryState& now) {
  bool complete = true;
  if (auto changed = first_changed(key_record, "input_hashes", now.inputs, "input", complete))
    return *changed;
  std::vector<std::pair<std::string, std::string>> env;
  for (const auto& [name, line] : now.env) env.emplace_back(name, env_digest(key, line));
  if (auto changed = first_changed(key_record, "env_digests", env, "environment", complete))
    return *changed;
  if (auto changed = first_changed(key_record, "span_hashes", now.spans, "dependency", complete))
    return *changed;
  // A record without the digests cannot tell which of them changed.
  if (!complete) return {"input", ""};
  // Everything is as when the entry was stored: it was removed since.
  return {"new", "the entry was removed"};
}

void write_unit_record(const Job& job) {
  if (job.key_lines.lines.empty()) return;
  util::Json lines = util::Json::array();
  for (const RecordedLine& line : recorded_lines(job.key_lines))
    lines.push_back({line.label.category, line.label.detail, line.digest});
  util::Json record = util::Json::object();
  record["key"] = job.key;
  record["lines"] = std::move(lines);
  (void)util::write_json_fast(layout::unit_record(job.cache_dir, job.unit_name()), record);
}

Miss why_new_key(const Job& job) {
  const auto record = util::read_json(layout::unit_record(job.cache_dir, job.unit_name()));
  if (!record || !record->is_object()) return {"new", ""};
  const std::vector<RecordedLine> before = read_unit_record(*record);
  if (before.empty()) return {"new", ""};
  return first_difference(before, recorded_lines(job.key_lines));
}

}  // namespace kelv::artifact_cache
