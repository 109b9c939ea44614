#pragma once
#include <cerrno>
#include <expected>
#include <string>
#include <system_error>

namespace kelv::util {

// An operating-system error, as the platform reports it.
using IoError = std::error_code;

template <class T>
using IoResult = std::expected<T, IoError>;

inline IoError last_error() {
  return IoError(errno, std::generic_category());
}
inline IoError error_of(int err) {
  return IoError(err, std::generic_category());
}

// "No such file or directory (os error 2)": the platform's text and number.
std::string os_error(const IoError& err);
inline std::string os_error(int err) {
  return os_error(error_of(err));
}

}  // namespace kelv::util
