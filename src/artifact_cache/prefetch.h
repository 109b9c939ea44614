#pragma once
#include <atomic>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "artifact_cache/remote_tier.h"
#include "artifact_cache/transfer_program.h"

// Remote hits brought ahead of the units that need them. After a build,
// `kelv cargo` leaves on the server the list of the units it built (their
// keys and entries, in the order they ran), named by what makes another
// build of the same workspace build the same units. The next such build,
// on any machine, reads the list as it starts and fetches, while Cargo
// runs, the entries and key records its local cache lacks: a unit then
// finds its record staged and its entry local, and asks the server
// nothing.
//
// The list is a hint: what it names is checked as every object from the
// server is, and a unit whose record is not staged (yet) fetches it itself.
namespace kelv::artifact_cache {

struct ListedUnit {
  std::string key;
  std::string entry;
  bool operator==(const ListedUnit&) const = default;
};

// The server's name of the build list `name`.
std::string build_list_object(std::string_view name);

// The text of a build list, and the units of one from the server: none when
// it is no list of ours (then nothing is prefetched).
std::string build_list_text(std::span<const ListedUnit> units);
std::optional<std::vector<ListedUnit>> parse_build_list(std::string_view text);

struct PrefetchTally {
  std::vector<ListedUnit> listed;  // the list the server had
  size_t entries = 0;              // entries brought into the local cache
  size_t records = 0;              // key records staged
  std::string failure;             // why it stopped early, when the server failed
};

// Reads the build list `name` and brings what it names into the local cache
// and `stage`, two units at a time in its order, until it is done, the
// server fails or `building` no longer holds.
PrefetchTally prefetch(const fs::path& cache_dir, const Remote& remote, std::string_view name,
                       const fs::path& stage, const std::atomic<bool>& building);

// Leaves `units` on the server as the build list `name`.
std::expected<void, Failed> send_build_list(const fs::path& cache_dir, const Remote& remote,
                                            std::string_view name,
                                            std::span<const ListedUnit> units);

}  // namespace kelv::artifact_cache
