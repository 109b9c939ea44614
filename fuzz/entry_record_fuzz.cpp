// A stored entry's entry.json as arbitrary bytes, read by Job::lookup, which
// restores the files it lists into the unit's output directory.
//
// Checks: lookup writes only into the cache and the output directory, and
// there only plain files that the record lists; a hit is the stored entry.
#include "cache_sandbox.h"
#include "util/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kelv::fuzz::show;
  static const kelv::fuzz::CacheSandbox sandbox("entry_record");
  const std::string_view input = kelv::fuzz::bytes_of(data, size);

  sandbox.reset(kelv::fuzz::CacheSandbox::stored_key_record(), input);
  const auto hit = sandbox.job().lookup();
  sandbox.check_contained(kelv::fuzz::texts_of(input, "files"), input);
  if (hit)
    FUZZ_CHECK(hit->entry == sandbox.stored_name(), "hit " + hit->entry + " of " + show(input));
  return 0;
}
