// QueryExpr: building query trees, and checking them before evaluation.
#include "index/core/query/query_expr.hpp"

#include <string>
#include <utility>

#include "index/core/structures/internal_error.hpp"
#include "index/core/structures/string_interner/interner.hpp"

namespace vostrel {

// "not yet implemented: ..." for a bt whose bound `low` or `high` is not a number, saying which bound, what it must
// be and what it was (its type, and short text or a bool as itself). Reads only what the captured value holds.
[[noreturn]] void fail_bound(const PyValue& low, const PyValue& high) {
  const bool first = !is_number(low);
  const PyValue& bound = first ? low : high;
  std::string message = "not yet implemented: the ";
  message += first ? "lower (first)" : "upper (second)";
  message += " bound of bt must be a number (int or float), got ";
  switch (bound.kind()) {
    case ValueKind::Str: {
      const std::string_view text = bound.as_str();
      message += "str ";
      if (text.size() <= 40) {
        message += quoted_text(text);
      } else {
        message += "of " + std::to_string(text.size()) + " bytes";
      }
      break;
    }
    case ValueKind::Bool: message += bound.as_bool() ? "bool True" : "bool False"; break;
    default: {
      PyObject* object = bound.obj();
      message += object != nullptr ? Py_TYPE(object)->tp_name : "an object";
      break;
    }
  }
  throw NotYetImplemented(message);
}

QueryExpr QueryExpr::leaf(QueryKind kind, SmallString attr, PyValue value) {
  QueryExpr expr;
  expr.kind = kind;
  expr.attr = std::move(attr);
  expr.values.push_back(std::move(value));
  expr.prepare_path();
  return expr;
}

QueryExpr QueryExpr::between(SmallString attr, PyValue low, PyValue high) {
  QueryExpr expr = leaf(QueryKind::Bt, std::move(attr), std::move(low));
  expr.values.push_back(std::move(high));
  expr.prepare_path();  // again: the rest needs both bounds
  return expr;
}

QueryExpr QueryExpr::in(SmallString attr, std::vector<PyValue> values) {
  QueryExpr expr;
  expr.kind = QueryKind::In;
  expr.attr = std::move(attr);
  expr.values = std::move(values);
  expr.prepare_path();
  return expr;
}

QueryExpr QueryExpr::combine(QueryKind kind, std::vector<QueryExpr> children) {
  QueryExpr expr;
  expr.kind = kind;
  expr.children = std::move(children);
  for (const QueryExpr& child : expr.children) expr.depth = std::max(expr.depth, child.depth + 1);
  return expr;
}

QueryExpr QueryExpr::negate(QueryExpr child) {
  QueryExpr expr;
  expr.kind = QueryKind::Not;
  expr.depth = child.depth + 1;
  expr.children.push_back(std::move(child));
  return expr;
}

QueryExpr QueryExpr::with_attr(std::string_view path, QueryKind leaf_kind) const {
  QueryExpr copy;
  copy.kind = leaf_kind;
  copy.attr = SmallString(path);
  copy.values = values;
  copy.prepare_path();
  return copy;
}

void QueryExpr::prepare_path() {
  const auto [first, rest_path] = attr_parts(attr.view());
  first_name_id = INTERNER().get(first).value_or(NO_NAME_ID);
  rest = rest_path ? std::make_shared<const QueryExpr>(with_attr(*rest_path, kind)) : nullptr;
}

void check_query(const QueryExpr& expr) {
  if (expr.kind == QueryKind::Bt && (!is_number(expr.values[0]) || !is_number(expr.values[1]))) {
    fail_bound(expr.values[0], expr.values[1]);
  }
  for (const QueryExpr& child : expr.children) check_query(child);
}

std::optional<uint32_t> first_name_id(const QueryExpr& expr, std::string_view first) {
  if (expr.first_name_id != QueryExpr::NO_NAME_ID) return expr.first_name_id;
  return INTERNER().get(first);
}

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path) {
  const size_t dot = path.find('.');
  if (dot == std::string_view::npos) return {path, std::nullopt};
  return {path.substr(0, dot), path.substr(dot + 1)};
}

}  // namespace vostrel
