#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/job.h"
#include "artifact_cache/records.h"
#include "artifact_cache/store.h"
#include "artifact_cache/trim.h"
#include "util/files.h"
#include "util/paths.h"
#include "util/utf8.h"

namespace kelv::artifact_cache {
namespace {

constexpr std::string_view object_suffix = ".rcgu.o";

bool is_name_byte(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_';
}

std::optional<std::string> fingerprint_of(const fs::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return fingerprint(st);
}

size_t count_occurrences(std::string_view text, std::string_view needle) {
  size_t n = 0;
  for (size_t pos = 0; (pos = text.find(needle, pos)) != std::string_view::npos;
       pos += needle.size())
    ++n;
  return n;
}

std::string unreadable(const fs::path& path, const std::string& error) {
  return fmt::format("{} is unreadable: {}", path.native(), error);
}

// The names in the objects directory the driver kept, sorted.
std::expected<std::vector<std::string>, std::string> list_kept(const fs::path& objects_dir) {
  DIR* dir = ::opendir(objects_dir.c_str());
  if (!dir)
    return std::unexpected(fmt::format("the driver kept no objects ({}: {})", objects_dir.native(),
                                       util::os_error(util::last_error())));
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
  std::vector<std::string> kept;
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") kept.push_back(util::lossy(name));
  }
  std::sort(kept.begin(), kept.end());
  return kept;
}

// The object files the .rlink names, all of which must be this unit's in
// its output directory ("<out_dir>/<stem>.<name>.rcgu.o") and kept.
std::expected<void, std::string> check_rlink(const Job& job, const std::string& bytes,
                                             const std::vector<std::string>& kept) {
  const fs::path rlink = job.rlink_path();
  const std::string prefix = fmt::format("{}/{}.", util::path_str(job.out_dir), job.stem);
  std::set<std::string> referenced;
  size_t named_here = 0;
  for (size_t pos = 0; (pos = bytes.find(prefix, pos)) != std::string::npos;) {
    pos += prefix.size();
    size_t end = pos;
    while (end < bytes.size() && is_name_byte(static_cast<unsigned char>(bytes[end]))) ++end;
    const std::string_view run(bytes.data() + pos, end - pos);
    if (run.size() >= object_suffix.size() && run.ends_with(object_suffix)) {
      ++named_here;
      referenced.insert(fmt::format("{}.{}", job.stem, run));
    }
  }
  if (referenced.empty() || named_here != count_occurrences(bytes, object_suffix))
    return std::unexpected(fmt::format(
        "{} names object files other than this unit's in its output directory", rlink.native()));
  for (const std::string& name : referenced) {
    if (!std::binary_search(kept.begin(), kept.end(), name))
      return std::unexpected(fmt::format("{} names {}, which was not kept", rlink.native(), name));
  }
  return {};
}

// The relink record's "files": the .rlink, then every kept file, each with
// its fingerprint.
std::expected<util::Json, std::string> fingerprint_files(const Job& job,
                                                         const std::vector<std::string>& kept) {
  util::Json files = util::Json::array();
  std::vector<std::pair<std::string, fs::path>> paths = {{job.stem + ".rlink", job.rlink_path()}};
  for (const std::string& name : kept) paths.emplace_back(name, job.kept_objects() / name);
  for (const auto& [name, path] : paths) {
    auto fp = fingerprint_of(path);
    if (!fp) return std::unexpected(unreadable(path, util::os_error(util::last_error())));
    files.push_back({name, *fp});
  }
  return files;
}

// The dep-info of the compilation whose objects are kept, as text.
std::expected<std::string, std::string> kept_depinfo(const Job& job) {
  // A relink writes no dep-info of its own: the one this compilation wrote
  // is kept with the record and put back by a relink, so that Cargo and the
  // cache see the unit's real inputs afterwards.
  const fs::path path = job.output(job.stem + ".d");
  auto depinfo = util::read_file(path);
  if (!depinfo) return std::unexpected(unreadable(path, util::os_error(depinfo.error())));
  if (!util::is_utf8(*depinfo))
    return std::unexpected(fmt::format("{} is not UTF-8", path.native()));
  return std::move(*depinfo);
}

// The key record of the objects key: what the kept compilation read.
std::expected<void, std::string> write_objects_key_record(const Job& job, const Inputs& in) {
  util::Json record = util::Json::object();
  record["env_deps"] = in.env_deps;
  record["inputs"] = in.inputs;
  if (auto w = util::write_json_fast(job.key_record(*job.objects_key), record); !w)
    return std::unexpected(util::os_error(w.error()));
  return {};
}

// The kept object files a relink record lists, when the record matches the
// files as they are now; absent otherwise.
std::optional<std::vector<std::string>> verified_objects(const Job& job, const util::Json& files) {
  if (!files.is_array() || files.empty()) return std::nullopt;
  std::vector<std::string> objects;
  for (size_t i = 0; i < files.size(); ++i) {
    const auto& element = files[i];
    if (!element.is_array() || element.size() < 2 || !element[0].is_string() ||
        !element[1].is_string())
      return std::nullopt;
    // A tampered record must never link or remove anything elsewhere.
    const std::string name = element[0].get<std::string>();
    if (!util::is_plain_file_name(name)) return std::nullopt;
    const fs::path path = i == 0 ? job.output(name) : job.kept_objects() / name;
    if (fingerprint_of(path) != element[1].get<std::string>()) return std::nullopt;
    if (i > 0) objects.push_back(name);
  }
  return objects;
}

// "key2": the objects key with what the kept compilation read, as it is now.
std::optional<std::string> current_key2(const Job& job) {
  const auto record = util::read_json(job.key_record(*job.objects_key));
  if (!record || !record->is_object()) return std::nullopt;
  util::refresh_mtime(job.key_record(*job.objects_key), day_ns);
  return entry_name(job.cache_dir, *job.objects_key, texts_of(*record, "env_deps"),
                    texts_of(*record, "inputs"), {}, job.cwd, job.remaps);
}

const util::Json* text_member(const util::Json& record, const char* name) {
  const auto it = record.find(name);
  return it != record.end() && it->is_string() ? &*it : nullptr;
}

}  // namespace

