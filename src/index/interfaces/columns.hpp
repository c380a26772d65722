// The column methods Index and FilteredIndex share: to_numpy, to_arrow, to_pandas, to_dicts.
//
// Each checks its arguments with the interpreter lock, reads its rows with it released (core/answers/columns.hpp:
// the objects chosen under one AnswerScope, then each object's map locked once), types the columns into buffers
// still without it, and only then, no engine lock held, makes Python objects and hands the buffers to numpy,
// pyarrow or pandas, imported on first use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "index/interfaces/answers.hpp"

namespace vostrel {

PyObject* answer_to_numpy(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_to_arrow(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_to_pandas(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_to_dicts(const AnswerSource& source, PyObject* args, PyObject* kwargs);

}  // namespace vostrel
