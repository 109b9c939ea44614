#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Keeping secrets out of reports: names that look secret, and arguments
// whose values are credentials.
namespace kelv::report {

// The arguments with secret values replaced by "<redacted>"; one output per
// input, in order.
std::vector<std::string> redact_args(std::span<const std::string> args);

}  // namespace kelv::report
