// The Python class PyQueryExpr: the object struct, its builders and its type object.
#include "index/interfaces/query.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "index/interfaces/collection_guard.hpp"
#include "index/interfaces/common.hpp"
#include "index/interfaces/docstrings.hpp"
#include "index/errors.hpp"
#include "index/interfaces/pickling.hpp"

namespace vostrel {
namespace {

// Filled in by the type getter below (a static type: lives for the process).
PyTypeObject query_expr_type_object{};

// Instances come only from the static builders.
PyObject* query_expr_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PyQueryExpr");
  return nullptr;
}

void query_expr_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  forget_traversed(self);
  reinterpret_cast<QueryExprObject*>(self)->expr.~QueryExpr();
  Py_TYPE(self)->tp_free(self);
}

// The captured values of a query are its own references (a query stored in an object it names forms a cycle).
int visit_expr(const QueryExpr& expr, visitproc visit, void* arg) {
  for (const PyValue& value : expr.values) {
    if (int result = value.traverse(visit, arg)) return result;
  }
  for (const QueryExpr& child : expr.children) {
    if (int result = visit_expr(child, visit, arg)) return result;
  }
  return 0;
}

int query_values(PyObject* self, visitproc visit, void* arg) {
  return visit_expr(reinterpret_cast<QueryExprObject*>(self)->expr, visit, arg);
}

// Which captured values count as the query's own depends on counts that engine threads change (copies into an index
// or into a query run): through the collection guard.
int query_expr_traverse(PyObject* self, visitproc visit, void* arg) {
  return traverse_as_first_seen(self, visit, arg, query_values, FirstReport::FixedWhenEmpty);
}

int query_expr_clear(PyObject* self) {
  QueryExpr dropped = std::exchange(reinterpret_cast<QueryExprObject*>(self)->expr, QueryExpr{});
  return 0;
}

PyObject* query_expr_repr(PyObject* self) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const std::string text = "<QueryExpr: " + reinterpret_cast<QueryExprObject*>(self)->expr.debug_text() + ">";
    return check_py(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

PyValue capture_value(PyObject* value) { return PyValue::capture(PyRef::borrow(value)); }

// eq, ne, gt, ge, lt, le, starts_with, ends_with, contains: (attr, value) -> the leaf of `Kind`.
template <QueryKind Kind>
PyObject* build_leaf(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"attr", "value", nullptr};
  PyObject* attr = nullptr;
  PyObject* value = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(names), &attr, &value)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    SmallString path = text_argument("attr", attr);
    return make_query_expr(QueryExpr::leaf(Kind, std::move(path), capture_value(value))).release();
  });
}

PyObject* build_between(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"attr", "lower", "upper", nullptr};
  PyObject* attr = nullptr;
  PyObject* lower = nullptr;
  PyObject* upper = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:bt", const_cast<char**>(names), &attr, &lower, &upper)) {
    return nullptr;
  }
  return guard_python_call<PyObject*>(nullptr, [&] {
    SmallString path = text_argument("attr", attr);
    PyValue low = capture_value(lower);
    PyValue high = capture_value(upper);
    return make_query_expr(QueryExpr::between(std::move(path), std::move(low), std::move(high))).release();
  });
}

PyObject* build_in(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"attr", "values", nullptr};
  PyObject* attr = nullptr;
  PyObject* values = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:in_", const_cast<char**>(names), &attr, &values)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    SmallString path = text_argument("attr", attr);
    // Any iterable of values (list, tuple, set, generator, ...), but a string is not taken as its characters.
    if (PyUnicode_Check(values)) raise_argument_type("values", "an iterable of values (not str)", values);
    PyRef iterator = PyRef::steal(PyObject_GetIter(values));
    if (!iterator) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
      PyErr_Clear();
      raise_argument_type("values", "an iterable of values (not str)", values);
    }
    std::vector<PyValue> captured;
    const Py_ssize_t hint = PyObject_LengthHint(values, 0);
    if (hint < 0) throw_python_error();
    captured.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 4096)));  // a hint is only a hint
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) captured.push_back(capture_value(item.get()));
    if (PyErr_Occurred()) throw_python_error();
    return make_query_expr(QueryExpr::in(std::move(path), std::move(captured))).release();
  });
}

// The operands of and_/or_/not_, cloned so the argument objects stay independent.
QueryExpr clone_operand(PyObject* operand) {
  if (!is_query_expr(operand)) raise_argument_type("exprs", "PyQueryExpr", operand);
  return reinterpret_cast<QueryExprObject*>(operand)->expr;
}

template <QueryKind Kind>
PyObject* build_combination(PyObject*, PyObject* args) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    std::vector<QueryExpr> operands;
    operands.reserve(static_cast<size_t>(PyTuple_GET_SIZE(args)));
    for (Py_ssize_t pos = 0; pos < PyTuple_GET_SIZE(args); ++pos) {
      operands.push_back(clone_operand(PyTuple_GET_ITEM(args, pos)));
    }
    return make_query_expr(QueryExpr::combine(Kind, std::move(operands))).release();
  });
}

PyObject* build_not(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"exprs", nullptr};
  PyObject* operand = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:not_", const_cast<char**>(names), &operand)) return nullptr;
  return guard_python_call<PyObject*>(nullptr,
                                      [&] { return make_query_expr(QueryExpr::negate(clone_operand(operand))).release(); });
}

