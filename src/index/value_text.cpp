// The debug and repr text of captured values.
#include "index/value.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "index/core/structures/fx_hash.hpp"
#include "index/object_record.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/types.hpp"
#include "index/errors.hpp"

namespace vostrel {

// ---- text form ----

namespace {

std::string address_text(const void* address) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "Py(%p)", address);
  return buffer;
}

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  std::string text(buffer, end);
  // Integral values keep a fractional part so they read as floats.
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string quoted_text(std::string_view text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    // A lone surrogate (kept as ED A0..BF xx, never valid UTF-8) is written as its code point: the text stays UTF-8.
    if (static_cast<unsigned char>(c) == 0xed && at + 2 < text.size() &&
        (static_cast<unsigned char>(text[at + 1]) & 0xe0) == 0xa0) {
      const unsigned point = 0xd000 | ((static_cast<unsigned char>(text[at + 1]) & 0x3f) << 6) |
                             (static_cast<unsigned char>(text[at + 2]) & 0x3f);
      char buffer[16];
      std::snprintf(buffer, sizeof(buffer), "\\u{%x}", point);
      out += buffer;
      at += 2;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char buffer[16];
          std::snprintf(buffer, sizeof(buffer), "\\u{%x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

namespace {

const char* iterable_kind_name(IterableKind kind) {
  switch (kind) {
    case IterableKind::List: return "List";
    case IterableKind::Dict: return "Dict";
    case IterableKind::Tuple: return "Tuple";
    case IterableKind::Set: return "Set";
  }
  return "List";
}

std::string value_text(const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::Int:
      return "Int(" + std::to_string(value.as_int()) + ")";
    case ValueKind::Float:
      return "Float(" + float_text(value.as_float()) + ")";
    case ValueKind::Str:
      return "Str(" + quoted_text(value.as_str()) + ")";
    case ValueKind::Bool:
      return value.as_bool() ? "Bool(true)" : "Bool(false)";
    case ValueKind::Iterable: {
      const IterableValue& iterable = value.as_iterable();
      return std::string("Iterable(") + iterable_kind_name(iterable.kind) + "(" +
             address_text(iterable.container) + "))";
    }
    case ValueKind::Ind: {
      const StoredIndexable& stored = value.as_indexable();
      std::string core = "None";
      if (stored.python_handle) {
        // The handle reads the object's core in place and never owns its id.
        core = "IndexableCore { id: " + std::to_string(stored.core().id) + ", owns_id: false }";
      }
      return "Ind(StoredIndexable { python_handle: " + address_text(stored.python_handle.get()) +
             ", owned_handle: " + core + " })";
    }
    case ValueKind::BigInt:
      return "BigInt(" + std::string(value.big_int_digits()) + ")";
    case ValueKind::Unknown:
      break;
  }
  return "Unknown";
}

}  // namespace

std::string PyValue::debug_text() const {
  PyObject* object = obj();
  std::string held = object != nullptr ? "Some(" + address_text(object) + ")" : "None";
  return "PyValue { obj: " + held + ", primitave: " + value_text(*this) + ", hash: " + std::to_string(hash()) + " }";
}

}  // namespace vostrel
