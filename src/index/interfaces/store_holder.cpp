// The object store of an index as the cycle collector sees it: one Python object that reports the stored objects.
#include "index/interfaces/store_holder.hpp"

#include <memory>
#include <new>
#include <utility>

#include "index/interfaces/collection_guard.hpp"
#include "index/interfaces/common.hpp"
#include "index/interfaces/docstrings.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

struct StoreHolderObject {
  PyObject_HEAD
  std::shared_ptr<ItemList> items;  // null once the collector cleared the holder
};

PyTypeObject store_holder_type_object{};

std::shared_ptr<ItemList>& items_of(PyObject* self) { return reinterpret_cast<StoreHolderObject*>(self)->items; }

PyObject* store_holder_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for ObjectStore");
  return nullptr;
}

void store_holder_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  forget_traversed(self);
  // May drop the store's last share, and so release its objects (and run their finalizers).
  std::destroy_at(&items_of(self));
  Py_TYPE(self)->tp_free(self);
}

int stored_references(PyObject* self, visitproc visit, void* arg) {
  const std::shared_ptr<ItemList>& items = items_of(self);
  return items ? visit_store(*items, visit, arg) : 0;
}

// Bulk insertions fill the store, and reductions empty it, without the interpreter lock: through the collection guard.
int store_holder_traverse(PyObject* self, visitproc visit, void* arg) {
  return traverse_as_first_seen(self, visit, arg, stored_references, FirstReport::FixedWhenEmpty);
}

// Every holder of the store is garbage too: each lets its share go, and the last one releases the objects.
int store_holder_clear(PyObject* self) {
  const std::shared_ptr<ItemList> dropped = std::exchange(items_of(self), nullptr);
  return 0;
}

}  // namespace

PyTypeObject* store_holder_type() {
  static const FinalTypeSpec spec{
      .name = "Vostrel.ObjectStore",
      .basicsize = sizeof(StoreHolderObject),
      .doc = docs::OBJECT_STORE,
      .construct = store_holder_new,
      .dealloc = store_holder_dealloc,
      .traverse = store_holder_traverse,
      .clear = store_holder_clear,
  };
  return ready_final_type(store_holder_type_object, spec);
}

PyRef make_store_holder(std::shared_ptr<ItemList> items) {
  PyTypeObject* type = store_holder_type();
  if (type == nullptr) throw_python_error();
  PyRef object = PyRef::steal(check_py(type->tp_alloc(type, 0)));
  new (&items_of(object.get())) std::shared_ptr<ItemList>(std::move(items));
  return object;
}

}  // namespace vostrel
