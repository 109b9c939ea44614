#include <fcntl.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/job.h"
#include "artifact_cache/records.h"
#include "util/fd.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/utf8.h"

namespace kelv::artifact_cache {
namespace {

std::string text_of(const util::Json& record, const char* member) {
  auto it = record.find(member);
  return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void touch(const fs::path& path) {
  util::Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.valid()) ::futimens(fd.get(), nullptr);
}

}  // namespace

std::string rewrite_paths(std::string_view bytes,
                          std::span<const std::pair<std::string, std::string>> pairs) {
  const std::string text = util::lossy(bytes);
  std::vector<const std::pair<std::string, std::string>*> active;
  for (const auto& pair : pairs)
    if (!pair.first.empty() && pair.first != pair.second) active.push_back(&pair);
  if (active.empty()) return text;
  // One left-to-right pass, the pairs tried in order at each position: what
  // one pair wrote is never rewritten by another, so a tampered entry cannot
  // make the replacement grow the text without bound.
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const auto hit = std::find_if(active.begin(), active.end(), [&](const auto* pair) {
      return std::string_view(text).substr(pos).starts_with(pair->first);
    });
    if (hit == active.end()) {
      out += text[pos++];
    } else {
      out += (*hit)->second;
      pos += (*hit)->first.size();
    }
  }
  return out;
}

std::optional<LookupHit> Job::lookup() const {
  const auto record = util::read_json(key_record(key));
  if (!record || !record->is_object()) return std::nullopt;
  const auto name = entry_name(cache_dir, key, texts_of(*record, "env_deps"),
                               texts_of(*record, "inputs"), texts_of(*record, "span_deps"), cwd);
  if (!name) return std::nullopt;
  const fs::path dir = entry_dir(*name);
  // Entries are directories made by the store; a planted link could lead
  // the lookup (and its touch of entry.json) elsewhere.
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  const auto entry = util::read_json(dir / "entry.json");
  if (!entry || !entry->is_object()) return std::nullopt;
  const auto damaged = [&]() -> std::optional<LookupHit> {
    discard(cache_dir, dir);
    return std::nullopt;
  };

  const std::pair<std::string, std::string> pairs[] = {
      {text_of(*entry, "out_dir"), util::path_str(out_dir)},
      {text_of(*entry, "out_dir_env"), out_dir_env ? util::path_str(*out_dir_env) : ""}};
  // Names are read from the record: a tampered entry must never make the
  // lookup write outside the output directory.
  const std::vector<std::string> executable = texts_of(*entry, "executable");
  if (!std::all_of(executable.begin(), executable.end(), util::is_plain_file_name)) return damaged();
  const auto hashes = entry->find("hashes");
  for (const std::string& name : texts_of(*entry, "files")) {
    if (!util::is_plain_file_name(name)) return damaged();
    auto bytes = util::read_file(dir / name);
    if (!bytes) return damaged();
    const std::string hash = util::blake3_hex(*bytes);
    if (hashes == entry->end() || !hashes->is_object()) return damaged();
    const auto stored = hashes->find(name);
    if (stored == hashes->end() || !stored->is_string() || stored->get<std::string>() != hash)
      return damaged();
    const fs::path target = output(name);
    const bool depinfo = name.ends_with(".d");
    if (auto w = util::write_atomic(target, depinfo ? rewrite_paths(*bytes, pairs) : *bytes); !w)
      return damaged();
    if (is_library_artifact(name) && !record_content_memo(cache_dir, target, hash))
      return damaged();
    if (std::find(executable.begin(), executable.end(), name) != executable.end() &&
        ::chmod(target.c_str(), 0755) != 0)
      return damaged();
  }
  auto diagnostics = util::read_file(dir / "stderr");
  if (!diagnostics) return damaged();
  touch(dir / "entry.json");

  LookupHit hit{rewrite_paths(*diagnostics, pairs), *name, std::nullopt};
  const std::vector<std::string> env_deps = texts_of(*entry, "env_deps");
  const std::string stored_out_dir_env = text_of(*entry, "out_dir_env");
  if (std::find(env_deps.begin(), env_deps.end(), "OUT_DIR") != env_deps.end() &&
      !stored_out_dir_env.empty() &&
      (!out_dir_env || util::path_str(*out_dir_env) != stored_out_dir_env))
    hit.foreign_out_dir = stored_out_dir_env;
  return hit;
}

bool discard(const fs::path& cache_dir, const fs::path& entry_dir) {
  const fs::path trash =
      cache_dir / "tmp" /
      ("discard-" + std::to_string(::getpid()) + "-" + util::path_str(entry_dir.filename()));
  if (!util::create_dirs(cache_dir / "tmp")) return false;
  if (::rename(entry_dir.c_str(), trash.c_str()) != 0) return false;
  std::error_code ec;
  fs::remove_all(trash, ec);
  return true;
}

}  // namespace kelv::artifact_cache
