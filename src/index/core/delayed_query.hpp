// BulkWriter: registers the attribute values of a batch of new objects into one index's value maps in groups.
//
// Adding objects one by one costs one bitmap insertion per id per structure (up to 76 for a number, two more than
// its length for a string) and a lock round trip for each. The writer instead collects, per value map, the ids each
// structure will receive and hands them over with one add_many per bitmap when the batch's chunk is flushed, taking
// each structure's write lock once per flush.
//
// Buffers belong to the writer, not to the structures, and live only while a chunk is staged; callers publish the
// chunk's ids in `item_ids` only after flush(), and every query result is cut down to `item_ids`, so a reader never
// sees an id whose values are still buffered. Because writers hold the process-wide writer gate, the staged values
// need no structure lock until they are flushed.
//
// Each kind of value has one push function (numbers, text, bools, exact-map values, iterable members, nested objects)
// and one matching step in the flush and in discard(), so a structure that should receive a kind as well is one more
// line in each. Members of lists, tuples and sets get their element ids here and go through the same pushes under
// them; their records (owner, captured member, the owner's element list) and mask bits are written at the flush.
// Nested objects enter the exact map like any exact value and come back as tasks: the caller registers them as one
// batch per nested index once the chunk is published.
//
// Everything staged since the last flush can be taken back with discard() (a chunk that failed halfway): buffered ids
// are removed from wherever a partial flush put them, element ids are given back, and the rare values that went the
// ordinary way (very long text) are removed the ordinary way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/nested_work.hpp"
#include "index/core/structures/ordered_bitmap/ordered_key.hpp"
#include "index/value.hpp"

namespace vostrel {

class QueryMap;

class BulkWriter {
 public:
  // Working space of the flush jobs, shared by every writer of a batch (see below).
  class ScratchPool;

  // The gate (`gate`) and `scratch` outlive the writer.
  BulkWriter(const GateHeld& gate, IndexAPI& index, ScratchPool& scratch);
  ~BulkWriter();
  BulkWriter(const BulkWriter&) = delete;
  BulkWriter& operator=(const BulkWriter&) = delete;

  // The object's attribute-map lock held, no index lock held: stages every attribute value of `id` (maps for new
  // attributes are placed at once, empty). Nested objects become tasks in `work`. On failure the values of `id` staged
  // so far stay staged; discard() takes them back.
  void stage(uint32_t id, const AttributeMap& attributes, NestedWork& work);

  // No index lock held: writes every buffered id into its structure; the buffers are emptied by the writer's next
  // stage, flush or discard. `alongside`, when given, runs on one of the flush's threads at the same time (the
  // caller's next stage, which takes no lock a flush holds); on any failure the jobs not yet started are skipped, the
  // flush may be partial (discard() takes it back) and the first exception propagates once every thread has stopped.
  void flush(const std::function<void()>& alongside = {});

  // The values of the last flush are the caller's for good (their objects were published): discard() leaves them.
  void keep_flushed();

  // No index lock held: undoes everything staged and not kept, flushed or not (including a flush that failed partway,
  // and one whose objects the caller could not publish), and drops maps that hold nothing afterwards. Never throws
  // past what removal itself may throw.
  void discard();

 private:
  struct NumberEntry {
    OrderedKey key;
    uint32_t id;
  };
  // Values of one map registered through the ordinary path (text too long to buffer).
  struct DirectValue {
    uint32_t id;
    PyValue value;
  };
  // A value kept in the exact map (unknown kinds).
  struct ExactEntry {
    PyValue value;
    uint64_t hash;  // taken once: the value's record may be far away in memory
    uint32_t id;
  };
  // A nested object (by its process-wide id) and the id holding it.
  struct ObjectEntry {
    uint32_t object;
    uint32_t holder;
  };
  // One member of an iterable: its element id and the id that owns it (an object, or the element id of an
  // enclosing iterable).
  struct ElementEntry {
    uint32_t element;
    uint32_t owner;
  };
  // One iterable with members: its owner, the captured value, and where its members' entries start in `elements`
  // (one per member, in member order; a member's own members are staged after them).
  struct IterableEntry {
    uint32_t owner;
    uint32_t first;
    PyValue iterable;
  };
  struct MapBuffer {
    std::shared_ptr<QueryMap> map;
    std::vector<NumberEntry> numbers;
    // Entries (position, key, id) the buffered non-empty strings put into the positional map, counted for the flush.
    size_t text_entries = 0;
    size_t longest_text = 0;
    std::vector<uint32_t> empty_texts;
    std::vector<DirectValue> text_values;  // the buffered strings (empty ones too), in staging order
    std::vector<uint32_t> trues;
    std::vector<uint32_t> falses;
    std::vector<ExactEntry> exact;
    std::vector<ObjectEntry> objects;
    std::vector<ElementEntry> elements;
    std::vector<IterableEntry> iterables;
    std::vector<DirectValue> direct;
    int64_t staged_values = 0;  // ids counted in `registered` since the last flush
    // Whether the text part of this flush has run, and whether the buffered strings are in the map's positions
    // (positional lock); the same for the numbers and the map's bit slices (numeric lock). See cover_positions.
    bool positions_done = false;
    bool positions_covered = false;
    bool slices_done = false;
    bool slices_covered = false;
    bool dirty = false;
  };

