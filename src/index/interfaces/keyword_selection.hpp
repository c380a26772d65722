// Keyword selections (`reduced(city="Oslo", age=31)`): one equality per keyword.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "index/core/query/query_expr.hpp"

namespace vostrel {

// One Eq per keyword, in dictionary order. Interpreter lock held; throws PythonErrorSet or InternalError (value
// capture) with nothing changed.
std::vector<QueryExpr> kwargs_to_query(PyObject* kwargs);

}  // namespace vostrel
