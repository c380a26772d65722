// The Python class PyQueryExpr: an immutable query expression built by static builders.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "index/core/query/query_ops.hpp"
#include "index/py_ref.hpp"

namespace vostrel {

struct QueryExprObject {
  PyObject_HEAD
  QueryExpr expr;  // never changed after construction, so one instance serves many queries and threads
};

// The PyQueryExpr type (created on first use, i.e. at module import; borrowed, lives for the process). Null with a
// Python error set if creation failed. Not subclassable; no constructor; no instance __dict__, no weak references.
PyTypeObject* query_expr_type();

bool is_query_expr(PyObject* obj);
// The one `query` argument of the reduced_query methods (by position or keyword): its expression, which lives as
// long as the call's arguments; null with TypeError set when it is missing or not a PyQueryExpr.
const QueryExpr* query_argument(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Interpreter lock held: a new PyQueryExpr owning `expr`. Throws PythonErrorSet.
PyRef make_query_expr(QueryExpr expr);

}  // namespace vostrel
