// Deliberate threading faults, loaded into the uninstrumented interpreter to prove the ThreadSanitizer set-up sees
// what it must (a race, a lock-order inversion) and nothing it must not (writes made under the interpreter lock).
#include <mutex>

namespace {
volatile long unguarded_counter = 0;  // written by threads that released the interpreter lock: a data race
volatile long guarded_counter = 0;    // written only under the interpreter lock (called through ctypes.PyDLL)
std::mutex first_mutex;
std::mutex second_mutex;
}  // namespace

extern "C" {

// Long enough that two callers overlap in time.
void bump_unguarded(long times) {
  for (long i = 0; i < times; ++i) unguarded_counter = unguarded_counter + 1;
}

void bump_guarded(long times) {
  for (long i = 0; i < times; ++i) guarded_counter = guarded_counter + 1;
}

// Takes both mutexes, in the order given: calling it both ways is a lock-order inversion.
void lock_both(int reverse) {
  std::mutex& outer = reverse ? second_mutex : first_mutex;
  std::mutex& inner = reverse ? first_mutex : second_mutex;
  std::lock_guard outer_lock(outer);
  std::lock_guard inner_lock(inner);
}

}  // extern "C"
