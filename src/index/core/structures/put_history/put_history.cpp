// PutHistory: which ids an object store took in after a given moment.
#include "index/core/structures/put_history/put_history.hpp"

#include <algorithm>

namespace vostrel {

namespace {
// Held by the history alone: no mark (and so no view) needs it.
bool unmarked(const std::shared_ptr<PutHistory::Generation>& generation) { return generation.use_count() == 1; }
}  // namespace

void PutHistory::fold_unmarked() {
  if (std::none_of(generations_.begin(), generations_.end(), unmarked)) return;
  // The ids of a generation serve the marks of that generation and of every earlier one; without marks of its own,
  // they serve the earlier ones only.
  std::vector<std::shared_ptr<Generation>> kept;
  kept.reserve(generations_.size());
  for (std::shared_ptr<Generation>& generation : generations_) {
    if (!unmarked(generation)) {
      kept.push_back(std::move(generation));
    } else if (!kept.empty()) {
      // A failure here leaves ids folded into an earlier generation that its marks would have met later anyway.
      kept.back()->stored |= generation->stored;
    }
  }
  generations_ = std::move(kept);
}

PutHistory::Generation* PutHistory::recording() {
  // The usual case: the last view made is gone, and with it every mark.
  while (!generations_.empty() && unmarked(generations_.front())) generations_.erase(generations_.begin());
  return generations_.empty() ? nullptr : generations_.back().get();
}

PutHistory::Mark PutHistory::mark() {
  std::lock_guard lock(mutex_);
  // The usual case: the views of the earlier marks are gone. The one generation left serves the new mark, emptied
  // (its ids came in before this moment), with no allocation.
  if (generations_.size() == 1 && unmarked(generations_.front())) {
    generations_.front()->stored = Bitmap();
    return generations_.front();
  }
  fold_unmarked();
  // Marks taken with no id stored between them share one generation.
  if (generations_.empty() || !generations_.back()->stored.isEmpty()) {
    generations_.push_back(std::make_shared<Generation>());
  }
  return generations_.back();
}

void PutHistory::stored(uint32_t id) {
  std::lock_guard lock(mutex_);
  if (Generation* current = recording()) current->stored.add(id);
}

std::optional<Bitmap> PutHistory::stored_since(const Mark& mark) const {
  if (!mark) return std::nullopt;
  std::lock_guard lock(mutex_);
  std::optional<Bitmap> since;
  bool reached = false;
  for (const std::shared_ptr<Generation>& generation : generations_) {
    reached = reached || generation == mark;
    if (!reached || generation->stored.isEmpty()) continue;
    if (since) {
      *since |= generation->stored;
    } else {
      since = generation->stored;
    }
  }
  return since;
}

size_t PutHistory::generation_count() const {
  std::lock_guard lock(mutex_);
  return generations_.size();
}

}  // namespace vostrel
