#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Keeping secrets out of reports: names that look secret, and arguments
// whose values are credentials.
namespace kelv::report {

// Whether a variable or option name looks like it holds a secret.
bool is_secret_name(std::string_view name);

// The arguments with secret values replaced by "<redacted>"; one output per
// input, in order.
std::vector<std::string> redact_args(std::span<const std::string> args);

}  // namespace kelv::report
