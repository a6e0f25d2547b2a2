// Float-to-integer conversions and rounding with well-defined results.
//
// C++ float-to-integer casts are undefined outside the target range; every such
// conversion in the library goes through saturating_cast (NaN -> 0, out of range
// -> the nearest bound, fractions truncated toward zero).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace tarvelo {

template <class Int>
constexpr Int saturating_cast(double x) {
  static_assert(std::is_integral_v<Int>);
  if (std::isnan(x)) return 0;
  // min and max + 1 of every integer type up to 64 bits are zero or a power of
  // two, exactly representable, so these comparisons are exact. hi_excl is
  // max + 1: the first value the cast could not represent.
  constexpr double lo = static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double hi_excl = std::is_signed_v<Int>
      ? -static_cast<double>(std::numeric_limits<Int>::min())
      : 2.0 * (static_cast<double>(std::numeric_limits<Int>::max() / 2) + 1.0);
  if (x <= lo) return std::numeric_limits<Int>::min();
  if (x >= hi_excl) return std::numeric_limits<Int>::max();
  return static_cast<Int>(x);
}

template <class Int>
Int saturating_cast(float x) {
  return saturating_cast<Int>(static_cast<double>(x));
}

// Rounds to the nearest integer, halves away from zero.
inline double round_half_away(double x) { return std::round(x); }

// Rounds to the nearest integer, halves to the even neighbour (current rounding
// mode is never changed by the library, so nearbyint rounds half-even).
inline double round_half_even(double x) { return std::nearbyint(x); }

}  // namespace tarvelo
