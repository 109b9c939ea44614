#include <signal.h>

#include <string_view>
#include <vector>

#include "remote/engines/program.h"

// kelv-remote: both engines.
int main(int argc, char** argv) {
  // A server that goes away mid-request must be a failure, not a signal.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return kelv::remote::run_program(args, kelv::remote::connect);
}