// q1 & q2, q1 | q2, ~q: the same expressions and_(q1, q2), or_(q1, q2) and not_(q) build. Operands that are not
// PyQueryExpr leave the operator to the other operand (NotImplemented), so Python raises its usual TypeError.
template <QueryKind Kind>
PyObject* query_expr_binary(PyObject* left, PyObject* right) {
  if (!is_query_expr(left) || !is_query_expr(right)) Py_RETURN_NOTIMPLEMENTED;
  return guard_python_call<PyObject*>(nullptr, [&] {
    std::vector<QueryExpr> operands;
    operands.reserve(2);
    operands.push_back(clone_operand(left));
    operands.push_back(clone_operand(right));
    return make_query_expr(QueryExpr::combine(Kind, std::move(operands))).release();
  });
}

PyObject* query_expr_invert(PyObject* operand) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    return make_query_expr(QueryExpr::negate(clone_operand(operand))).release();
  });
}

// `q1 and q2` would quietly give q2: an expression has no truth value, as in SQLAlchemy or pandas.
int query_expr_bool(PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "a PyQueryExpr has no truth value: combine queries with &, | and ~ (not `and`, `or`, `not`)");
  return -1;
}

PyNumberMethods query_expr_as_number = [] {
  PyNumberMethods methods{};
  methods.nb_bool = query_expr_bool;
  methods.nb_and = query_expr_binary<QueryKind::And>;
  methods.nb_or = query_expr_binary<QueryKind::Or>;
  methods.nb_invert = query_expr_invert;
  return methods;
}();

constexpr int LEAF_FLAGS = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef query_expr_methods[] = {
    {"eq", as_py_cfunction(build_leaf<QueryKind::Eq>), LEAF_FLAGS, docs::QUERY_EQ},
    {"ne", as_py_cfunction(build_leaf<QueryKind::Ne>), LEAF_FLAGS, docs::QUERY_NE},
    {"gt", as_py_cfunction(build_leaf<QueryKind::Gt>), LEAF_FLAGS, docs::QUERY_GT},
    {"ge", as_py_cfunction(build_leaf<QueryKind::Ge>), LEAF_FLAGS, docs::QUERY_GE},
    {"lt", as_py_cfunction(build_leaf<QueryKind::Lt>), LEAF_FLAGS, docs::QUERY_LT},
    {"le", as_py_cfunction(build_leaf<QueryKind::Le>), LEAF_FLAGS, docs::QUERY_LE},
    {"bt", as_py_cfunction(build_between), LEAF_FLAGS, docs::QUERY_BT},
    {"in_", as_py_cfunction(build_in), LEAF_FLAGS, docs::QUERY_IN},
    {"starts_with", as_py_cfunction(build_leaf<QueryKind::StartsWi>), LEAF_FLAGS,
     docs::QUERY_STARTS_WITH},
    {"ends_with", as_py_cfunction(build_leaf<QueryKind::EndsWi>), LEAF_FLAGS,
     docs::QUERY_ENDS_WITH},
    {"contains", as_py_cfunction(build_leaf<QueryKind::Contains>), LEAF_FLAGS,
     docs::QUERY_CONTAINS},
    {"and_", as_py_cfunction(build_combination<QueryKind::And>), METH_VARARGS | METH_STATIC,
     docs::QUERY_AND},
    {"or_", as_py_cfunction(build_combination<QueryKind::Or>), METH_VARARGS | METH_STATIC,
     docs::QUERY_OR},
    {"not_", as_py_cfunction(build_not), LEAF_FLAGS, docs::QUERY_NOT},
    {"__reduce__", query_expr_reduce, METH_NOARGS, docs::QUERY_REDUCE},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* query_expr_type() {
  static const FinalTypeSpec spec{
      .name = "Vostrel.PyQueryExpr",
      .basicsize = sizeof(QueryExprObject),
      .doc = docs::QUERY_EXPR,
      .construct = query_expr_new,
      .dealloc = query_expr_dealloc,
      .methods = query_expr_methods,
      .repr = query_expr_repr,
      .as_number = &query_expr_as_number,
      .traverse = query_expr_traverse,
      .clear = query_expr_clear,
  };
  return ready_final_type(query_expr_type_object, spec);
}

bool is_query_expr(PyObject* obj) { return Py_IS_TYPE(obj, &query_expr_type_object); }

// A vectorcall method's one argument `query`, given by position or by name. Parsed by hand: the generic parser
// builds a format string and walks a keyword table, code and data that a selective query on cold caches waits for.
// The messages are those the generic parser gives.
const QueryExpr* query_argument(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t named = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  PyObject* query = nullptr;
  if (nargs + named > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument (%zd given)", method, nargs + named);
    return nullptr;
  }
  if (nargs == 1) {
    query = args[0];
  } else if (named == 1) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
    if (PyUnicode_CompareWithASCIIString(name, "query") != 0) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", name, method);
      return nullptr;
    }
    query = args[0];
  } else {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument 'query' (pos 1)", method);
    return nullptr;
  }
  if (!is_query_expr(query)) {
    PyErr_Format(PyExc_TypeError, "argument 'query': expected PyQueryExpr, got %.200s", Py_TYPE(query)->tp_name);
    return nullptr;
  }
  return &reinterpret_cast<QueryExprObject*>(query)->expr;
}

PyRef make_query_expr(QueryExpr expr) {
  if (expr.depth > MAX_QUERY_DEPTH) {
    PyErr_Format(PyExc_RecursionError, "query nested deeper than %u levels", static_cast<unsigned>(MAX_QUERY_DEPTH));
    throw_python_error();
  }
  PyTypeObject* type = query_expr_type();
  if (type == nullptr) throw_python_error();
  PyRef object = PyRef::steal(check_py(type->tp_alloc(type, 0)));
  new (&reinterpret_cast<QueryExprObject*>(object.get())->expr) QueryExpr(std::move(expr));
  return object;
}

}  // namespace vostrel
