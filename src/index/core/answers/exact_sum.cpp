// Numbers read back from their ordered keys, and their exact sum (see exact_sum.hpp).
#include "index/core/answers/exact_sum.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace vostrel {
namespace {

constexpr uint16_t NON_NEGATIVE = 0x800;  // E of zero: positives above, negatives below (ordered_key.cpp)
constexpr uint16_t EXPONENT_BITS = 0x7FF;
constexpr uint64_t TOP_BIT = uint64_t{1} << 63;
// The biased exponent a double's key keeps, minus this, is the weight of the key's lowest mantissa bit.
constexpr int32_t KEY_BIAS = 1086;

template <size_t N>
bool test_bit(const std::array<uint64_t, N>& limbs, int64_t bit) {
  return bit >= 0 && ((limbs[static_cast<size_t>(bit) / 64] >> (bit % 64)) & 1) != 0;
}

// `width` (<= 64) bits of `limbs` from bit `low` up.
template <size_t N>
uint64_t bits_at(const std::array<uint64_t, N>& limbs, uint32_t low, uint32_t width) {
  const size_t word = low / 64;
  const uint32_t shift = low % 64;
  uint64_t value = limbs[word] >> shift;
  if (shift != 0 && word + 1 < N) value |= limbs[word + 1] << (64 - shift);
  return width == 64 ? value : value & ((uint64_t{1} << width) - 1);
}

// Whether any bit below `bit` is set.
template <size_t N>
bool any_below(const std::array<uint64_t, N>& limbs, uint32_t bit) {
  const size_t word = bit / 64;
  for (size_t at = 0; at < word; ++at) {
    if (limbs[at] != 0) return true;
  }
  const uint32_t shift = bit % 64;
  return shift != 0 && (limbs[word] & ((uint64_t{1} << shift) - 1)) != 0;
}

// Position of the highest set bit, or -1.
template <size_t N>
int64_t top_bit(const std::array<uint64_t, N>& limbs) {
  for (size_t at = N; at-- > 0;) {
    if (limbs[at] != 0) return static_cast<int64_t>(at * 64 + 63 - static_cast<size_t>(std::countl_zero(limbs[at])));
  }
  return -1;
}

}  // namespace

DecodedNumber DecodedNumber::of(OrderedKey key) {
  DecodedNumber number;
  if (key.e == NON_NEGATIVE && key.m == 0) return number;
  number.negative = key.e < NON_NEGATIVE;
  const uint64_t m = number.negative ? ~key.m : key.m;
  const uint16_t e = number.negative ? static_cast<uint16_t>(~key.e & 0xFFF) : key.e;
  const uint16_t exponent = e & EXPONENT_BITS;
  if (exponent == EXPONENT_BITS) {
    number.kind = m == TOP_BIT ? Kind::Infinite : Kind::NaN;
    return number;
  }
  number.kind = Kind::Finite;
  // Subnormals keep exponent 0 and weigh as exponent 1 does, without the implicit leading bit.
  const int trailing = std::countr_zero(m);
  number.mantissa = m >> trailing;
  number.exponent = (exponent == 0 ? 1 : exponent) - KEY_BIAS + trailing;
  return number;
}

bool DecodedNumber::integral() const {
  return kind == Kind::Zero || (kind == Kind::Finite && exponent >= 0);
}

bool DecodedNumber::fits_double() const {
  if (kind == Kind::NaN) return false;
  return kind != Kind::Finite || std::bit_width(mantissa) <= 53;
}

double DecodedNumber::to_double() const {
  double value = 0.0;
  if (kind == Kind::Infinite) value = std::numeric_limits<double>::infinity();
  if (kind == Kind::NaN) value = std::numeric_limits<double>::quiet_NaN();
  if (kind == Kind::Finite) value = std::ldexp(static_cast<double>(mantissa), exponent);
  return negative ? -value : value;
}

void ExactSum::add(OrderedKey key, uint64_t count) {
  if (count == 0) return;
  const bool negative = key.e < NON_NEGATIVE;
  const uint64_t m = negative ? ~key.m : key.m;
  const uint16_t exponent = (negative ? static_cast<uint16_t>(~key.e & 0xFFF) : key.e) & EXPONENT_BITS;
  if (exponent == EXPONENT_BITS) {
    if (m != TOP_BIT) return;  // NaN
    (negative ? negative_infinity_ : positive_infinity_) = true;
  } else {
    const auto product = static_cast<__int128>(static_cast<unsigned __int128>(m) * count);
    by_exponent_[exponent] += negative ? -product : product;  // zero adds nothing
  }
  count_ += count;
}

