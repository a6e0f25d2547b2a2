#include "tarvelo/blitz/compat.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tarvelo::blitz::compat {
namespace {

// numpy's pairwise_sum (loops_utils.h): the same code for every float type.
template <class T>
T pairwise_sum(const T* a, size_t n) {
  constexpr size_t kBlock = 128;
  if (n < 8) {
    T res = -T(0);
    for (size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= kBlock) {
    T r[8];
    for (size_t j = 0; j < 8; ++j) r[j] = a[j];
    size_t i;
    for (i = 8; i < n - (n % 8); i += 8) {
      for (size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    T res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// Horner's rule from the highest coefficient, one fused multiply-add per step
// as numpy's kernel evaluates it.
inline float horner_fma(float /*t*/, float c) { return c; }
template <class... Rest>
inline float horner_fma(float t, float c0, float c1, Rest... rest) {
  return horner_fma(t, std::fmaf(c0, t, c1), rest...);
}

}  // namespace

double numpy_pairwise_sum_f64(std::span<const double> values) {
  return pairwise_sum(values.data(), values.size());
}

float numpy_pairwise_sum_f32(std::span<const float> values) {
  return pairwise_sum(values.data(), values.size());
}

float numpy_log_f32(float x) {
  if (std::isnan(x)) return std::numeric_limits<float>::quiet_NaN();
  if (x == std::numeric_limits<float>::infinity()) return x;
  if (x == 0.0f) return -std::numeric_limits<float>::infinity();
  if (x < 0.0f) return -std::numeric_limits<float>::quiet_NaN();
  // numpy's kernel scales subnormals itself; for those we take the
  // platform's logf. Enrichment scores never reach this range.
  if (x < std::numeric_limits<float>::min()) return std::log(x);

  const uint32_t bits = std::bit_cast<uint32_t>(x);
  const int exponent = static_cast<int>(bits >> 23);  // sign bit is clear
  // The mantissa under the exponent of 0.5: 0.5 <= m < 1.
  const float m = std::bit_cast<float>((bits & 0x007fffffu) | 0x3f000000u);
  float t;
  int k;
  if (m > 0.70710677f) {
    t = (-0.0f + m) - 1.0f;
    k = exponent - 126;
  } else {
    t = (m + m) - 1.0f;
    k = exponent - 127;
  }
  const float p = horner_fma(t, 0.025899792f, 0.38088378f, 1.4800006f, 2.1126776f, 1.0f, 0.0f);
  const float q = horner_fma(t, 0.0058750953f, 0.15464763f, 0.9864943f, 2.453006f, 2.6126776f, 1.0f);
  return std::fmaf(static_cast<float>(k), 0.6931472f, p / q);
}

}  // namespace tarvelo::blitz::compat
