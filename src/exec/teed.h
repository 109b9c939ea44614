#pragma once
#include <string>

#include "exec/proc.h"

namespace kelv::exec {

// What happens to each piece of the child's standard error.
enum class Capture {
  tee = 0,         // shown at once and kept
  json_lines = 1,  // lines starting with "{" shown at once; other lines held
  hold = 2,        // held only
};

struct TeedResult : exec::RunResult {
  std::string shown;           // written to standard error while the child ran
  std::string held;            // kept but not shown
  bool artifact_seen = false;  // an artifact notification was shown (or is in held, mode hold)
  bool early_exit = false;     // returned before the child exited
  // False when the child's standard error was still open long after it
  // exited: the texts hold only what had arrived by then.
  bool captured_whole = true;
};

// Runs the command with its standard error relayed by a reader thread. With
// a ready pipe the child finds the write end's number in KELV_DRIVER_READY_FD;
// once it has written its byte and closed standard error, the result is
// returned without waiting for the child to exit.
util::IoResult<TeedResult> run_teed(exec::Command cmd, Capture mode, bool ready_pipe);

}  // namespace kelv::exec
