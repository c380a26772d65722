// BufferedBitmap: a bitmap with a fixed buffer of ids waiting to be bulk-added.
//
// Readers only read `bitmap`. Only a bulk writer fills the buffer, and it flushes
// every buffer before it lets go of its locks, so outside a bulk write the buffer
// is empty and readers never miss an id.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "index/core/structures/bitmap.hpp"
#include "index/internal_error.hpp"

namespace vostrel {

template <size_t Slots>
struct BufferedBitmap {
  std::array<uint32_t, Slots> buffer{};
  Bitmap bitmap;
  uint32_t count = 0;

  // Queue one id; a full buffer is first written with one bulk add.
  void push(uint32_t id) {
    if (count >= Slots) flush();
    buffer[count++] = id;
  }

  // Write the queued ids into the bitmap with one bulk add and empty the buffer.
  void flush() {
    if (count > Slots) throw InternalError("BufferedBitmap count above capacity");
    if (count != 0) {
      roaring_bitmap_add_many(&bitmap.roaring, count, buffer.data());
      count = 0;
    }
  }
};

}  // namespace vostrel
