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

// Thrown for a query the engine cannot answer yet (a range with a bound that is not a number). The boundary turns
// it into Python's NotImplementedError: the query is the caller's to change, so an ordinary Exception.
class NotYetImplemented : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vostrel