fs::path Job::rlink_path() const {
  return output(stem + ".rlink");
}
fs::path Job::kept_objects() const {
  return output(stem + ".kelv-objects");
}

void Job::forget_kept_objects() const {
  ::unlink(output(stem + ".kelv-relink").c_str());
  ::unlink(rlink_path().c_str());
  std::error_code ec;
  fs::remove_all(kept_objects(), ec);
}

std::expected<void, std::string> Job::record_kept_objects(uint64_t start_wall_ns) const {
  using std::unexpected;
  if (!objects_key) return unexpected("not relinkable");
  const fs::path relink_record = output(stem + ".kelv-relink");
  ::unlink(relink_record.c_str());

  auto in = collect_inputs(*this, start_wall_ns);
  if (!in) return unexpected(in.error());
  auto depinfo = kept_depinfo(*this);
  if (!depinfo) return unexpected(depinfo.error());
  const auto key2 = entry_name(cache_dir, *objects_key, in->env_deps, in->inputs, {}, cwd, remaps);
  if (!key2) return unexpected("an input is unreadable");

  auto kept = list_kept(kept_objects());
  if (!kept) return unexpected(kept.error());
  auto bytes = util::read_file(rlink_path());
  if (!bytes) return unexpected(unreadable(rlink_path(), util::os_error(bytes.error())));
  if (auto checked = check_rlink(*this, *bytes, *kept); !checked) return checked;
  auto files = fingerprint_files(*this, *kept);
  if (!files) return unexpected(files.error());

  if (auto written = write_objects_key_record(*this, *in); !written) return written;
  util::Json record = util::Json::object();
  record["key2"] = *key2;
  record["files"] = std::move(*files);
  record["depinfo"] = std::move(*depinfo);
  if (auto w = util::write_json_fast(relink_record, record); !w)
    return unexpected(util::os_error(w.error()));
  return {};
}

std::optional<fs::path> Job::prepare_relink() const {
  if (!objects_key) return std::nullopt;
  const auto key2 = current_key2(*this);
  if (!key2) return std::nullopt;

  const auto record = util::read_json(output(stem + ".kelv-relink"));
  if (!record || !record->is_object()) return std::nullopt;
  const util::Json* recorded_key2 = text_member(*record, "key2");
  if (!recorded_key2 || recorded_key2->get_ref<const std::string&>() != *key2) return std::nullopt;
  const auto files = record->find("files");
  if (files == record->end()) return std::nullopt;
  const util::Json* depinfo = text_member(*record, "depinfo");
  if (!depinfo) return std::nullopt;
  const auto objects = verified_objects(*this, *files);
  if (!objects) return std::nullopt;
  for (const std::string& name : *objects) {
    const fs::path target = output(name);
    ::unlink(target.c_str());
    if (::link((kept_objects() / name).c_str(), target.c_str()) != 0) return std::nullopt;
  }
  // The inputs are those of the kept compilation (key2 matched), and so is
  // its dep-info; written now, it counts as this run's output.
  if (!util::write_atomic(output(stem + ".d"), depinfo->get_ref<const std::string&>()))
    return std::nullopt;
  return rlink_path();
}

}  // namespace kelv::artifact_cache
