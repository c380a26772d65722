// NestedIndex: what value maps and their evaluation ask of the nested index of their Ind values.
//
// Declared here, below the engine, so that the value maps need no engine header: the engine's index (IndexAPI) is
// the one implementation, and only the engine makes nested indexes (core/nested_work.hpp).
#pragma once

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/locks/gate_held.hpp"

namespace vostrel {

struct QueryExpr;

class NestedIndex {
 public:
  // The ids of this index matching `expr`.
  virtual Bitmap evaluate(const QueryExpr& expr) const = 0;
  // The holders (outer object or element ids) linking any of the nested objects `rights`.
  virtual Bitmap get_parent_from_ids(const Bitmap& rights) const = 0;
  // Drops the links of every holder outside `kept_holders`.
  virtual void keep_holders(const GateHeld& gate, const Bitmap& kept_holders) = 0;

 protected:
  NestedIndex() = default;
  ~NestedIndex() = default;  // owned as the engine's index, never deleted through this class
};

}  // namespace vostrel
