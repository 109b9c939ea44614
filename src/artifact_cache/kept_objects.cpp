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
  // A relink writes no dep-info of its own: the one this compilation wrote
  // is kept with the record and put back by a relink, so that Cargo and the
  // cache see the unit's real inputs afterwards.
  const fs::path depinfo_path = output(stem + ".d");
  auto depinfo = util::read_file(depinfo_path);
  if (!depinfo)
    return unexpected(fmt::format("{} is unreadable: {}", depinfo_path.native(),
                                  util::os_error(depinfo.error())));
  if (!util::is_utf8(*depinfo))
    return unexpected(fmt::format("{} is not UTF-8", depinfo_path.native()));
  const auto key2 = entry_name(cache_dir, *objects_key, in->env_deps, in->inputs, {}, cwd);
  if (!key2) return unexpected("an input is unreadable");

  const fs::path objects_dir = kept_objects();
  std::vector<std::string> kept;
  {
    DIR* dir = ::opendir(objects_dir.c_str());
    if (!dir)
      return unexpected(fmt::format("the driver kept no objects ({}: {})", objects_dir.native(),
                                    util::os_error(util::last_error())));
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    while (struct dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") kept.push_back(util::lossy(name));
    }
  }
  std::sort(kept.begin(), kept.end());

  const fs::path rlink = rlink_path();
  auto bytes = util::read_file(rlink);
  if (!bytes)
    return unexpected(
        fmt::format("{} is unreadable: {}", rlink.native(), util::os_error(bytes.error())));
  const std::string prefix = fmt::format("{}/{}.", util::path_str(out_dir), stem);
  std::set<std::string> referenced;
  size_t named_here = 0;
  for (size_t pos = 0; (pos = bytes->find(prefix, pos)) != std::string::npos;) {
    pos += prefix.size();
    size_t end = pos;
    while (end < bytes->size() && is_name_byte(static_cast<unsigned char>((*bytes)[end]))) ++end;
    const std::string_view run(bytes->data() + pos, end - pos);
    if (run.size() >= object_suffix.size() && run.ends_with(object_suffix)) {
      ++named_here;
      referenced.insert(fmt::format("{}.{}", stem, run));
    }
  }
  if (referenced.empty() || named_here != count_occurrences(*bytes, object_suffix))
    return unexpected(
        fmt::format("{} names object files other than this unit's in its output "
                    "directory",
                    rlink.native()));
  for (const std::string& name : referenced) {
    if (!std::binary_search(kept.begin(), kept.end(), name))
      return unexpected(fmt::format("{} names {}, which was not kept", rlink.native(), name));
  }

  util::Json files = util::Json::array();
  const auto add = [&](const std::string& name, const fs::path& path) -> bool {
    auto fp = fingerprint_of(path);
    if (fp) files.push_back({name, *fp});
    return fp.has_value();
  };
  if (!add(stem + ".rlink", rlink))
    return unexpected(
        fmt::format("{} is unreadable: {}", rlink.native(), util::os_error(util::last_error())));
  for (const std::string& name : kept) {
    const fs::path path = objects_dir / name;
    if (!add(name, path))
      return unexpected(
          fmt::format("{} is unreadable: {}", path.native(), util::os_error(util::last_error())));
  }

  util::Json objects_record = util::Json::object();
  objects_record["env_deps"] = in->env_deps;
  objects_record["inputs"] = in->inputs;
  if (auto made = util::create_dirs(cache_dir / "m"); !made)
    return unexpected(util::os_error(made.error()));
  if (auto w = util::write_json_fast(key_record(*objects_key), objects_record); !w)
    return unexpected(util::os_error(w.error()));
  util::Json record = util::Json::object();
  record["key2"] = *key2;
  record["files"] = std::move(files);
  record["depinfo"] = std::move(*depinfo);
  if (auto w = util::write_json_fast(relink_record, record); !w)
    return unexpected(util::os_error(w.error()));
  return {};
}

std::optional<fs::path> Job::prepare_relink() const {
  if (!objects_key) return std::nullopt;
  const auto objects_record = util::read_json(key_record(*objects_key));
  if (!objects_record || !objects_record->is_object()) return std::nullopt;
  const auto key2 = entry_name(cache_dir, *objects_key, texts_of(*objects_record, "env_deps"),
                               texts_of(*objects_record, "inputs"), {}, cwd);
  if (!key2) return std::nullopt;

  const auto record = util::read_json(output(stem + ".kelv-relink"));
  if (!record || !record->is_object()) return std::nullopt;
  const auto recorded_key2 = record->find("key2");
  if (recorded_key2 == record->end() || !recorded_key2->is_string() ||
      recorded_key2->get<std::string>() != *key2)
    return std::nullopt;
  const auto files = record->find("files");
  if (files == record->end() || !files->is_array() || files->empty()) return std::nullopt;
  const auto depinfo = record->find("depinfo");
  if (depinfo == record->end() || !depinfo->is_string()) return std::nullopt;
  std::vector<std::string> objects;
  for (size_t i = 0; i < files->size(); ++i) {
    const auto& element = (*files)[i];
    if (!element.is_array() || element.size() < 2 || !element[0].is_string() ||
        !element[1].is_string())
      return std::nullopt;
    // A tampered record must never link or remove anything elsewhere.
    const std::string name = element[0].get<std::string>();
    if (!util::is_plain_file_name(name)) return std::nullopt;
    const fs::path path = i == 0 ? output(name) : kept_objects() / name;
    if (fingerprint_of(path) != element[1].get<std::string>()) return std::nullopt;
    if (i > 0) objects.push_back(name);
  }
  for (const std::string& name : objects) {
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
