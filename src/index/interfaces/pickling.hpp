// Pickling of queries, indexes and views: __reduce__ and the module functions that rebuild them on load.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vostrel {

// PyQueryExpr.__reduce__(): (Vostrel._query_from_parts, (parts,)). `parts` is the tree in postfix order, a list of
// tuples: ("eq", attr, value) for eq/ne/gt/ge/lt/le/starts_with/ends_with/contains, ("bt", attr, lower, upper),
// ("in_", attr, (values...)), ("and_", n) and ("or_", n) over the last n parts, ("not_",) over the last one. A flat
// list rather than nested tuples, so that pickling a deep tree never recurses once per level.
PyObject* query_expr_reduce(PyObject* self, PyObject* unused);

// Vostrel._query_from_parts(parts): the PyQueryExpr a parts list stands for, built through the same steps as the
// static builders (values captured anew). ValueError for a malformed list, TypeError for a wrong type, nothing kept.
PyObject* query_from_parts(PyObject* module, PyObject* parts);

// Index.__reduce__() and FilteredIndex.__reduce__(): (Vostrel._index_from_objects, (objects,)), the objects in
// collect() order (a view's objects that left their index are left out). Both load as an Index.
PyObject* collection_reduce(PyObject* self, PyObject* unused);

// Vostrel._index_from_objects(objects): a new Index holding `objects`, added with add_object_many.
PyObject* index_from_objects(PyObject* module, PyObject* objects);

}  // namespace vostrel
