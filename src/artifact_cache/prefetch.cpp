#include "artifact_cache/prefetch.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <set>
#include <thread>

#include "artifact_cache/fetch_claim.h"
#include "artifact_cache/layout.h"
#include "util/files.h"

namespace kelv::artifact_cache {
namespace {

using namespace std::literals;

// A list of more units than any build has, or larger than this, is none of
// ours.
constexpr size_t most_units = 20000;
constexpr std::string_view list_limit = "16M";

// A key or entry name: letters, digits and "-_.", not starting with a dot.
bool plain_name(std::string_view name) {
  return !name.empty() && name.size() <= 200 && name[0] != '.' &&
         std::ranges::all_of(name, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '-' || c == '_' || c == '.';
         });
}

bool present(const fs::path& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// Brings one listed unit: its entry into the local cache, then its key
// record into the stage (a unit that finds the record finds the entry).
// False when the server failed.
bool bring(TransferProgram& program, const fs::path& cache_dir, const Remote& remote,
           const fs::path& stage, const ListedUnit& unit, std::string_view pack_name,
           PrefetchTally& tally) {
  const fs::path staged = staged_record(stage, unit.key);
  // A unit that is fetching it itself holds the claim; one that looked
  // itself (or an earlier build) has it already.
  const FetchClaim claim = FetchClaim::take(stage, unit.key);
  if (!claim.held() || present(layout::key_record(cache_dir, unit.key)) || present(staged))
    return true;
  const TransferFile record(stage / (unit.key + ".part"));
  const auto fail = [&](const Failed& failed) {
    remember_failure(cache_dir, remote, Direction::read, failed);
    tally.failure = failed.why;
    return failed.reach == Reach::object;
  };
  auto got = program.get(key_object(unit.key), record.path, small_limit(remote), key_record_limit);
  if (!got) return fail(got.error());
  if (!*got) return true;
  if (!present(layout::entry(cache_dir, unit.entry))) {
    const TransferFile pack(layout::remote_transfer(cache_dir, ::getpid(), pack_name));
    got = program.get(entry_object(unit.entry), pack.path,
                      transfer_limit(remote, remote.limits.max_object_bytes));
    if (!got) return fail(got.error());
    if (!*got) return true;
    auto bytes = util::MappedFile::open(pack.path);
    // What is unusable is left to the unit, whose lookup says why.
    if (!bytes || !publish_remote_entry(cache_dir, unit.key, unit.entry, bytes->bytes()))
      return true;
    ++tally.entries;
  }
  if (::rename(record.path.c_str(), staged.c_str()) == 0) ++tally.records;
  return true;
}

}  // namespace

std::string build_list_object(std::string_view name) {
  return fmt::format("kelv1/b/{}", name);
}

std::string build_list_text(std::span<const ListedUnit> units) {
  util::Json list = util::Json::array();
  for (const ListedUnit& u : units) list.push_back(util::Json::array({u.key, u.entry}));
  return util::Json::object({{"units", std::move(list)}}).dump() + "\n";
}

std::optional<std::vector<ListedUnit>> parse_build_list(std::string_view text) {
  const std::optional<util::Json> json = util::parse_json(text);
  const auto list = json && json->is_object() ? json->find("units") : util::Json::const_iterator{};
  if (!json || !json->is_object() || list == json->end() || !list->is_array() ||
      list->size() > most_units)
    return std::nullopt;
  std::vector<ListedUnit> units;
  // A key or entry named again is left out: no two of the prefetch's
  // workers ever bring the same one.
  std::set<std::string> keys, entries;
  for (const util::Json& u : *list) {
    if (!u.is_array() || u.size() != 2 || !u[0].is_string() || !u[1].is_string())
      return std::nullopt;
    ListedUnit unit{u[0].get<std::string>(), u[1].get<std::string>()};
    if (!plain_name(unit.key) || !plain_name(unit.entry)) return std::nullopt;
    if (keys.insert(unit.key).second && entries.insert(unit.entry).second)
      units.push_back(std::move(unit));
  }
  return units;
}

PrefetchTally prefetch(const fs::path& cache_dir, const Remote& remote, std::string_view name,
                       const fs::path& stage, const std::atomic<bool>& building) {
  PrefetchTally tally;
  if (recent_remote_failure(cache_dir, remote, Direction::read)) return tally;
  (void)util::create_dirs(layout::temporary(cache_dir));
  if (!util::create_dirs(stage, 0700)) return tally;
  TransferProgram program(remote);
  const TransferFile file(layout::remote_transfer(cache_dir, ::getpid(), "list"));
  auto got = program.get(build_list_object(name), file.path, small_limit(remote), list_limit);
  if (!got) {
    remember_failure(cache_dir, remote, Direction::read, got.error());
    tally.failure = got.error().why;
    return tally;
  }
  auto text = *got ? util::read_file(file.path) : std::unexpected(util::IoError{});
  auto units = text ? parse_build_list(*text) : std::nullopt;
  if (!units) return tally;
  tally.listed = std::move(*units);
  // Two transfers at a time, each through a program of its own: one thread
  // unpacks and hashes what it brought while the other's program waits for
  // the server. They take the units in the list's order.
  // A server that failed one of them stops both.
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::array<PrefetchTally, 2> parts;
  const auto work = [&](TransferProgram& with, PrefetchTally& part, std::string_view pack_name) {
    for (size_t i = next++; i < tally.listed.size() && building && !failed; i = next++)
      if (!bring(with, cache_dir, remote, stage, tally.listed[i], pack_name, part)) failed = true;
  };
  std::thread second([&] {
    TransferProgram other(remote);
    work(other, parts[1], "prefetch-1");
  });
  work(program, parts[0], "prefetch-0");
  second.join();
  for (const PrefetchTally& part : parts) {
    tally.entries += part.entries;
    tally.records += part.records;
    if (tally.failure.empty()) tally.failure = part.failure;
  }
  return tally;
}

std::expected<void, Failed> send_build_list(const fs::path& cache_dir, const Remote& remote,
                                            std::string_view name,
                                            std::span<const ListedUnit> units) {
  (void)util::create_dirs(layout::temporary(cache_dir));
  const TransferFile file(layout::remote_transfer(cache_dir, ::getpid(), "list"));
  const std::string text = build_list_text(units.first(std::min(units.size(), most_units)));
  if (auto w = util::write_atomic(file.path, text); !w)
    return std::unexpected(Failed{util::os_error(w.error()), Reach::object});
  TransferProgram program(remote);
  auto answered = program.request(std::array{"put"s, build_list_object(name), file.path.native()},
                                  transfer_limit(remote, text.size()));
  if (!answered) return std::unexpected(std::move(answered.error()));
  return {};
}

}  // namespace kelv::artifact_cache
