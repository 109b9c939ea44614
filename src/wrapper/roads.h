#pragma once
#include <expected>
#include <optional>
#include <string>

#include "exec/proc.h"
#include "rustc/invocation.h"

namespace kelv::wrapper {

// A program that could not be started; the entry reports it and exits 101.
struct StartFailure {
  std::string program;
  util::IoError error;
};

// The plain compiler command: the compiler with the unit's arguments (and
// whatever was appended); RUSTC_BOOTSTRAP=1 when unstable options were added.
exec::Command plain_command(const rustc::Invocation& inv, bool needs_bootstrap);

// Runs the compiler with inherited streams.
std::expected<exec::RunResult, StartFailure> plain_road(const rustc::Invocation& inv,
                                                        bool needs_bootstrap);

struct ChainedResult {
  exec::RunResult run;
  bool inner_fallback_used = false;
};

// Hands the whole command line to the chained wrapper; with fail_open, a
// wrapper that cannot be started is skipped with a WARN line.
std::expected<ChainedResult, StartFailure> chained_road(const rustc::Invocation& inv,
                                                        const std::string& inner, bool fail_open);

// Prints "could not execute <program>: <error>" and exits 101.
[[noreturn]] void start_failure(const StartFailure& failure);

}  // namespace kelv::wrapper
