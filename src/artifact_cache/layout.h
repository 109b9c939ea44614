#pragma once
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

// Where everything lives below the artifact cache directory. Every path into
// the cache is built here, so that each folder is named in one place:
//
//   e/<entry name>/              published entries: entry.json, stderr, outputs
//   m/<key>.json                 key records (of cache keys and objects keys)
//   h/<memo name>                content memos of files
//   l/<memo name>                link records of libraries
//   s/<memo name>                the library search directories of linkers
//   q/<unit name>                quick records
//   u/<unit name>.json           unit records: the key lines last stored for a unit
//   r/<server digest>.read       reads of the remote failed recently: skipped until old
//   r/<server digest>.write      likewise its writes
//   o/<server digest>/<key>      an upload queued for the server: the key's entry
//   o/<server digest>/sending/<key>.<pid>   an upload process <pid> is sending
//   tmp/<entry name>-<pid>/      an entry being assembled by process <pid>
//   tmp/remote-<pid>.<what>      an object of the remote being sent or received
//   tmp/discard-<pid>-<name>/    an entry being removed
//   use.json                     the cache's size, bound and last trim, kept by `kelv`
//   use.lock                     held while one `kelv` keeps the cache in bounds
namespace kelv::artifact_cache::layout {

namespace fs = std::filesystem;

inline constexpr std::string_view entries_folder = "e";
inline constexpr std::string_view key_records_folder = "m";
inline constexpr std::string_view content_memos_folder = "h";
inline constexpr std::string_view link_records_folder = "l";
inline constexpr std::string_view linker_dirs_folder = "s";
inline constexpr std::string_view quick_records_folder = "q";
inline constexpr std::string_view unit_records_folder = "u";
inline constexpr std::string_view remote_markers_folder = "r";
inline constexpr std::string_view temporary_folder = "tmp";
inline constexpr std::string_view upload_queues_folder = "o";

// Inside an entry directory.
inline constexpr std::string_view entry_record_file = "entry.json";
inline constexpr std::string_view stderr_file = "stderr";

// Names in tmp/ of entries being removed start with this.
inline constexpr std::string_view discard_prefix = "discard-";

inline fs::path entries(const fs::path& cache) {
  return cache / entries_folder;
}
inline fs::path entry(const fs::path& cache, std::string_view name) {
  return entries(cache) / name;
}

inline fs::path key_records(const fs::path& cache) {
  return cache / key_records_folder;
}
inline fs::path key_record(const fs::path& cache, std::string_view key) {
  return key_records(cache) / (std::string(key) + ".json");
}

inline fs::path content_memos(const fs::path& cache) {
  return cache / content_memos_folder;
}
inline fs::path content_memo(const fs::path& cache, std::string_view name) {
  return content_memos(cache) / name;
}

inline fs::path link_records(const fs::path& cache) {
  return cache / link_records_folder;
}
inline fs::path link_record(const fs::path& cache, std::string_view name) {
  return link_records(cache) / name;
}

inline fs::path linker_dirs(const fs::path& cache, std::string_view name) {
  return cache / linker_dirs_folder / name;
}

inline fs::path quick_records(const fs::path& cache) {
  return cache / quick_records_folder;
}
inline fs::path quick_record(const fs::path& cache, std::string_view unit_name) {
  return quick_records(cache) / unit_name;
}

inline fs::path unit_records(const fs::path& cache) {
  return cache / unit_records_folder;
}
inline fs::path unit_record(const fs::path& cache, std::string_view unit_name) {
  return unit_records(cache) / (std::string(unit_name) + ".json");
}

inline fs::path remote_marker(const fs::path& cache, std::string_view name) {
  return cache / remote_markers_folder / name;
}

inline fs::path upload_queue(const fs::path& cache, std::string_view server_digest) {
  return cache / upload_queues_folder / server_digest;
}
inline fs::path uploads_sending(const fs::path& queue) {
  return queue / "sending";
}

inline fs::path use_state(const fs::path& cache) {
  return cache / "use.json";
}
inline fs::path use_lock(const fs::path& cache) {
  return cache / "use.lock";
}

inline fs::path temporary(const fs::path& cache) {
  return cache / temporary_folder;
}
inline fs::path assembly(const fs::path& cache, std::string_view entry_name, pid_t pid) {
  return temporary(cache) / (std::string(entry_name) + "-" + std::to_string(pid));
}
inline fs::path remote_transfer(const fs::path& cache, pid_t pid, std::string_view what) {
  return temporary(cache) / ("remote-" + std::to_string(pid) + "." + std::string(what));
}
inline fs::path trash(const fs::path& cache, pid_t pid, std::string_view entry_name) {
  return temporary(cache) /
         (std::string(discard_prefix) + std::to_string(pid) + "-" + std::string(entry_name));
}

}  // namespace kelv::artifact_cache::layout
