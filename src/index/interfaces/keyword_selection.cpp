// Keyword selections: one equality per keyword.
#include "index/interfaces/keyword_selection.hpp"

#include <algorithm>
#include <string_view>

#include "index/errors.hpp"

namespace vostrel {

std::vector<QueryExpr> kwargs_to_query(PyObject* kwargs) {
  std::vector<QueryExpr> equalities;
  if (kwargs == nullptr) return equalities;
  equalities.reserve(std::max<Py_ssize_t>(4, PyDict_GET_SIZE(kwargs)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      throw PythonErrorSet();
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == nullptr) throw PythonErrorSet();
    equalities.push_back(QueryExpr::leaf(QueryKind::Eq, SmallString(std::string_view(text, length)),
                                         PyValue::capture(PyRef::borrow(value))));
  }
  return equalities;
}

}  // namespace vostrel
