// The object iterator of Index and FilteredIndex: ascending ids, objects fetched from the store in chunks.
#include "index/interfaces/object_iterator.hpp"

#include "index/types.hpp"

#include <roaring/roaring.h>

#include <array>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/structures/locks/compact_mutex.hpp"
#include "index/interfaces/common.hpp"
#include "index/interfaces/docstrings.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

// Ids fetched per visit to the store: one short read lock per chunk, and a bounded buffer of references.
constexpr uint32_t CHUNK_IDS = STORED_BATCH;

struct ObjectIteratorState {
  PyRef keep_alive;    // the view whose ids are iterated (null for a snapshot)
  Bitmap own_ids;      // the snapshot of an Index's ids
  const Bitmap* ids;   // what is iterated: the view's ids or own_ids; never changes while iterated
  std::shared_ptr<ItemList> items;
  PyRef store;  // a snapshot's holder of the store (store_holder.hpp); null over a view's ids: keep_alive holds it
  PutHistory::Mark mark;  // what the store took in after it is no object of the iteration
  bool skip_placeholders;
  roaring_uint32_iterator_t cursor{};  // next id to fetch
  std::vector<PyRef> chunk;            // fetched (strong references), not yet yielded from `next` on
  size_t next = 0;
  // Serialises refills by threads sharing one iterator (a refill may read the store with the interpreter lock
  // released).
  CompactMutex mutex;
  // Set, with the interpreter lock held, while a refill may change `chunk` and `next`; the fast path of next() reads
  // them under the interpreter lock alone, and only while this is clear.
  bool refilling = false;
};

struct ObjectIteratorObject {
  PyObject_HEAD
  ObjectIteratorState state;
};

PyTypeObject object_iterator_type_object{};

ObjectIteratorState& state_of(PyObject* self) { return reinterpret_cast<ObjectIteratorObject*>(self)->state; }

PyObject* object_iterator_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for ObjectIterator");
  return nullptr;
}

void object_iterator_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  std::destroy_at(&state_of(self));
  Py_TYPE(self)->tp_free(self);
}

// The iterator holds the view it walks, the objects fetched and not yet yielded, and (over a snapshot of an Index)
// the store itself. During a refill the fetched objects are left out: a refill may give the interpreter lock up, and
// they are in its hands then, not the iterator's.
int object_iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  ObjectIteratorState& state = state_of(self);
  Py_VISIT(state.keep_alive.get());
  Py_VISIT(state.store.get());
  if (!state.refilling) {
    for (size_t pos = state.next; pos < state.chunk.size(); ++pos) Py_VISIT(state.chunk[pos].get());
  }
  return 0;
}

// Breaks a cycle through the iterator: it ends (its ids may belong to the view it lets go of) and holds nothing.
int object_iterator_clear(PyObject* self) {
  ObjectIteratorState& state = state_of(self);
  if (state.refilling) return 0;  // a refill's caller holds the iterator: it is not garbage
  state.cursor.has_value = false;
  const std::vector<PyRef> fetched = std::exchange(state.chunk, {});
  state.next = 0;
  const PyRef view = std::move(state.keep_alive);
  const PyRef store = std::move(state.store);
  state.mark.reset();
  state.items.reset();
  return 0;  // what it held is released here, with the iterator already consistent
}

