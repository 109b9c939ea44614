#pragma once
#include <atomic>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "artifact_cache/job.h"
#include "artifact_cache/remote_tier.h"

// Uploads sent in the background: a unit that stores an entry only queues it
// (one small file, written by rename), and the build's uploader sends the
// queue while the build goes on and until it is empty.
//
// Each queued upload is named by its key, so a key stored twice is sent
// once, with its newest entry. An uploader claims an upload by renaming it
// into sending/ under its process id: two uploaders never send the same one,
// and the claims of an uploader that was killed go back to the queue.
namespace kelv::artifact_cache {

// Queues the upload of entry `entry` of the job's key; `replace`: sent even
// when the server has an entry of that name (what it had was damaged).
std::expected<void, std::string> queue_upload(const Job& job, const Remote& remote,
                                              std::string_view entry, bool replace);

// What one uploader did.
struct UploadTally {
  size_t uploaded = 0;
  size_t present = 0;  // the server had the entry already: only the key record was sent
  size_t failed = 0;
  size_t dropped = 0;  // the entry was no longer in the local cache
  size_t left = 0;     // still queued, for the next build or `kelv cache push`
  std::string first_failure;
};

// Sends the remote's queue: while `building` holds, it waits for what the
// build's units queue; then it sends what is left and returns. After a
// failure of the server (or of its writes) nothing more is sent: what is
// queued stays queued.
UploadTally send_queue(const fs::path& cache_dir, const Remote& remote,
                       const std::atomic<bool>& building);

}  // namespace kelv::artifact_cache
