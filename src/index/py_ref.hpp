// Python references: owning (PyRef), shared across threads (SharedPyRef), deferred releases and GIL helpers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/structures/locks/lock_order.hpp"

namespace vostrel {

// True when the calling thread holds the interpreter lock. Unlike PyGILState_Check, this stays exact after a
// sub-interpreter was created somewhere in the process (which switches PyGILState_Check off for good).
bool holds_gil() noexcept;

namespace detail {
// Set while this thread takes the interpreter lock back (take_gil_back). The interpreter ends a thread that tries to
// while it shuts down, by a forced unwind from inside that call: the flag then stays set while the thread's frames
// are unwound without the interpreter lock, and PyRef lets its reference go unreleased (the process is ending)
// rather than touch a count another thread's final collection is reading.
inline thread_local bool taking_gil_back = false;
}  // namespace detail

// PyEval_RestoreThread, flagged for the forced unwind that may end the thread inside it.
inline void take_gil_back(PyThreadState* state) {
  detail::taking_gil_back = true;
  PyEval_RestoreThread(state);
  detail::taking_gil_back = false;
}

// One owned strong reference. Every operation that touches the count needs the interpreter lock.
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (null gives an empty PyRef).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference to a borrowed object (null gives an empty PyRef).
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  // Both assignments install the new reference before dropping the old one: the old object's __del__ may run
  // arbitrary code, which must already see the new state.
  PyRef& operator=(const PyRef& other) noexcept {
    PyObject* old = obj_;
    obj_ = other.obj_;
    Py_XINCREF(obj_);
    Py_XDECREF(old);
    return *this;
  }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = std::exchange(other.obj_, nullptr);
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() {
    if (detail::taking_gil_back) [[unlikely]] return;  // unwound at shutdown without the interpreter lock
    Py_XDECREF(obj_);
  }

