// redact_args on a command line: the input split into arguments at NUL bytes.
//
// Checks: one output per argument; an output is its argument unchanged or
// holds "<redacted>"; the value after a "--token" option is redacted. (A
// "--token" that is itself the value of an earlier secret option comes out
// redacted, and is no option then.) The outputs are made argument by
// argument, so a value redacted in its own slot appears nowhere else unless
// another argument holds it too.
#include "report/redact.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kelv::fuzz::show;
  const std::vector<std::string> args = kelv::fuzz::split_at_nul(kelv::fuzz::bytes_of(data, size));
  const std::vector<std::string> out = kelv::report::redact_args(args);
  FUZZ_CHECK(out.size() == args.size(), std::to_string(args.size()) + " arguments, " +
                                            std::to_string(out.size()) + " outputs");

  std::string line;  // the command line, for messages
  for (const std::string& a : args) line += show(a) + " ";
  for (size_t i = 0; i < args.size(); ++i) {
    FUZZ_CHECK(out[i] == args[i] || out[i].find("<redacted>") != std::string::npos,
               "argument " + std::to_string(i) + " became " + show(out[i]) + " in " + line);
    if (args[i] == "--token" && out[i] == "--token" && i + 1 < args.size())
      FUZZ_CHECK(out[i + 1] == "<redacted>",
                 "the value after --token came out as " + show(out[i + 1]) + " in " + line);
  }
  return 0;
}
