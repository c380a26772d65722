// QueryExpr::debug_text: a query tree as text, e.g. And([Eq("age", ...), ...]), for repr and error messages.
#include "index/core/query/query_expr.hpp"

#include <string>

namespace vostrel {
namespace {

const char* kind_name(QueryKind kind) {
  switch (kind) {
    case QueryKind::Eq: return "Eq";
    case QueryKind::Ne: return "Ne";
    case QueryKind::Not: return "Not";
    case QueryKind::In: return "In";
    case QueryKind::And: return "And";
    case QueryKind::Or: return "Or";
    case QueryKind::Gt: return "Gt";
    case QueryKind::Ge: return "Ge";
    case QueryKind::Lt: return "Lt";
    case QueryKind::Le: return "Le";
    case QueryKind::Bt: return "Bt";
    case QueryKind::StartsWi: return "StartsWi";
    case QueryKind::EndsWi: return "EndsWi";
    case QueryKind::Contains: return "Contains";
  }
  return "?";
}

}  // namespace

std::string QueryExpr::debug_text() const {
  std::string out = kind_name(kind);
  out.push_back('(');
  auto append_list = [&out](const auto& items, auto&& render) {
    out.push_back('[');
    for (size_t pos = 0; pos < items.size(); ++pos) {
      if (pos != 0) out += ", ";
      render(items[pos]);
    }
    out.push_back(']');
  };
  switch (kind) {
    case QueryKind::Not:
      out += children.at(0).debug_text();
      break;
    case QueryKind::And:
    case QueryKind::Or:
      append_list(children, [&out](const QueryExpr& child) { out += child.debug_text(); });
      break;
    case QueryKind::In:
      out += quoted_text(attr.view());
      out += ", ";
      append_list(values, [&out](const PyValue& value) { out += value.debug_text(); });
      break;
    default:
      out += quoted_text(attr.view());
      for (const PyValue& value : values) {
        out += ", ";
        out += value.debug_text();
      }
      break;
  }
  out.push_back(')');
  return out;
}

}  // namespace vostrel
