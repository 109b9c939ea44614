#include <signal.h>

#include <string_view>
#include <vector>

#include "remote/engines/program.h"

namespace {

std::expected<std::unique_ptr<kelv::remote::Client>, kelv::remote::Failure> connect(
    const kelv::remote::ServerUrl& url, const kelv::remote::Limits& limits) {
  if (url.engine != kelv::remote::Engine::redis)
    return std::unexpected(
        kelv::remote::Failure{url.display + ": kelv-remote-redis serves redis:// addresses only"});
  return kelv::remote::connect_redis(url, limits);
}

}  // namespace

// kelv-remote-redis: Redis alone, without the HTTP library, so that it links
// statically and starts in a fraction of the time (the wrapper runs it once
// or twice per unit).
int main(int argc, char** argv) {
  // A server that goes away mid-request must be a failure, not a signal.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return kelv::remote::run_program(args, connect);
}
