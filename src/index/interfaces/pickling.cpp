// Pickling of queries, indexes and views: __reduce__ and the module functions that rebuild them on load.
#include "index/interfaces/pickling.hpp"

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/query/query_ops.hpp"
#include "index/interfaces/common.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/query.hpp"
#include "index/types.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

// The builder names of the leaves that take (attr, value), which are also their names in a parts list.
struct LeafName {
  QueryKind kind;
  const char* name;
};
constexpr LeafName LEAF_NAMES[] = {
    {QueryKind::Eq, "eq"},          {QueryKind::Ne, "ne"},          {QueryKind::Gt, "gt"},
    {QueryKind::Ge, "ge"},          {QueryKind::Lt, "lt"},          {QueryKind::Le, "le"},
    {QueryKind::StartsWi, "starts_with"}, {QueryKind::EndsWi, "ends_with"}, {QueryKind::Contains, "contains"},
};

const char* leaf_name(QueryKind kind) {
  for (const LeafName& leaf : LEAF_NAMES) {
    if (leaf.kind == kind) return leaf.name;
  }
  return nullptr;
}

PyRef text_object(std::string_view text) {
  return PyRef::steal(check_py(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)));
}

PyRef module_function(const char* name) {
  PyRef module = PyRef::steal(check_py(PyImport_ImportModule("Vostrel")));
  return PyRef::steal(check_py(PyObject_GetAttrString(module.get(), name)));
}

void append(PyObject* list, PyRef item) {
  if (PyList_Append(list, item.get()) < 0) throw_python_error();
}

// Appends the parts of `expr` in postfix order. Recurses once per level: the builders keep trees within
// MAX_QUERY_DEPTH.
void append_parts(PyObject* parts, const QueryExpr& expr) {
  switch (expr.kind) {
    case QueryKind::And:
    case QueryKind::Or: {
      for (const QueryExpr& child : expr.children) append_parts(parts, child);
      append(parts, PyRef::steal(check_py(Py_BuildValue("(sn)", expr.kind == QueryKind::And ? "and_" : "or_",
                                                        static_cast<Py_ssize_t>(expr.children.size())))));
      return;
    }
    case QueryKind::Not:
      append_parts(parts, expr.children.at(0));
      append(parts, PyRef::steal(check_py(Py_BuildValue("(s)", "not_"))));
      return;
    case QueryKind::Bt: {
      PyRef attr = text_object(expr.attr.view());
      PyRef low = expr.values.at(0).to_python();
      PyRef high = expr.values.at(1).to_python();
      append(parts, PyRef::steal(check_py(Py_BuildValue("(sOOO)", "bt", attr.get(), low.get(), high.get()))));
      return;
    }
    case QueryKind::In: {
      PyRef attr = text_object(expr.attr.view());
      PyRef values = PyRef::steal(check_py(PyTuple_New(static_cast<Py_ssize_t>(expr.values.size()))));
      for (size_t pos = 0; pos < expr.values.size(); ++pos) {
        PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(pos), expr.values[pos].to_python().release());
      }
      append(parts, PyRef::steal(check_py(Py_BuildValue("(sOO)", "in_", attr.get(), values.get()))));
      return;
    }
    default: {
      const char* name = leaf_name(expr.kind);
      if (name == nullptr) throw InternalError("a query kind without a parts name");
      PyRef attr = text_object(expr.attr.view());
      PyRef value = expr.values.at(0).to_python();
      append(parts, PyRef::steal(check_py(Py_BuildValue("(sOO)", name, attr.get(), value.get()))));
      return;
    }
  }
}

[[noreturn]] void malformed(const char* what, Py_ssize_t position) {
  PyErr_Format(PyExc_ValueError, "malformed query parts at position %zd: %s", position, what);
  throw_python_error();
}

// The operands an and_/or_/not_ part takes from the top of the stack, in their original order.
std::vector<QueryExpr> pop_operands(std::vector<QueryExpr>& stack, PyObject* count_object, Py_ssize_t position) {
  if (!PyLong_Check(count_object)) malformed("an operand count must be an int", position);
  const Py_ssize_t count = PyLong_AsSsize_t(count_object);
  if (count == -1 && PyErr_Occurred()) throw_python_error();
  if (count < 0 || static_cast<size_t>(count) > stack.size()) malformed("more operands than parts before it", position);
  std::vector<QueryExpr> operands(std::make_move_iterator(stack.end() - count), std::make_move_iterator(stack.end()));
  stack.resize(stack.size() - static_cast<size_t>(count));
  return operands;
}

