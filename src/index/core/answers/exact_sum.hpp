// Numbers read back from their ordered keys, and their exact sum.
//
// A key is the number itself, in another order: sign, exponent and up to 64 significant bits (an int keeps all of
// its 64, a double its 53). So the keys of a value map are enough to answer min, max and sum without reading an
// object: ExactSum adds value x count for each key, exactly, and places the whole into a fixed-point accumulator wide
// enough for any finite double times any count (2304 bits), with no rounding at all; the total is rounded once at the end, to the nearest double
// (ties to even), as math.fsum rounds, or read out whole as an integer.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "index/core/structures/ordered_bitmap/ordered_key.hpp"

namespace vostrel {

// What a key stands for: zero, a finite number (-1)^negative x mantissa x 2^exponent, an infinity or a NaN.
struct DecodedNumber {
  enum class Kind : uint8_t { Zero, Finite, Infinite, NaN };
  Kind kind = Kind::Zero;
  bool negative = false;
  uint64_t mantissa = 0;  // Finite: nonzero
  int32_t exponent = 0;   // Finite: the weight of the mantissa's lowest bit is 2^exponent

  static DecodedNumber of(OrderedKey key);
  // Finite or zero and a whole number.
  bool integral() const;
  // Whether a double holds the value exactly (always so for zero and infinities; never for NaN).
  bool fits_double() const;
  // Zero or finite: the value as a double (exact when fits_double(), else rounded).
  double to_double() const;
};

class ExactSum {
 public:
  // Adds `count` times the number of `key`; NaN keys are skipped (not counted).
  void add(OrderedKey key, uint64_t count);

  // Numbers added (NaN not counted).
  uint64_t count() const { return count_; }
  // No infinity was added and the sum has no fractional part.
  bool integral() const;
  // The sum rounded once to the nearest double; an infinity when one was added (NaN for both signs) or when the
  // sum lies beyond the largest double.
  double to_double() const;
  // integral(): the sum as signed hexadecimal digits ("-1f", "0"), for an integer of any size.
  std::string integer_hex() const;
  // integral(): the sum when it fits in 64 bits.
  bool to_int64(int64_t& out) const;

 private:
  static constexpr size_t LIMBS = 36;
  // Bit i of an accumulator weighs 2^(i - FRACTION_BITS): the lowest bit of any double's key lies at or above it.
  static constexpr int32_t FRACTION_BITS = 1085;
  using Limbs = std::array<uint64_t, LIMBS>;

  static constexpr size_t EXPONENTS = 2047;  // the biased exponents of finite keys

  static void add_at(Limbs& limbs, unsigned __int128 value, uint32_t bit);
  // The exact sum's magnitude into `out`; returns whether it is negative.
  bool difference(Limbs& out) const;

  // Per biased exponent, the signed sum of mantissa x count of the keys with it: adding a number is one 128-bit
  // addition (a sum stays below 2^96: 64-bit mantissas times at most 2^32 ids in all); the buckets are placed into
  // the wide accumulator only when the total is read.
  std::array<__int128, EXPONENTS> by_exponent_{};
  uint64_t count_ = 0;
  bool positive_infinity_ = false;
  bool negative_infinity_ = false;
};

}  // namespace vostrel
