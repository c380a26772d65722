// Keeps what the cycle collector is shown of an engine container the same through one collection.
//
// The collector counts the references each container reports in one pass and follows them in a later pass of the same
// collection (and again when it checks whether finalizers revived anything). It assumes every container reports the
// same references each time. Engine threads change what an object's attribute map, a store or the ownership count
// behind a shared value holds without the interpreter lock, at any moment; a container whose lock is busy reports
// nothing. A value counted in one pass and not followed in the next looks unreachable: its weak references are
// cleared and its finalizer runs while an object still holds it.
//
// So, during a collection (announced through gc.callbacks), each such container reports the references it reported
// the first time it was visited in that collection. Those stay valid to the end: releases are held back meanwhile
// (hold_releases) and applied when the collection ends. Outside a collection (gc.get_referents, or a collection the
// interpreter runs without callbacks at shutdown) the container reports what it holds now.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vostrel {

// Adds the guard's callback to gc.callbacks, once. Interpreter lock held. Throws PythonErrorSet.
void install_collection_guard();

// The traverse of a container whose references engine threads change, reporting them as they are now.
using CurrentReferences = int (*)(PyObject* owner, visitproc visit, void* arg);

// Whether an owner that reported nothing at first may report references later in the same collection.
// - Yes for an object (`MayGain`): a reference it gains was captured with a new count of its own, or was held by
//   nothing the collector is shown, so reporting it later counts nothing twice. Not recording such owners keeps a
//   collection over objects without collectable values free of any record.
// - No for a store or a query (`FixedWhenEmpty`): stores share their handles (union_with, rebase), so a store can
//   become the sole holder of a reference another store reported first; both reporting it would count it twice.
enum class FirstReport { MayGain, FixedWhenEmpty };

// tp_traverse through the guard: outside a collection `current`; during one, the references `owner` first reported in
// it (those `current` reports now, when it reported none before and `first` allows it).
int traverse_as_first_seen(PyObject* owner, visitproc visit, void* arg, CurrentReferences current,
                           FirstReport first = FirstReport::MayGain);

// Forgets what `owner` reported in this collection; called when it is deallocated, as its address may be reused.
void forget_traversed(PyObject* owner) noexcept;

}  // namespace vostrel
