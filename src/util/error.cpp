#include "util/error.h"

#include <fmt/format.h>

#include <cstring>

namespace kelv::util {

std::string os_error(const IoError& err) {
  return fmt::format("{} (os error {})", std::strerror(err.value()), err.value());
}

}  // namespace kelv::util
