#pragma once
#include <string>
#include <string_view>

#include "artifact_cache/job.h"
#include "artifact_cache/store.h"
#include "util/files.h"

// Why a lookup missed, from what stores recorded: the key record of a key
// holds a digest of each input, variable and span dependency its entry was
// made from; the unit record (u/<unit name>.json) holds a digest and label
// of each key line of the unit's last stored key. Both are read only after
// a miss.
namespace kelv::artifact_cache {

// What the key record keeps of a variable read by the crate: a digest of its
// entry line ("NAME=set:value" or "NAME=unset"), salted with the key.
std::string env_digest(std::string_view key, std::string_view entry_line);

// Adds "env_digests", "span_hashes" and "input_hashes" (objects from name to
// digest) to a key record; readers that do not know them ignore them.
void add_state_digests(util::Json& key_record, std::string_view key, const EntryState& state);

// Why the entry named by a key record is not there: the first input,
// variable or span dependency whose recorded digest differs from `now`.
Miss what_changed(const util::Json& key_record, std::string_view key, const EntryState& now);

// Replaces the unit record with the job's key lines; errors are ignored
// (the record only sharpens later miss reasons). A Job without key lines
// writes nothing.
void write_unit_record(const Job& job);

// Why no key record exists for the job's key: the first key line that
// differs from the unit's last stored key, "new" without a unit record.
Miss why_new_key(const Job& job);

}  // namespace kelv::artifact_cache
