// Shared Python references, the deferred release queue and the interpreter-lock helpers.
#include "index/py_ref.hpp"

#include <pthread.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "index/python_compat.hpp"

namespace vostrel {
namespace {

// Depth of ReleasesKept scopes on this thread, and the releases kept in them: a few in place (plain data, so a
// thread-local access costs no wrapper call), more go to the shared queue, which is applied right after. With them
// the depth of GilAcquire scopes (inside one, releases are queued even though the lock is held): one thread-local
// block, so a release, which reads both, looks it up once (a call in a shared library).
struct KeptReleases {
  int depth = 0;
  unsigned count = 0;
  int gil_acquire_depth = 0;
  std::array<PyObject*, 8> objects;
};
thread_local KeptReleases releases_kept;

std::atomic<bool> held_for_collection{false};
bool (*hold_check)() = nullptr;  // set at import, before any hold

// References dropped where they could not be released at once. Never destroyed: releases may still be queued by
// static destructors after the interpreter has finished.
struct ReleaseQueue {
  std::mutex mutex;
  std::vector<PyObject*> objects;  // guarded by mutex; releases_pending says whether it may hold any
};

ReleaseQueue& release_queue() {
  static ReleaseQueue* queue = std::make_unique<ReleaseQueue>().release();
  return *queue;
}

void queue_release(PyObject* obj) noexcept {
  ReleaseQueue& queue = release_queue();
  std::lock_guard lock(queue.mutex);
  try {
    queue.objects.push_back(obj);
  } catch (const std::bad_alloc&) {
    // Keeping the object alive for ever is the only safe choice without the interpreter lock.
    return;
  }
  detail::releases_pending.store(true, std::memory_order_release);
}

}  // namespace

void install_release_queue_fork_guard() {
  // The queue is made here, at import: made on first use instead, a release meeting a full memory there (in a
  // destructor) aborted the process.
  (void)release_queue();
  static const bool installed = [] {
    // The child starts from a fresh lock: its only thread is not the one that took the old one.
    pthread_atfork([] { release_queue().mutex.lock(); }, [] { release_queue().mutex.unlock(); },
                   [] { std::construct_at(&release_queue().mutex); });
    return true;
  }();
  (void)installed;
}

#ifdef VOSTREL_TEST_HOOKS
void release_queue_testing::hold_lock(int milliseconds) {
  std::atomic<bool> held{false};
  std::thread([milliseconds, &held] {
    std::lock_guard lock(release_queue().mutex);
    held.store(true);  // the last use of `held`: the caller may return from here on
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }).detach();
  while (!held.load()) std::this_thread::yield();
}
#endif

namespace detail {
std::atomic<bool> releases_pending{false};
}  // namespace detail

bool holds_gil() noexcept {
  // The state holding the lock is this thread's when it was made on this thread: a state belongs to the thread that
  // made it, whose identity (pthread_self, which a forked child's one thread shares with the thread that forked) it
  // keeps. Asked this way it costs no lookup of the thread's own state in thread-local storage, on every release of
  // a captured object.
  PyThreadState* running = thread_state_unchecked();
  return running != nullptr && running->thread_id == static_cast<unsigned long>(pthread_self());
}

void hold_releases(bool held) noexcept { held_for_collection.store(held, std::memory_order_release); }

bool releases_held() noexcept { return held_for_collection.load(std::memory_order_acquire); }

void set_release_hold_check(bool (*still_holding)()) { hold_check = still_holding; }

void release_python_reference(PyObject* obj) noexcept {
  if (obj == nullptr) return;
  KeptReleases& kept = releases_kept;
  if (kept.depth > 0) {
    if (kept.count < kept.objects.size()) {
      kept.objects[kept.count++] = obj;
    } else {
      queue_release(obj);
    }
    return;
  }
  if (kept.gil_acquire_depth == 0 && !releases_held() && holds_gil()) {
    Py_DECREF(obj);
  } else {
    queue_release(obj);
  }
}

void release_python_references(std::vector<PyObject*>& objects) noexcept {
  if (objects.empty()) return;
  ReleaseQueue& queue = release_queue();
  {
    std::lock_guard lock(queue.mutex);
    try {
      if (queue.objects.empty()) {
        queue.objects.swap(objects);
      } else {
        queue.objects.insert(queue.objects.end(), objects.begin(), objects.end());
      }
    } catch (const std::bad_alloc&) {
      // Keeping the objects alive for ever is the only safe choice without the interpreter lock.
    }
    detail::releases_pending.store(true, std::memory_order_release);
  }
  objects.clear();
}

void detail::apply_queued_releases() {
  if (releases_held() && (hold_check == nullptr || hold_check())) return;  // the collection's end applies them
  ReleaseQueue& queue = release_queue();
  std::vector<PyObject*> batch;
  while (!releases_held() && releases_pending.load(std::memory_order_acquire)) {
    {
      std::lock_guard lock(queue.mutex);
      batch.swap(queue.objects);
      releases_pending.store(false, std::memory_order_relaxed);
    }
    // Releases may run __del__, which may queue further releases: loop until the queue stays empty. A batch of a
    // large prune holds objects scattered over the heap: each reference count is fetched a few objects ahead.
    constexpr size_t AHEAD = 8;
    for (size_t pos = 0; pos < batch.size(); ++pos) {
      if (pos + AHEAD < batch.size()) __builtin_prefetch(batch[pos + AHEAD], 1);
      Py_DECREF(batch[pos]);
    }
    batch.clear();
  }
}

size_t pending_release_count() noexcept {
  ReleaseQueue& queue = release_queue();
  std::lock_guard lock(queue.mutex);
  return queue.objects.size();
}

SharedPyRef SharedPyRef::steal(PyObject* obj) {
  SharedPyRef handle;
  if (obj == nullptr) return handle;
  Holder* holder = static_cast<Holder*>(::operator new(sizeof(Holder), std::nothrow));
  if (holder == nullptr) {
    release_python_reference(obj);
    throw std::bad_alloc();
  }
  // The handle owns the holder from here on; drop() destroys it.
  handle.holder_ = std::construct_at(holder, obj);
  return handle;
}

SharedPyRef SharedPyRef::borrow(PyObject* obj) {
  Py_XINCREF(obj);
  return steal(obj);
}

SharedPyRef SharedPyRef::borrow_heading(PyObject* obj, void* block) noexcept {
  static_assert(sizeof(Holder) == HEADING_BYTES && alignof(Holder) <= alignof(std::max_align_t));
  Py_INCREF(obj);
  SharedPyRef handle;
  // drop() frees a holder by the unsized ::operator delete: the whole block it starts.
  handle.holder_ = std::construct_at(static_cast<Holder*>(block), obj);
  return handle;
}

void SharedPyRef::drop(Holder* holder) noexcept {
  if (holder == nullptr) return;
  // The last holder skips the atomic decrement: a handle is only copied from another, so with none left but this one
  // nobody can be copying it now (the load acquires what the other holders did before letting go).
  if (holder->count.load(std::memory_order_acquire) != 1 &&
      holder->count.fetch_sub(1, std::memory_order_acq_rel) != 1) {
    return;
  }
  PyObject* obj = holder->obj;
  std::destroy_at(holder);
  ::operator delete(holder);
  release_python_reference(obj);
}

void SharedPyRef::reset_into(std::vector<PyObject*>& batch) noexcept {
  Holder* holder = std::exchange(holder_, nullptr);
  if (holder == nullptr) return;
  if (holder->count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  PyObject* obj = holder->obj;
  std::destroy_at(holder);
  ::operator delete(holder);
  try {
    batch.push_back(obj);
  } catch (const std::bad_alloc&) {
    release_python_reference(obj);
  }
}

GilAcquire::GilAcquire() noexcept(false) {
  detail::taking_gil_back = true;  // see take_gil_back: the interpreter may end the thread in here too
  state_ = PyGILState_Ensure();
  detail::taking_gil_back = false;
  ++releases_kept.gil_acquire_depth;
}

ReleasesKept::ReleasesKept() noexcept { ++releases_kept.depth; }
ReleasesKept::~ReleasesKept() { --releases_kept.depth; }

void apply_releases_kept() {
  // One at a time, off the list before it goes: a release may run __del__, which may keep and apply more here.
  KeptReleases& kept = releases_kept;
  while (kept.count > 0) {
    PyObject* obj = kept.objects[--kept.count];
    if (releases_held()) {
      queue_release(obj);
    } else {
      Py_DECREF(obj);
    }
  }
  apply_deferred_releases();  // those that did not fit
}

GilAcquire::~GilAcquire() {
  --releases_kept.gil_acquire_depth;
  PyGILState_Release(state_);
}

}  // namespace vostrel
