#include "artifact_cache/lookup.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/job.h"
#include "artifact_cache/miss_reasons.h"
#include "artifact_cache/records.h"
#include "artifact_cache/store.h"
#include "artifact_cache/trim.h"
#include "rustc/outputs.h"
#include "util/fd.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/hashed_copy.h"
#include "util/paths.h"
#include "util/utf8.h"

namespace kelv::artifact_cache {
namespace {

using PathPairs = std::vector<std::pair<std::string, std::string>>;

std::string text_of(const util::Json& record, const char* member) {
  auto it = record.find(member);
  return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void touch(const fs::path& path) {
  util::Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.valid()) ::futimens(fd.get(), nullptr);
}

std::unexpected<Miss> damaged(std::string detail) {
  return std::unexpected(Miss{"damaged", std::move(detail)});
}

// The hash the entry record holds for a stored file; absent when it holds none.
std::optional<std::string_view> recorded_hash(const util::Json& entry, const std::string& name) {
  const auto hashes = entry.find("hashes");
  if (hashes == entry.end() || !hashes->is_object()) return std::nullopt;
  const auto stored = hashes->find(name);
  if (stored == hashes->end() || !stored->is_string()) return std::nullopt;
  return std::string_view(stored->get_ref<const std::string&>());
}

// The output directories first (two pairs), then remapped directories,
// which are taken only where a path starts.
constexpr size_t output_pairs = 2;

// The dep-info's paths rewritten; the variables' lines ("# env-dep:")
// keep their values but for the output directories: a hit means they are
// this build's too.
std::string rewrite_depinfo(std::string_view bytes, const PathPairs& pairs) {
  const std::span<const std::pair<std::string, std::string>> outputs(
      pairs.data(), std::min(pairs.size(), output_pairs));
  std::string out;
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    const std::string_view line = bytes.substr(0, end == std::string_view::npos ? end : end + 1);
    out += line.starts_with("# env-dep:") ? rewrite_paths(line, outputs)
                                          : rewrite_paths(line, pairs, output_pairs);
    bytes.remove_prefix(line.size());
  }
  return out;
}

// A dep-info file names the directories it was stored with: it is read whole,
// checked, and written back with its paths rewritten.
std::expected<void, Miss> restore_depinfo(const fs::path& stored, const fs::path& target,
                                          std::optional<std::string_view> expected,
                                          const PathPairs& pairs) {
  const std::string name = stored.filename().native();
  auto bytes = util::read_file(stored);
  if (!bytes)
    return damaged(fmt::format("{} is unreadable: {}", name, util::os_error(bytes.error())));
  if (expected != util::blake3_hex(*bytes))
    return damaged(fmt::format("{} does not have the content it was stored with", name));
  if (auto w = util::write_atomic(target, rewrite_depinfo(*bytes, pairs)); !w)
    return damaged(fmt::format("cannot write {}: {}", target.native(), util::os_error(w.error())));
  return {};
}

// Any other file is copied beside its target (a clone where the file system
// can), checked by the hash of what the copy holds, and renamed into place:
// no byte reaches the output directory unverified.
std::expected<std::string, Miss> restore_verified(const fs::path& stored, const fs::path& target,
                                                  std::optional<std::string_view> expected) {
  const std::string name = stored.filename().native();
  const fs::path tmp =
      target.parent_path() / fmt::format(".{}.{}.tmp", util::lossy(name), ::getpid());
  const util::Fd source = util::open_regular(stored.c_str());
  if (!source.valid())
    return damaged(fmt::format("{} is unreadable: {}", name, util::os_error(util::last_error())));
  auto copy = util::copy_hashed(source.get(), tmp);
  // Left by an earlier process of this number; or the output directory is
  // missing, which is made only then.
  if (!copy && copy.error().value() == EEXIST && ::unlink(tmp.c_str()) == 0)
    copy = util::copy_hashed(source.get(), tmp);
  if (!copy && copy.error().value() == ENOENT && util::create_dirs(target.parent_path()))
    copy = util::copy_hashed(source.get(), tmp);
  if (!copy)
    return damaged(fmt::format("{} cannot be restored: {}", name, util::os_error(copy.error())));
  if (expected != copy->blake3) {
    ::unlink(tmp.c_str());
    return damaged(fmt::format("{} does not have the content it was stored with", name));
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    const util::IoError error = util::last_error();
    ::unlink(tmp.c_str());
    return damaged(fmt::format("cannot write {}: {}", target.native(), util::os_error(error)));
  }
  return std::move(copy->blake3);
}

// Checks one stored file against its recorded hash and writes it into the
// output directory (the dep-info with its paths rewritten).
std::expected<void, Miss> restore_file(const Job& job, const util::Json& entry, const fs::path& dir,
                                       const std::string& name, const PathPairs& pairs) {
  // Names are read from the record: a tampered entry must never make the
  // lookup write outside the output directory.
  if (!util::is_plain_file_name(name)) return damaged("entry.json names a file outside the entry");
  const fs::path target = job.output(name);
  const std::optional<std::string_view> expected = recorded_hash(entry, name);
  if (name.ends_with(".d")) return restore_depinfo(dir / name, target, expected, pairs);
  auto hash = restore_verified(dir / name, target, expected);
  if (!hash) return std::unexpected(std::move(hash.error()));
  // Dependents' keys then find the hash without reading the file.
  if (is_library_artifact(name) && !record_content_memo(job.cache_dir, target, *hash))
    return damaged(fmt::format("cannot record the content memo of {}", target.native()));
  return {};
}

// Whether the unit itself writes a file of this name: one of the stored
// outputs around its stem, an executable's only where it links one. An entry
// (from a server above all) that names anything else would overwrite
// another unit's file in the shared output directory.
bool own_output(const Job& job, std::string_view name) {
  return std::any_of(rustc::stored_outputs.begin(), rustc::stored_outputs.end(),
                     [&](const rustc::OutputName& output) {
                       const bool executable = output.prefix.empty() &&
                                               (output.suffix.empty() || output.suffix == ".exe");
                       if (executable && !job.links) return false;
                       return name.size() ==
                                  output.prefix.size() + job.stem.size() + output.suffix.size() &&
                              name.starts_with(output.prefix) && name.ends_with(output.suffix) &&
                              name.substr(output.prefix.size(), job.stem.size()) == job.stem;
                     });
}

std::expected<void, Miss> restore_files(const Job& job, const util::Json& entry,
                                        const fs::path& dir, const PathPairs& pairs) {
  const std::vector<std::string> executable = texts_of(entry, "executable");
  if (!std::all_of(executable.begin(), executable.end(), util::is_plain_file_name))
    return damaged("entry.json names a file outside the entry");
  const std::vector<std::string> files = texts_of(entry, "files");
  for (const std::string& name : files)
    if (!own_output(job, name))
      return damaged(fmt::format("entry.json names {}, which the unit does not write", name));
  for (const std::string& name : files) {
    if (auto restored = restore_file(job, entry, dir, name, pairs); !restored) return restored;
    const bool is_executable =
        std::find(executable.begin(), executable.end(), name) != executable.end();
    if (is_executable && ::chmod(job.output(name).c_str(), 0755) != 0)
      return damaged(fmt::format("cannot make {} executable", name));
  }
  return {};
}

// The OUT_DIR the entry was stored with, when the crate read it through
// the environment and it differs from the current one.
std::optional<std::string> foreign_out_dir(const Job& job, const util::Json& entry) {
  const std::vector<std::string> env_deps = texts_of(entry, "env_deps");
  const std::string stored = text_of(entry, "out_dir_env");
  const bool read_out_dir =
      std::find(env_deps.begin(), env_deps.end(), "OUT_DIR") != env_deps.end();
  if (!read_out_dir || stored.empty()) return std::nullopt;
  if (job.out_dir_env && util::path_str(*job.out_dir_env) == stored) return std::nullopt;
  return stored;
}

std::expected<std::string, Miss> stored_diagnostics(const fs::path& dir) {
  auto bytes = util::read_file(dir / layout::stderr_file);
  if (!bytes)
    return damaged(fmt::format("stderr is unreadable: {}", util::os_error(bytes.error())));
  return std::move(*bytes);
}

// Restores the entry's outputs and hands back its diagnostics; an entry
// found damaged on the way is discarded.
std::expected<LookupHit, Miss> replay(const Job& job, const util::Json& entry, const fs::path& dir,
                                      const std::string& name, const struct stat& found) {
  // The output directories first, then the remapped directories of the
  // checkout that stored the entry.
  PathPairs pairs = {
      {text_of(entry, "out_dir"), util::path_str(job.out_dir)},
      {text_of(entry, "out_dir_env"), job.out_dir_env ? util::path_str(*job.out_dir_env) : ""}};
  if (!job.remaps.empty()) {
    const auto recorded = entry.find("remaps");
    const std::vector<std::string> dirs = texts_of(entry, "remaps");
    if (recorded == entry.end() || !recorded->is_array() || recorded->size() != dirs.size() ||
        dirs.size() != job.remaps.list.size())
      return damaged("entry.json does not name the directories it was stored with");
    for (auto& pair : job.remaps.rewrites_from(dirs)) pairs.push_back(std::move(pair));
  }
  const auto still_found = [&] {
    struct stat now;
    return ::lstat(dir.c_str(), &now) == 0 && now.st_ino == found.st_ino &&
           now.st_dev == found.st_dev;
  };
  auto restored = restore_files(job, entry, dir, pairs);
  auto diagnostics = restored ? stored_diagnostics(dir) : std::unexpected(restored.error());
  if (!diagnostics) {
    // A trim (or another process's discard) took the entry away while its
    // files were read: nothing is damaged, and whatever stands there now is
    // not this process's to remove.
    if (!still_found())
      return std::unexpected(Miss{"new", "the entry was removed while it was read"});
    discard(job.cache_dir, dir);
    return std::unexpected(std::move(diagnostics.error()));
  }
  // Another process may have discarded the entry and published it anew
  // while its files were read: the record and the diagnostics would then
  // come from two stores (with other directories in them). The output files
  // were checked against the record; what replaced the entry is left alone.
  if (!still_found()) return damaged("the entry was replaced while it was read");
  touch(dir / layout::entry_record_file);
  std::optional<uint64_t> compile_ns;
  if (auto it = entry.find("compile_ns"); it != entry.end() && it->is_number_unsigned())
    compile_ns = it->get<uint64_t>();
  return LookupHit{rewrite_paths(*diagnostics, pairs, output_pairs), name,
                   foreign_out_dir(job, entry), compile_ns};
}

}  // namespace

