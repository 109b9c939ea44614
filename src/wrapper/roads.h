#pragma once
#include <optional>
#include <string>

#include "wrapper/invocation.h"
#include "wrapper/proc.h"

namespace kelv::wrapper {

// The plain compiler command: the compiler with the unit's arguments (and
// whatever was appended); RUSTC_BOOTSTRAP=1 when unstable options were added.
proc::Command plain_command(const Invocation& inv, bool needs_bootstrap);

// Runs the compiler with inherited streams. A compiler that cannot be started
// ends the process with the FAIL line and status 101.
proc::RunResult plain_road(const Invocation& inv, bool needs_bootstrap);

struct ChainedResult {
  proc::RunResult run;
  bool inner_fallback_used = false;
};

// Hands the whole command line to the chained wrapper; with fail_open, a
// wrapper that cannot be started is skipped with a WARN line.
ChainedResult chained_road(const Invocation& inv, const std::string& inner, bool fail_open);

// Prints "could not execute <program>: <error>" and exits 101.
[[noreturn]] void start_failure(const std::string& program, const util::IoError& error);

}  // namespace kelv::wrapper
