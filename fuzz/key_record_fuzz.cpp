// The key record (cache/m/<key>.json) as arbitrary bytes, read by
// Job::lookup, which finds the entry its dependencies name and restores it.
//
// "@ROOT@" in the input stands for the sandbox directory, so that records
// can name its files by absolute path. Records naming paths outside the
// sandbox (absolute elsewhere, or with "..") are skipped: hashing a device
// or a FIFO there says nothing about the cache.
//
// Checks: read_json gives what parse_json gives; a parsed record written
// out reads back equal; lookup writes only into the cache and the output
// directory, and only the stored entry's files; a hit is the stored entry.
#include "cache_sandbox.h"
#include "util/files.h"

namespace {

using kelv::fuzz::CacheSandbox;
using kelv::fuzz::show;
namespace fs = std::filesystem;

bool inside(const fs::path& root, const std::string& path, bool relative_ok) {
  const fs::path p(path);
  for (const fs::path& part : p)
    if (part == "..") return false;
  if (p.is_relative()) return relative_ok;
  return path.starts_with(root.string() + "/");
}

// Whether every dependency the record names lies in the sandbox. The
// inputs are relative to the unit's directory; the span dependencies must
// be absolute (relative ones would be found from the fuzzer's directory).
bool names_only_sandbox_paths(const fs::path& root, std::string_view record) {
  for (const std::string& input : kelv::fuzz::texts_of(record, "inputs"))
    if (!input.starts_with("<OUT_DIR>") && !inside(root, input, true)) return false;
  for (const std::string& dep : kelv::fuzz::texts_of(record, "span_deps"))
    if (!inside(root, dep, false)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const CacheSandbox sandbox("key_record");
  const auto& job = sandbox.job();
  const std::string input = kelv::fuzz::replace_all(std::string(kelv::fuzz::bytes_of(data, size)),
                                                    "@ROOT@", sandbox.root().string());

  const auto parsed = kelv::util::parse_json(input);
  if (parsed) {
    const std::string text = parsed->dump();
    const auto again = kelv::util::parse_json(text);
    FUZZ_CHECK(again && *again == *parsed, "JSON " + show(input) + " written as " + show(text));
  }
  if (!names_only_sandbox_paths(sandbox.root(), input)) return -1;

  sandbox.reset(input, sandbox.stored_entry_json());
  const auto read = kelv::util::read_json(job.key_record(job.key));
  FUZZ_CHECK(read.has_value() == parsed.has_value() && (!read || *read == *parsed),
             "read_json and parse_json differ on " + show(input));

  const auto hit = job.lookup();
  std::vector<std::string> stored;
  for (const auto& [name, bytes] : CacheSandbox::stored_files()) stored.push_back(name);
  sandbox.check_contained(stored, input);
  if (hit) FUZZ_CHECK(hit->entry == sandbox.stored_name(), "hit " + hit->entry);
  return 0;
}
