// OrderedKey: encoding of integers and doubles into order-preserving 76-bit keys.
#include "index/core/structures/ordered_bitmap/ordered_key.hpp"

#include <bit>

namespace vostrel {

namespace {

constexpr uint16_t EXPONENT_MASK = 0xFFF;
constexpr uint16_t NON_NEGATIVE = 0x800;  // E of zero; positives above, negatives below
constexpr uint64_t TOP_BIT = uint64_t{1} << 63;

// Positive magnitude (M, exponent value) to key; negatives mirror it by complement
// so that a larger magnitude sorts lower.
OrderedKey signed_key(bool negative, uint64_t m, uint16_t exponent_value) {
  const uint16_t e = NON_NEGATIVE | exponent_value;
  if (!negative) return OrderedKey{m, e};
  return OrderedKey{~m, static_cast<uint16_t>(~e & EXPONENT_MASK)};
}

}  // namespace

OrderedKey OrderedKey::from_int(int64_t v) {
  if (v == 0) return OrderedKey{0, NON_NEGATIVE};
  // Unsigned negation keeps INT64_MIN exact as 2^63.
  const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  const unsigned zeros = static_cast<unsigned>(std::countl_zero(magnitude));
  // 1086 - zeros is the biased double exponent of the magnitude, so the key of
  // an integer equals the key of the double of the same value.
  return signed_key(v < 0, magnitude << zeros, static_cast<uint16_t>(1086 - zeros));
}

OrderedKey OrderedKey::from_parts(bool negative, uint64_t m, uint16_t exponent_value) {
  return signed_key(negative, m, exponent_value);
}

OrderedKey OrderedKey::from_float(double x) {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const bool negative = (bits >> 63) != 0;
  const auto exponent_field = static_cast<uint16_t>((bits >> 52) & 0x7FF);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (exponent_field == 0 && fraction == 0) return OrderedKey{0, NON_NEGATIVE};
  if (exponent_field == 0) {
    // Subnormal: exponent value 0 and no implicit leading 1. Its M stays below
    // 2^63, so it sorts above zero (M = 0) and below the smallest normal
    // (exponent value 1), and among subnormals by fraction.
    return signed_key(negative, fraction << 11, 0);
  }
  return signed_key(negative, TOP_BIT | (fraction << 11), exponent_field);
}

}  // namespace vostrel
