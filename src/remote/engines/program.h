#pragma once
#include <span>
#include <string_view>

#include "remote/engines/engine.h"
#include "remote/exit_status.h"

// The kelv-remote program, which keeps the network libraries out of the
// wrapper: one remote cache operation per process, or as many as its caller
// sends it over one connection.
//   kelv-remote get <object> <file> [<most bytes>]
//   kelv-remote put [?]<object> <file> [[?]<object> <file>]...
//   kelv-remote serve    (commands on stdin, one line each, words separated
//                         by tabs; each answered on stdout by one line,
//                         "<exit status>\t<what the command says>")
// The server comes from KELV_REMOTE_CACHE, the limits of its requests from
// KELV_REMOTE_TIMEOUT_MS and KELV_REMOTE_MAX_OBJECT_SIZE (remote/limits.h).
namespace kelv::remote {

// Runs the program on its arguments (without the program's name), reaching
// the server through `connect`: each build of the program links the engines
// it serves (kelv-remote both; kelv-remote-redis only Redis, which keeps it
// static and quick to start).
int run_program(std::span<const std::string_view> args, Connector connect);

// Whether `name` is an object name the program accepts: non-empty relative
// segments of letters, digits, '-', '_' and '.', joined by '/', none of them
// "." or "..".
bool is_object_name(std::string_view name);

}  // namespace kelv::remote
