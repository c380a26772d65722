// QueryExpr::debug_text: a query tree as text, e.g. And([Eq("age", ...), ...]), for repr and error messages.
#include "index/core/query/query_expr.hpp"

#include <cstdio>
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

// Double-quoted text with backslash escapes for quotes, backslashes and control characters.
void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (unsigned char byte : text) {
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[12];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
          out += escaped;
        } else {
          out.push_back(static_cast<char>(byte));
        }
    }
  }
  out.push_back('"');
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
      append_quoted(out, attr.view());
      out += ", ";
      append_list(values, [&out](const PyValue& value) { out += value.debug_text(); });
      break;
    default:
      append_quoted(out, attr.view());
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
