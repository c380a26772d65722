// OrderedKey: the 76-bit key whose unsigned order is the numeric order of ints and floats.
#pragma once

#include <compare>
#include <cstdint>

namespace vostrel {

// Key bits 0..63 are the mantissa word M, bits 64..75 the low 12 bits of the
// exponent word E, so comparing (E, M) compares the numbers. Integers and
// floats of equal value get equal keys; integers beyond 2^53 keep every bit.
struct OrderedKey {
  uint64_t m = 0;  // mantissa word M: key bits 0..63
  uint16_t e = 0;  // exponent word E, low 12 bits: key bits 64..75 (bit 75 most significant)

  static constexpr unsigned BITS = 76;

  // Key of a signed 64-bit integer.
  static OrderedKey from_int(int64_t v);

  // Key of a double; -0.0 shares the key of 0, NaNs sort beyond the infinity of their sign.
  static OrderedKey from_float(double x);

  // Key of the number (-1)^negative * m * 2^(exponent_value - 1086), m with its top bit set, exponent_value at most
  // 2046: how an int beyond 64 bits gets a key when its significant bits fit in m.
  static OrderedKey from_parts(bool negative, uint64_t m, uint16_t exponent_value);

  // Key bit i (0..75); bit 75 is the most significant.
  bool bit(unsigned i) const { return i < 64 ? ((m >> i) & 1) != 0 : ((e >> (i - 64)) & 1) != 0; }

  // Orders by E first, then M: the order of the numbers the keys encode.
  friend auto operator<=>(const OrderedKey& a, const OrderedKey& b) {
    if (auto by_exponent = a.e <=> b.e; by_exponent != 0) return by_exponent;
    return a.m <=> b.m;
  }
  friend bool operator==(const OrderedKey& a, const OrderedKey& b) { return a.e == b.e && a.m == b.m; }
};

}  // namespace vostrel