// One part, applied to the stack of expressions built so far.
void apply_part(std::vector<QueryExpr>& stack, PyObject* part, Py_ssize_t position) {
  if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) == 0 || !PyUnicode_Check(PyTuple_GET_ITEM(part, 0))) {
    malformed("each part must be a tuple starting with an operator name", position);
  }
  const Py_ssize_t size = PyTuple_GET_SIZE(part);
  Py_ssize_t name_length = 0;
  const char* name_text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(part, 0), &name_length);
  if (name_text == nullptr) throw_python_error();
  const std::string_view name(name_text, static_cast<size_t>(name_length));
  auto item = [&](Py_ssize_t pos) { return PyTuple_GET_ITEM(part, pos); };
  if (name == "and_" || name == "or_") {
    if (size != 2) malformed("and_ and or_ take one operand count", position);
    std::vector<QueryExpr> operands = pop_operands(stack, item(1), position);
    stack.push_back(QueryExpr::combine(name == "and_" ? QueryKind::And : QueryKind::Or, std::move(operands)));
  } else if (name == "not_") {
    if (size != 1 || stack.empty()) malformed("not_ takes the one part before it", position);
    QueryExpr operand = std::move(stack.back());
    stack.pop_back();
    stack.push_back(QueryExpr::negate(std::move(operand)));
  } else if (name == "bt") {
    if (size != 4) malformed("bt takes an attribute and two bounds", position);
    SmallString attr = text_argument("attr", item(1));
    PyValue low = PyValue::capture(PyRef::borrow(item(2)));
    PyValue high = PyValue::capture(PyRef::borrow(item(3)));
    stack.push_back(QueryExpr::between(std::move(attr), std::move(low), std::move(high)));
  } else if (name == "in_") {
    if (size != 3 || !PyTuple_Check(item(2))) malformed("in_ takes an attribute and a tuple of values", position);
    SmallString attr = text_argument("attr", item(1));
    std::vector<PyValue> values;
    values.reserve(static_cast<size_t>(PyTuple_GET_SIZE(item(2))));
    for (Py_ssize_t pos = 0; pos < PyTuple_GET_SIZE(item(2)); ++pos) {
      values.push_back(PyValue::capture(PyRef::borrow(PyTuple_GET_ITEM(item(2), pos))));
    }
    stack.push_back(QueryExpr::in(std::move(attr), std::move(values)));
  } else {
    const LeafName* leaf = nullptr;
    for (const LeafName& candidate : LEAF_NAMES) {
      if (name == candidate.name) leaf = &candidate;
    }
    if (leaf == nullptr) malformed("unknown operator name", position);
    if (size != 3) malformed("a leaf takes an attribute and a value", position);
    SmallString attr = text_argument("attr", item(1));
    stack.push_back(QueryExpr::leaf(leaf->kind, std::move(attr), PyValue::capture(PyRef::borrow(item(2)))));
  }
  if (stack.back().depth > MAX_QUERY_DEPTH) {
    PyErr_Format(PyExc_RecursionError, "query nested deeper than %u levels", static_cast<unsigned>(MAX_QUERY_DEPTH));
    throw_python_error();
  }
}

}  // namespace

PyObject* query_expr_reduce(PyObject* self, PyObject* /*unused*/) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    PyRef parts = PyRef::steal(check_py(PyList_New(0)));
    append_parts(parts.get(), reinterpret_cast<QueryExprObject*>(self)->expr);
    PyRef rebuild = module_function("_query_from_parts");
    return check_py(Py_BuildValue("(O(O))", rebuild.get(), parts.get()));
  });
}

PyObject* query_from_parts(PyObject* /*module*/, PyObject* parts) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    if (!PyList_Check(parts)) raise_argument_type("parts", "list", parts);
    std::vector<QueryExpr> stack;
    // Items are read by position each time: a value's capture may run Python code (a __hash__) that changes the list.
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(parts); ++position) {
      PyRef part = PyRef::borrow(PyList_GET_ITEM(parts, position));
      apply_part(stack, part.get(), position);
    }
    if (stack.size() != 1) malformed("the parts must make exactly one expression", PyList_GET_SIZE(parts));
    return make_query_expr(std::move(stack.back())).release();
  });
}

PyObject* collection_reduce(PyObject* self, PyObject* /*unused*/) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    PyRef collected = PyRef::steal(check_py(PyObject_CallMethod(self, "collect", nullptr)));
    // A view lists the shared placeholder where an object has left its index: it is no object of the view's.
    PyRef objects = PyRef::steal(check_py(PyList_New(0)));
    for (Py_ssize_t pos = 0; pos < PyList_GET_SIZE(collected.get()); ++pos) {
      PyObject* obj = PyList_GET_ITEM(collected.get(), pos);
      if (!is_placeholder(obj) && PyList_Append(objects.get(), obj) < 0) throw_python_error();
    }
    PyRef rebuild = module_function("_index_from_objects");
    return check_py(Py_BuildValue("(O(O))", rebuild.get(), objects.get()));
  });
}

PyObject* index_from_objects(PyObject* /*module*/, PyObject* objects) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    PyObject* type = reinterpret_cast<PyObject*>(index_type());
    if (type == nullptr) throw_python_error();
    PyRef index = PyRef::steal(check_py(PyObject_CallNoArgs(type)));
    PyRef done = PyRef::steal(check_py(PyObject_CallMethod(index.get(), "add_object_many", "O", objects)));
    return index.release();
  });
}

}  // namespace vostrel
