#pragma once

namespace kelv::wrapper {

// The whole invocation: arguments, environment, settings, the unit, the
// report and the exit status. Does not return.
[[noreturn]] void main(int argc, char** argv);

}  // namespace kelv::wrapper