// Fills `state.chunk` with the objects of the next ids; false once every id was fetched. Caller holds state.mutex
// and the interpreter lock. A free store is read at once (try-locked: nothing is waited for with the interpreter lock
// held) and each object gets its reference directly; a busy one is read with the interpreter lock released, copying
// handles (only their atomic counts are touched), which become references afterwards.
bool fetch_chunk(ObjectIteratorState& state) {
  while (state.chunk.empty() && state.cursor.has_value) {
    std::array<uint32_t, CHUNK_IDS> batch;
    const uint32_t count = roaring_read_uint32_iterator(&state.cursor, batch.data(), CHUNK_IDS);
    state.chunk.reserve(count);
    PyObject* placeholder = DEFAULT_PY_INDEXABLE_ARC().get();
    // An id that left the index since the snapshot: an index skips it; a view lists the placeholder, as collect does.
    const auto take = [&](PyObject* object) {
      if (object != nullptr) {
        state.chunk.push_back(PyRef::borrow(object));
      } else if (!state.skip_placeholders) {
        state.chunk.push_back(PyRef::borrow(placeholder));
      }
    };
    {
      std::shared_lock items_lock(state.items->mutex, std::try_to_lock);
      if (items_lock.owns_lock()) {
        // Read under the store's lock: what the store holds now was recorded before it was put there.
        const std::optional<Bitmap> hidden = state.items->history.stored_since(state.mark);
        visit_stored_ahead(state.items->value, batch.data(), count, [&](const StoredItem* item) {
          take(item != nullptr ? item->python_handle.get() : nullptr);
        }, hidden ? &*hidden : nullptr);
        continue;
      }
    }
    std::vector<SharedPyRef> handles;
    handles.reserve(count);
    without_gil<false>([&] {
      std::shared_lock items_lock(state.items->mutex);
      const std::optional<Bitmap> hidden = state.items->history.stored_since(state.mark);
      const ItemStore<StoredItem>& store = state.items->value;
      for (uint32_t pos = 0; pos < count; ++pos) {
        const StoredItem* item = hidden && hidden->contains(batch[pos]) ? nullptr : store.find(batch[pos]);
        handles.push_back(item != nullptr ? item->python_handle : SharedPyRef());
      }
    });
    for (const SharedPyRef& handle : handles) take(handle.get());
  }
  return !state.chunk.empty();
}

PyObject* object_iterator_next(PyObject* self) {
  ObjectIteratorState& state = state_of(self);
  // Handles leave the iterator before any reference is released, and are released only after unlocking: a release
  // may run __del__, which could touch this iterator.
  // Most calls take an object already fetched: the chunk's reference passes to the caller, no lock taken.
  if (!state.refilling && state.next < state.chunk.size()) return state.chunk[state.next++].release();
  std::vector<PyRef> spent;
  PyObject* result = guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::unique_lock lock = lock_releasing_gil(state.mutex);
    if (state.next == state.chunk.size()) {
      state.refilling = true;
      struct Done {
        bool& flag;
        ~Done() { flag = false; }  // with the interpreter lock held again, however the refill ends
      } done{state.refilling};
      spent.swap(state.chunk);
      state.next = 0;
      if (!fetch_chunk(state)) return nullptr;  // exhausted: StopIteration
    }
    return state.chunk[state.next++].release();
  });
  // Releases queued while the store was read run only now, with the iterator's lock let go.
  apply_deferred_releases();
  return result;
}

}  // namespace

PyTypeObject* object_iterator_type() {
  static const FinalTypeSpec spec{
      .name = "Vostrel.ObjectIterator",
      .basicsize = sizeof(ObjectIteratorObject),
      .doc = docs::OBJECT_ITERATOR,
      .construct = object_iterator_new,
      .dealloc = object_iterator_dealloc,
      .iter = PyObject_SelfIter,
      .iternext = object_iterator_next,
      .traverse = object_iterator_traverse,
      .clear = object_iterator_clear,
  };
  return ready_final_type(object_iterator_type_object, spec);
}

PyRef make_object_iterator(PyRef keep_alive, const Bitmap* ids, Bitmap own_ids, std::shared_ptr<ItemList> items,
                           PyRef store, PutHistory::Mark mark,
                           bool skip_placeholders) {
  PyTypeObject* type = object_iterator_type();
  if (type == nullptr) throw_python_error();
  PyRef object = PyRef::steal(check_py(type->tp_alloc(type, 0)));
  ObjectIteratorState* state = new (&state_of(object.get())) ObjectIteratorState{};
  state->keep_alive = std::move(keep_alive);
  state->own_ids = std::move(own_ids);
  state->ids = ids != nullptr ? ids : &state->own_ids;
  state->items = std::move(items);
  state->store = std::move(store);
  state->mark = std::move(mark);
  state->skip_placeholders = skip_placeholders;
  roaring_init_iterator(&state->ids->roaring, &state->cursor);
  return object;
}

}  // namespace vostrel