std::string rewrite_paths(std::string_view bytes,
                          std::span<const std::pair<std::string, std::string>> pairs,
                          size_t anchored_from) {
  const std::string text = util::lossy(bytes);
  std::vector<const std::pair<std::string, std::string>*> active;
  for (const auto& pair : pairs)
    if (!pair.first.empty() && pair.first != pair.second) active.push_back(&pair);
  // Where a path can start: the text's start, or after a separator.
  const auto path_starts = [&](size_t pos) {
    return pos == 0 || std::string_view(" \t\n:=\"'").find(text[pos - 1]) != std::string_view::npos;
  };
  if (active.empty()) return text;
  // One left-to-right pass, the pairs tried in order at each position: what
  // one pair wrote is never rewritten by another, so a tampered entry cannot
  // make the replacement grow the text without bound.
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const auto hit = std::find_if(active.begin(), active.end(), [&](const auto* pair) {
      return std::string_view(text).substr(pos).starts_with(pair->first) &&
             (static_cast<size_t>(pair - pairs.data()) < anchored_from || path_starts(pos));
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

std::string_view Job::entry_key(const util::Json& record) const {
  return bound_key && record.contains("path_bound") ? std::string_view(*bound_key) : key;
}

std::expected<LookupHit, Miss> Job::lookup() const {
  const auto record = util::read_json(key_record(key));
  if (!record || !record->is_object()) return std::unexpected(why_new_key(*this));
  const std::string_view name_key = entry_key(*record);
  // A record bound to another checkout's paths names its libraries and
  // files, not this unit's.
  if (name_key != key && text_of(*record, "bound_key") != name_key)
    return std::unexpected(
        Miss{"new", "stored for another checkout, whose paths its outputs name"});
  auto state =
      entry_state(cache_dir, name_key, texts_of(*record, "env_deps"), texts_of(*record, "inputs"),
                  texts_of(*record, "span_deps"), cwd, remaps);
  if (!state) return std::unexpected(std::move(state.error()));
  const fs::path dir = entry_dir(state->name);
  // Entries are directories made by the store; a planted link could lead
  // the lookup (and its touch of entry.json) elsewhere.
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0)
    return std::unexpected(what_changed(*record, name_key, *state));
  if (!S_ISDIR(st.st_mode)) return damaged("the entry is not a directory");
  // Left in place: the next store of the unit replaces it.
  const auto entry = util::read_json(dir / layout::entry_record_file);
  if (!entry || !entry->is_object()) return damaged("entry.json is unreadable");
  auto hit = replay(*this, *entry, dir, state->name, st);
  // The key record is kept while its entries are used.
  if (hit) util::refresh_mtime(key_record(key), day_ns);
  return hit;
}

bool discard(const fs::path& cache_dir, const fs::path& entry_dir) {
  const fs::path trash = layout::trash(cache_dir, ::getpid(), util::path_str(entry_dir.filename()));
  // tmp/ is made only when the rename finds it missing: a trim discards
  // thousands of entries in a row.
  if (::rename(entry_dir.c_str(), trash.c_str()) != 0 &&
      (errno != ENOENT || !util::create_dirs(layout::temporary(cache_dir)) ||
       ::rename(entry_dir.c_str(), trash.c_str()) != 0))
    return false;
  std::error_code ec;
  fs::remove_all(trash, ec);
  return true;
}

}  // namespace kelv::artifact_cache
