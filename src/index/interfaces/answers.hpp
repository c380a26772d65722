// The answer methods Index and FilteredIndex share: sorted_by, value_counts, group_by, sum, min, max, mean.
//
// Each checks and converts its arguments with the interpreter lock, computes its answer over one AnswerScope with it
// released, and builds the Python result once the scope's locks are gone and the interpreter lock is back.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "index/core/filtered_index.hpp"
#include "index/core/index.hpp"
#include "index/py_ref.hpp"

namespace vostrel {

// What an answer is asked over: an Index's engine, or a view's core, and the holder of their store (which the views
// group_by makes keep alive).
struct AnswerSource {
  std::shared_ptr<IndexAPI> index;          // an Index: its own share, so clearing the Index meanwhile is harmless
  const FilteredIndexCore* view = nullptr;  // a FilteredIndex
  PyRef store;
};

PyObject* answer_sorted_by(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_value_counts(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_group_by(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_sum(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_min(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_max(const AnswerSource& source, PyObject* args, PyObject* kwargs);
PyObject* answer_mean(const AnswerSource& source, PyObject* args, PyObject* kwargs);

// The method table entries of the answers for a class whose methods take (self, args, kwargs); `Source` turns self
// into an AnswerSource.
template <AnswerSource (*Source)(PyObject*)>
struct AnswerMethods {
  template <PyObject* (*Answer)(const AnswerSource&, PyObject*, PyObject*)>
  static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return Answer(Source(self), args, kwargs);
  }
};

}  // namespace vostrel