void ExactSum::add_at(Limbs& limbs, unsigned __int128 value, uint32_t bit) {
  const size_t word = bit / 64;
  const uint32_t shift = bit % 64;
  const auto low = static_cast<uint64_t>(value);
  const auto high = static_cast<uint64_t>(value >> 64);
  const uint64_t parts[3] = {
      low << shift,
      shift == 0 ? high : (high << shift) | (low >> (64 - shift)),
      shift == 0 ? 0 : high >> (64 - shift),
  };
  uint64_t carry = 0;
  size_t at = word;
  for (size_t part = 0; part < 3 || carry != 0; ++part, ++at) {
    if (at >= LIMBS) break;  // beyond any sum of finite doubles times 64-bit counts
    const uint64_t add = part < 3 ? parts[part] : 0;
    const unsigned __int128 sum = static_cast<unsigned __int128>(limbs[at]) + add + carry;
    limbs[at] = static_cast<uint64_t>(sum);
    carry = static_cast<uint64_t>(sum >> 64);
  }
}

bool ExactSum::difference(Limbs& out) const {
  Limbs positive{};
  Limbs negative_part{};
  for (size_t exponent = 0; exponent < EXPONENTS; ++exponent) {
    const __int128 sum = by_exponent_[exponent];
    if (sum == 0) continue;
    // A mantissa's lowest bit weighs 2^(exponent - KEY_BIAS) (subnormals as exponent 1), which is bit
    // exponent - KEY_BIAS + FRACTION_BITS = exponent - 1 of the accumulator.
    static_assert(FRACTION_BITS == KEY_BIAS - 1);
    const auto bit = static_cast<uint32_t>(std::max<size_t>(exponent, 1) - 1);
    if (sum > 0) {
      add_at(positive, static_cast<unsigned __int128>(sum), bit);
    } else {
      add_at(negative_part, static_cast<unsigned __int128>(-sum), bit);
    }
  }
  bool negative = false;
  for (size_t at = LIMBS; at-- > 0;) {
    if (positive[at] != negative_part[at]) {
      negative = negative_part[at] > positive[at];
      break;
    }
  }
  const Limbs& larger = negative ? negative_part : positive;
  const Limbs& smaller = negative ? positive : negative_part;
  uint64_t borrow = 0;
  for (size_t at = 0; at < LIMBS; ++at) {
    const unsigned __int128 take = static_cast<unsigned __int128>(smaller[at]) + borrow;
    out[at] = larger[at] - static_cast<uint64_t>(take);
    borrow = static_cast<unsigned __int128>(larger[at]) < take ? 1 : 0;
  }
  return negative;
}

bool ExactSum::integral() const {
  if (positive_infinity_ || negative_infinity_) return false;
  Limbs total{};
  difference(total);
  return !any_below(total, FRACTION_BITS);
}

double ExactSum::to_double() const {
  constexpr double INF = std::numeric_limits<double>::infinity();
  if (positive_infinity_ && negative_infinity_) return std::numeric_limits<double>::quiet_NaN();
  if (positive_infinity_) return INF;
  if (negative_infinity_) return -INF;
  Limbs total{};
  const bool negative = difference(total);
  const int64_t top = top_bit(total);
  if (top < 0) return 0.0;
  // 53 significant bits, fewer where the result is subnormal (its last bit weighs 2^-1074 whatever its size).
  const int64_t top_weight = top - FRACTION_BITS;
  int64_t keep = 53;
  if (top_weight < -1022) keep = std::max<int64_t>(1, 53 - (-1022 - top_weight));
  keep = std::min<int64_t>(keep, top + 1);
  const auto low = static_cast<uint32_t>(top - keep + 1);
  uint64_t kept = bits_at(total, low, static_cast<uint32_t>(keep));
  if (low > 0 && test_bit(total, low - 1) && (any_below(total, low - 1) || (kept & 1) != 0)) ++kept;
  const double value = std::ldexp(static_cast<double>(kept), static_cast<int>(static_cast<int64_t>(low) - FRACTION_BITS));
  return negative ? -value : value;
}

std::string ExactSum::integer_hex() const {
  Limbs total{};
  const bool negative = difference(total);
  const int64_t top = top_bit(total);
  if (top < FRACTION_BITS) return "0";
  std::string digits = negative ? "-" : "";
  static constexpr char HEX[] = "0123456789abcdef";
  const int64_t nibbles = (top - FRACTION_BITS) / 4 + 1;
  for (int64_t nibble = nibbles; nibble-- > 0;) {
    digits.push_back(HEX[bits_at(total, static_cast<uint32_t>(FRACTION_BITS + 4 * nibble), 4)]);
  }
  return digits;
}

bool ExactSum::to_int64(int64_t& out) const {
  Limbs total{};
  const bool negative = difference(total);
  const int64_t top = top_bit(total);
  if (top >= FRACTION_BITS + 63) return false;
  const uint64_t magnitude = top < FRACTION_BITS ? 0 : bits_at(total, FRACTION_BITS, 64);
  out = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

}  // namespace vostrel
