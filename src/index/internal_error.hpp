// InternalError: the program met a state its own logic does not handle.
#pragma once

#include <stdexcept>
#include <string>

namespace vostrel {

// Thrown by engine and structure code; the Python boundary turns it into the
// module's InternalError exception (a direct BaseException subclass), so that
// an ordinary `except Exception` does not swallow it.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vostrel