 public:
  // Blocks this large come fresh from the system when allocated and go back to it when freed, so a new one per flush
  // would fault in new pages every time: the working space is kept for the whole batch. A flush job borrows one
  // scratch for its run, so a batch holds as many as jobs ever ran at once (one per flush thread), not one per value
  // map, and the steps of a job run one after another in it.
  class ScratchPool {
   public:
    struct Scratch {
      std::vector<uint32_t> ids;
      std::vector<uint32_t> ids_too;
      std::vector<size_t> counts;
      std::vector<size_t> counts_too;
      std::vector<NumberEntry> numbers;
      std::vector<NumberEntry> numbers_too;
      // A text flush's ids per (position, key) bitmap; emptied after each flush, capacity kept.
      std::vector<std::vector<uint32_t>> text_buckets;
      // A flush's entries in id order, when staging did not meet them in it (see in_id_order).
      std::vector<uint32_t> order;
      std::vector<NumberEntry> numbers_by_id;
    };
    // A scratch for one job, back in the pool when the lease goes.
    class Lease {
     public:
      Lease(ScratchPool& pool, std::unique_ptr<Scratch> scratch) : pool_(pool), scratch_(std::move(scratch)) {}
      Lease(const Lease&) = delete;
      Lease& operator=(const Lease&) = delete;
      ~Lease() { pool_.give_back(std::move(scratch_)); }
      Scratch& operator*() const { return *scratch_; }

     private:
      ScratchPool& pool_;
      std::unique_ptr<Scratch> scratch_;
    };

    Lease borrow();

   private:
    void give_back(std::unique_ptr<Scratch> scratch) noexcept;

    std::mutex mutex_;  // leaf: guards `free_` and `made_` only
    std::vector<std::unique_ptr<Scratch>> free_;  // capacity: every scratch made
    size_t made_ = 0;
  };

 private:
  using Scratch = ScratchPool::Scratch;

  MapBuffer& buffer_for(uint32_t attribute);
  // Routes one value to the push of its kind (members of iterables too, under their element ids).
  void push_value(MapBuffer& buffer, uint32_t id, const PyValue& value, NestedWork& work);
  static void push_number(MapBuffer& buffer, const PyValue& value, uint32_t id);
  static void push_bool(MapBuffer& buffer, bool flag, uint32_t id);
  static void push_text(MapBuffer& buffer, std::string_view text, uint32_t id);
  static void push_exact(MapBuffer& buffer, const PyValue& value, uint32_t id);
  void push_iterable(MapBuffer& buffer, const PyValue& value, uint32_t owner, NestedWork& work);
  static void push_nested(MapBuffer& buffer, const PyValue& value, uint32_t holder, NestedWork& work);
  // What one flush job writes of a map: all of it, or one of two halves of a large map with no members (its value ->
  // id entries apart from the rest), so that the costliest maps split between both lanes. The halves take the map's
  // locks in turn; the work each does before locking (the pass over the strings' bytes, the sort of the numbers)
  // overlaps the other half.
  enum class FlushPart : uint8_t { Whole, AllButValueIds, ValueIds };
  struct FlushJob {
    size_t cost;
    MapBuffer* buffer;
    FlushPart part;
  };
  static void flush_map(MapBuffer& buffer, Scratch& scratch, FlushPart part = FlushPart::Whole);
  // Estimated work of flushing a buffer, in arbitrary units (to order and to size the parallel flush).
  static size_t flush_cost(const MapBuffer& buffer);
  // The part of a map's value -> ids job that grows with the numbers the map holds already.
  static size_t number_merge_cost(const MapBuffer& buffer);
  // The jobs of one flush: a job per map, the large maps without members in two.
  std::vector<FlushJob> flush_jobs() const;
  static const std::vector<NumberEntry>& sorted_by_key(const MapBuffer& buffer, Scratch& scratch);
  // Caller holds the map's positional lock.
  static void add_text_ids(QueryMap& map, const MapBuffer& buffer);
  // Caller holds the map's numeric lock; `sorted` is sorted_by_key of the buffer.
  static void add_number_ids(QueryMap& map, const std::vector<NumberEntry>& sorted);
  static void unset_value_ids(QueryMap& map, const MapBuffer& buffer, bool text);
  // Caller holds the map's positional write lock: when the text part of the flush passed without positions, the map
  // keeps them now and the buffered strings are not in them yet, puts them there one by one.
  static void cover_positions(QueryMap& map, MapBuffer& buffer);
  // Caller holds the map's numeric write lock: the same for the buffered numbers and the map's bit slices.
  static void cover_slices(QueryMap& map, MapBuffer& buffer);
  // Numeric lock held: whether the map's slices hold the buffered numbers already.
  static bool slices_hold(const QueryMap& map, const MapBuffer& buffer);
  static void flush_text(MapBuffer& buffer, Scratch& scratch, bool with_ids);
  static void flush_numbers(MapBuffer& buffer, Scratch& scratch, bool with_ids);
  static void flush_value_ids(MapBuffer& buffer, Scratch& scratch);
  static void flush_exact(MapBuffer& buffer, Scratch& scratch);
  static void flush_objects(MapBuffer& buffer);
  static void flush_elements(MapBuffer& buffer, Scratch& scratch);
  static void remove_staged(MapBuffer& buffer);
  static void clear(MapBuffer& buffer);
  // Empties the buffers of the last flush.
  void clear_flushed();

  const GateHeld& gate_;  // held for the writer's whole life
  IndexAPI& index_;
  ScratchPool& scratch_;
  std::vector<std::unique_ptr<MapBuffer>> by_attribute_;  // position = attribute id; null until first met
  std::vector<MapBuffer*> dirty_;                         // buffers holding staged values, in first-use order
  bool flushed_ = false;  // `dirty_` holds the values of the last flush, written into their maps already
};

}  // namespace vostrel