  // The object, still owned by this PyRef (may be null).
  PyObject* get() const noexcept { return obj_; }
  // Gives up ownership: the caller now owns the returned reference.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  // Drops the reference (if any).
  void reset() noexcept { *this = PyRef(); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Drops one strong reference from any thread: at once when this thread holds the interpreter lock outside a
// GilAcquire scope and no collection holds releases back (hold_releases), otherwise queued for
// apply_deferred_releases(). In a ReleasesKept scope it is kept for apply_releases_kept(). Null is ignored.
void release_python_reference(PyObject* obj) noexcept;

// Within the scope (interpreter lock held), this thread's releases are kept on a list of its own; the caller applies
// them (apply_releases_kept) once it has left every frame that cannot be unwound. Why: a release may run __del__,
// and when that gives the interpreter lock up while the interpreter shuts down, the thread is ended by a forced
// unwind, which must not meet a noexcept frame (a destructor, a release) on its way out.
class ReleasesKept {
 public:
  ReleasesKept() noexcept;
  ~ReleasesKept();
  ReleasesKept(const ReleasesKept&) = delete;
  ReleasesKept& operator=(const ReleasesKept&) = delete;
};
// Applies the releases this thread kept in ReleasesKept scopes, then every queued one (apply_deferred_releases).
// Interpreter lock held, no other lock. Not noexcept, for the forced unwind.
void apply_releases_kept();

// Drops one strong reference to each of `objects` without holding the interpreter lock: all queued at once (one
// lock of the queue for the lot). Empties `objects`.
void release_python_references(std::vector<PyObject*>& objects) noexcept;

// While held (a cycle collection is under way), every release is queued, none is applied, and what the queue holds
// stays alive: the collector may still follow a reference an engine container showed it earlier in the same
// collection. Set and cleared with the interpreter lock held; read on any thread.
void hold_releases(bool held) noexcept;
bool releases_held() noexcept;
// Asked (interpreter lock held) before a held queue is left unapplied; false ends the hold (the collection guard
// can no longer see the collection's end). Set once at module import.
void set_release_hold_check(bool (*still_holding)());

// Applies every queued release. Call with the interpreter lock held and no other lock held (a release may run
// __del__, which may run any Python code). Cheap when the queue is empty. Not noexcept: the forced unwind that ends
// a thread at shutdown may pass through it (see ReleasesKept).
namespace detail {
extern std::atomic<bool> releases_pending;  // set when a release is queued, cleared by the one who applies it
void apply_queued_releases();
}  // namespace detail
// Inline: every call from Python ends with it, and the queue is nearly always empty.
inline void apply_deferred_releases() {
  if (detail::releases_pending.load(std::memory_order_acquire)) [[unlikely]] detail::apply_queued_releases();
}

// Makes a fork wait until no thread is inside the release queue's lock, and the child start with it free: a thread
// queuing a release at that moment (one dropping a reference outside any engine call) would otherwise leave the
// child's first apply_deferred_releases waiting for ever. The queue's lock is held only for a push or a swap.
void install_release_queue_fork_guard();

#ifdef VOSTREL_TEST_HOOKS
namespace release_queue_testing {
// Holds the queue's lock on a thread of its own for `milliseconds`, as a thread queuing a release does for a moment;
// returns once the lock is held. For the fork tests.
void hold_lock(int milliseconds);
}  // namespace release_queue_testing
#endif

// Number of releases waiting in the queue (for tests and diagnostics).
size_t pending_release_count() noexcept;

// One strong Python reference shared by any number of holders on any thread. Copies and drops only touch an atomic
// count (never the Python count, never the interpreter lock); the Python reference is released once, when the
// last holder lets go, through release_python_reference().
class SharedPyRef {
 public:
  SharedPyRef() noexcept = default;
  // Takes over one new reference (null gives an empty handle). On allocation failure the reference is released and
  // std::bad_alloc propagates.
  static SharedPyRef steal(PyObject* obj);
  // Interpreter lock held: adds one reference to a borrowed object.
  static SharedPyRef borrow(PyObject* obj);
  // Takes over the reference held by `ref`.
  explicit SharedPyRef(PyRef ref) : SharedPyRef(steal(ref.release())) {}
  // The bytes borrow_heading places at the start of its block.
  static constexpr size_t HEADING_BYTES = 3 * sizeof(uint64_t);
  // Interpreter lock held: borrow, with the shared count placed at the start of `block` (memory from
  // ::operator new, at least HEADING_BYTES long) instead of in an allocation of its own. The last handle frees the
  // whole block, so a record that keeps a handle can follow the count in the same block: one allocation for both.
  static SharedPyRef borrow_heading(PyObject* obj, void* block) noexcept;

  SharedPyRef(const SharedPyRef& other) noexcept : holder_(other.holder_) { retain(); }
  SharedPyRef(SharedPyRef&& other) noexcept : holder_(std::exchange(other.holder_, nullptr)) {}
  SharedPyRef& operator=(const SharedPyRef& other) noexcept {
    Holder* old = holder_;
    holder_ = other.holder_;
    retain();
    drop(old);
    return *this;
  }
  SharedPyRef& operator=(SharedPyRef&& other) noexcept {
    if (this != &other) {
      Holder* old = holder_;
      holder_ = std::exchange(other.holder_, nullptr);
      drop(old);
    }
    return *this;
  }
  ~SharedPyRef() { drop(holder_); }

  // The shared object (null for an empty handle); valid while this handle lives.
  PyObject* get() const noexcept { return holder_ ? holder_->obj : nullptr; }
  // Interpreter lock held: a new owned reference to the object.
  PyRef to_py_ref() const noexcept { return PyRef::borrow(get()); }
  // Starts loading the shared record (whose field get() reads) into the cache.
  void prefetch() const noexcept { __builtin_prefetch(holder_); }
  // Number of handles sharing this reference (0 for an empty handle).
  uint64_t use_count() const noexcept { return holder_ ? holder_->count.load(std::memory_order_acquire) : 0; }
  void reset() noexcept { drop(std::exchange(holder_, nullptr)); }
  // Empties the handle; when it was the last holder, the Python reference goes to `batch` (for
  // release_python_references) instead of being released one by one.
  void reset_into(std::vector<PyObject*>& batch) noexcept;
  explicit operator bool() const noexcept { return holder_ != nullptr; }

  // Copies kept by index structures (exact-map keys, lists behind element ids, nested stores) are counted apart:
  // they only exist while the object that owns the value is held by that index, so for the cycle collector the
  // reference belongs to that object alone. A container reports the reference (tp_traverse) only when it is the one
  // holder that is not an index copy; a miscount can only make it report less (keep objects alive), never twice.
  void add_index_copy() const noexcept {
    if (holder_) holder_->index_copies.fetch_add(1, std::memory_order_relaxed);
  }
  void remove_index_copy() const noexcept {
    if (holder_) holder_->index_copies.fetch_sub(1, std::memory_order_relaxed);
  }
  // Whether this handle's holders, index copies aside, are just one (the caller's).
  bool sole_owner() const noexcept {
    if (!holder_) return false;
    uint64_t copies = holder_->index_copies.load(std::memory_order_acquire);
    return holder_->count.load(std::memory_order_acquire) == copies + 1;
  }

 private:
  struct Holder {
    explicit Holder(PyObject* object) noexcept : count(1), obj(object) {}
    std::atomic<uint64_t> count;
    std::atomic<uint64_t> index_copies{0};
    PyObject* obj;
  };
  void retain() const noexcept {
    if (holder_) holder_->count.fetch_add(1, std::memory_order_relaxed);
  }
  static void drop(Holder* holder) noexcept;

  Holder* holder_ = nullptr;
};

// Gives up the interpreter lock for the scope (PyEval_SaveThread / PyEval_RestoreThread). The thread must hold it.
// Taking the lock back while the interpreter is finalising ends the thread with a forced unwind (pthread_exit): the
// destructor must let it pass (noexcept(false)), as must every frame between here and the interpreter.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { take_gil_back(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Takes the interpreter lock for the scope (PyGILState_Ensure / PyGILState_Release), from any thread. Meant for engine
// code that may hold engine locks: references dropped inside the scope are queued instead of released, so no __del__
// runs under engine locks.
class GilAcquire {
 public:
  GilAcquire() noexcept(false);  // may end the thread by a forced unwind during finalisation
  ~GilAcquire();
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

// Runs `work` (a call into the engine) with the interpreter lock released and returns its result. Inside, the engine
// activity lock is held shared (so fork() can wait for engine calls to finish). The interpreter lock is taken back
// before returning, also when `work` throws, and the reference releases queued meanwhile are then applied (no engine
// lock is held by then) unless the caller holds a lock of its own and applies them itself once it has let go
// (ApplyReleases = false): a release may run any finalizer.
template <bool ApplyReleases = true, class F>
auto without_gil(F&& work) {
  struct TakeBack {
    PyThreadState* state = PyEval_SaveThread();
    // noexcept(false): taking the lock back during finalisation ends the thread by a forced unwind, which must pass.
    ~TakeBack() noexcept(false) {
      lock_order_expect_none("taking the interpreter lock back");
      take_gil_back(state);
      if constexpr (ApplyReleases) apply_deferred_releases();
    }
  } released;
  const std::shared_lock activity = enter_engine_activity();
  return work();
}

// The wait of lock_releasing_gil, for a lock found busy.
template <class M>
[[gnu::noinline]] void wait_releasing_gil(std::unique_lock<M>& lock) {
  if (holds_gil()) {
    GilRelease released;
    lock.lock();
  } else {
    lock.lock();
  }
}

// Locks `mutex` without ever waiting for it while holding the interpreter lock: try_lock first; if busy and this
// thread holds the interpreter lock, give it up, block on the mutex, then take the interpreter lock back while
// holding the mutex. Lock order: the mutex first, the interpreter lock innermost. The free lock, the common case of
// every attribute read, is taken inline; only a wait calls out.
template <class M>
inline std::unique_lock<M> lock_releasing_gil(M& mutex) {
  std::unique_lock<M> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) [[unlikely]] wait_releasing_gil(lock);
  return lock;
}

}  // namespace vostrel
