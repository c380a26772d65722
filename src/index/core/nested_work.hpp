// Running the nested-object registrations that value maps hand back as tasks (query/nested_tasks.hpp), and the
// nested index of a value map as the engine sees it.
#pragma once

#include <cstdint>
#include <memory>

#include "index/core/query/nested_tasks.hpp"

namespace vostrel {

class IndexAPI;
class QueryMap;

// The nested index of `map`, null before its first nested object. The engine's index is the one implementation of
// the value maps' NestedIndex.
IndexAPI* nested_index_of(const QueryMap& map) noexcept;
std::shared_ptr<IndexAPI> shared_nested_index_of(const QueryMap& map) noexcept;
// The nested index of `map`, made (within the tree's budget) when there is none yet; null when the
// budget refused it (for good) or the map's index is gone.
IndexAPI* ensure_nested(const GateHeld& gate, QueryMap& map);

// Records that `holder` (an object of the index owning `map`) had a nested link in `map` cut.
void record_cut_link(const GateHeld& gate, QueryMap& map, uint32_t holder);

// No object or index lock held: the objects of `nested` whose links some map here recorded as cut
// (QueryMap::cut_holders) try them again, each on a path it still stands on; a cycle that still stands is cut again.
// After a prune, which may have taken one holder of such an object. Never fails: should memory run out, links not
// made stay cut, as they were.
void retry_cut_links(const GateHeld& gate, IndexAPI& nested) noexcept;

// Runs every task, including those the tasks add. `origin` is the object whose insertion or write produced the
// tasks. Call under the writer gate, holding no object or index lock.
//
// A failing link (MemoryError) takes itself back and propagates: when no unlink ran before it, the caller takes its
// change back by removing the values that made the tasks, whose unlinks undo the links made so far. A failing unlink
// does not raise: false is returned, and what it left is out of reach of every answer (its pair or id went first);
// the caller then has the index repaired (defer_repair).
[[nodiscard]] bool run_nested_work(const GateHeld& gate, NestedWork& work, uint32_t origin);

}  // namespace vostrel
