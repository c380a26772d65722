// Classification of a Python value into its native form, for capture (value.cpp). Interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <memory>
#include <vector>

#include "index/value.hpp"

namespace vostrel {

// A failure of Python itself while reading a value: its error stays set and reaches the caller as an exception.
[[noreturn]] void fail_type_checked();
// A type the caller checked turned out otherwise: an internal error.
[[noreturn]] void fail_type_checked(const char* reason);

// The native form of `obj`: an int, float, text, bool or Indexable; UnknownValue for anything else (exact lists,
// tuples, sets and dicts are captured by capture_members before classification).
NativeValue classify(PyObject* obj);

// The members of a container while it is captured, before its record is made: up to IN_PLACE in this frame, more in
// one vector. Sized exactly only once capture is over (a member may be left out, or Python code run by a member's
// capture may change the container), so the record that keeps them is allocated once, at their final number.
class CapturedMembers {
 public:
  static constexpr size_t IN_PLACE = 8;

  size_t size() const noexcept { return count_; }
  void push_back(PyValue&& member) {
    if (count_ < IN_PLACE) {
      in_place_[count_] = std::move(member);
    } else {
      spilled_.push_back(std::move(member));
    }
    ++count_;
  }
  // Moves the members, in order, into uninitialised storage for size() values.
  void move_into(PyValue* out) noexcept {
    for (size_t at = 0; at < count_; ++at) {
      std::construct_at(out + at, std::move(at < IN_PLACE ? in_place_[at] : spilled_[at - IN_PLACE]));
    }
  }

 private:
  std::array<PyValue, IN_PLACE> in_place_;
  std::vector<PyValue> spilled_;
  size_t count_ = 0;
};

// Captures the members of an exact list, tuple or set (`kind`) into `members`. May run Python code (a member's
// __hash__ or __index__); Python's recursion limit bounds the nesting (RecursionError). A member whose conversion
// fails with an ordinary exception, or that is the container itself or one enclosing it, is left out.
void capture_members(PyObject* container, IterableKind kind, CapturedMembers& members);

}  // namespace vostrel
