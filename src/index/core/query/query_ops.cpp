// Query evaluation: not / ne as complements, and_ in planned order, or_ as unions, dotted paths on nested indexes.
#include "index/core/query/query_ops.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "index/core/query/leaf_operators.hpp"
#include "index/core/query/query.hpp"

namespace vostrel {
namespace {

// Without a count, conjunctions evaluate cheap, selective kinds first (equality and string matches before ranges).
int and_rank(QueryKind kind) {
  switch (kind) {
    case QueryKind::Eq: return 0;
    case QueryKind::Ne: return 1;
    case QueryKind::Not: return 2;
    case QueryKind::In: return 3;
    case QueryKind::StartsWi: return 4;
    case QueryKind::EndsWi: return 5;
    case QueryKind::Contains: return 6;
    case QueryKind::And: return 7;
    case QueryKind::Or: return 8;
    case QueryKind::Lt: return 9;
    case QueryKind::Le: return 10;
    case QueryKind::Gt: return 11;
    case QueryKind::Ge: return 12;
    case QueryKind::Bt: return 13;
  }
  return 14;
}

}  // namespace

Bitmap evaluate_query(const QueryMaps& maps, QueryScope scope, const QueryExpr& expr) {
  switch (expr.kind) {
    case QueryKind::Not: {
      if (std::optional<Bitmap> rest = evaluate_not_flag(maps, scope.ids, expr.children.at(0))) return std::move(*rest);
      Bitmap matched = evaluate_query(maps, scope, expr.children.at(0));
      return scope.ids - matched;
    }
    case QueryKind::Ne: {
      // Not of Eq: ids without the attribute, or with a value of another kind, are included.
      Bitmap matched = evaluate_leaf(maps, scope, QueryKind::Eq, expr);
      return scope.ids - matched;
    }
    case QueryKind::And:
      return evaluate_and_queries_vec(maps, scope, expr.children);
    case QueryKind::Or: {
      Bitmap result;
      for (const QueryExpr& child : expr.children) result |= evaluate_query(maps, scope, child);
      return result;
    }
    default:
      return evaluate_leaf(maps, scope, expr.kind, expr);
  }
}

Bitmap evaluate_and_queries_vec(const QueryMaps& maps, QueryScope scope, std::span<const QueryExpr> exprs) {
  // Plan: the parts whose number of matches is known cheaply (plain equalities and in_) go first, fewest first;
  // the others follow in kind order. Each part then works within what the earlier ones left.
  struct Step {
    const QueryExpr* expr;
    uint64_t count;  // UNKNOWN_COUNT when not known
  };
  std::vector<Step> ordered;
  ordered.reserve(exprs.size());
  uint64_t fewest = UNKNOWN_COUNT;
  for (const QueryExpr& expr : exprs) {
    const uint64_t count = match_count(maps, expr);
    if (count == 0) return Bitmap();  // an equality nothing holds: the conjunction is empty
    fewest = std::min(fewest, count);
    ordered.push_back(Step{&expr, count});
  }
  // Number ranges are sized too (a narrow one counted, a broad one estimated from the directory): a range holding
  // fewer ids than the smallest equality goes first, its ordered entries being the cheapest start. A range no
  // smaller keeps its place after the equalities, which narrow the set it is tested on.
  for (Step& step : ordered) {
    if (step.count != UNKNOWN_COUNT || !is_range(step.expr->kind)) continue;
    // Counted only as far as it matters: up to the smallest equality's count.
    const uint64_t count = match_count(maps, *step.expr, fewest);
    if (count == 0) return Bitmap();  // a range no number lies in
    if (fewest == UNKNOWN_COUNT || count < fewest) step.count = count;
  }
  if (ordered.empty()) return scope.ids;
  std::stable_sort(ordered.begin(), ordered.end(), [](const Step& a, const Step& b) {
    if (a.count != b.count) return a.count < b.count;
    return and_rank(a.expr->kind) < and_rank(b.expr->kind);
  });
  // Every evaluation returns a subset of the set it is given, so each step narrows the running set directly. The
  // first step works within the scope itself: a copy of its ids (the whole index, for a query on an index) would cost
  // a write and a read of every id. The later ones work within the running set, which the maps go beyond.
  Bitmap running = evaluate_query(maps, scope, *ordered.front().expr);
  for (size_t at = 1; at < ordered.size(); ++at) {
    if (running.isEmpty()) break;
    running = evaluate_query(maps, running, *ordered[at].expr);
  }
  return running;
}

Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr, const Bitmap& allowed) {
  const NestedIndex* nested = map.nested.get();
  if (nested == nullptr) return Bitmap();  // no nested object was ever stored here
  Bitmap nested_ids = nested->evaluate(expr);
  Bitmap holders = nested->get_parent_from_ids(nested_ids);
  // Holders that are members of a list/tuple/set value are reported as the object owning that value.
  map.resolve_members(holders, allowed);
  return holders;
}

}  // namespace vostrel
