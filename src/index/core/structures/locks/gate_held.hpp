// GateHeld: the proof, in a function's parameters, that its caller holds the process-wide writer gate.
#pragma once

namespace vostrel {

class WriterGate;

// Only the writer gate is one (WriterGate derives from it), so a function taking `const GateHeld&` cannot be called
// without the gate held for the whole call: the precondition is checked by the compiler, at no run-time cost.
class GateHeld {
 public:
  GateHeld(const GateHeld&) = delete;
  GateHeld& operator=(const GateHeld&) = delete;

 private:
  GateHeld() = default;
  ~GateHeld() = default;
  friend class WriterGate;
};

}  // namespace vostrel
