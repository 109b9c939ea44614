#pragma once
#include <string_view>

namespace kelv::util {

// Whether a variable or option name looks like it holds a secret (TOKEN,
// PASSWORD, ..._KEY, AWS_..., in any case): such a value is never shown in a
// report, nor let into anything a server can learn.
bool is_secret_name(std::string_view name);

}  // namespace kelv::util
