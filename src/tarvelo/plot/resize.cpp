#include "tarvelo/plot/resize.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tarvelo/base/numeric.hpp"

namespace tarvelo::plot {

namespace {

// Four channels of one pixel. Lane-wise float arithmetic is the same IEEE
// arithmetic as scalar code (no contraction: the build disables it), so the
// vector form only changes speed, never a result.
typedef float V4f __attribute__((vector_size(16)));
typedef uint8_t V4u8 __attribute__((vector_size(4)));

constexpr float kPi = 3.14159265358979323846f;

inline float sinc(float t) {
  if (t == 0.0f) return 1.0f;
  const float a = t * kPi;
  return std::sin(a) / a;
}

// The four channels of the pixel at p as floats (exact: they are 0..255).
inline V4f load_pixel(const uint8_t* p) {
#if defined(__SSE2__)
  // Widening in registers; the generic conversion below compiles to four
  // scalar conversions, which would dominate the whole resampling.
  int32_t bits;
  std::memcpy(&bits, p, 4);
  const __m128i zero = _mm_setzero_si128();
  __m128i v = _mm_cvtsi32_si128(bits);
  v = _mm_unpacklo_epi8(v, zero);
  v = _mm_unpacklo_epi16(v, zero);
  return reinterpret_cast<V4f>(_mm_cvtepi32_ps(v));
#else
  V4u8 v;
  std::memcpy(&v, p, 4);
  return __builtin_convertvector(v, V4f);
#endif
}

// Clamped to 0..255, then rounded half away from zero. For a value in that
// range v - trunc(v) is exact, so comparing it with one half rounds exactly
// as roundf does, without the library call.
inline uint8_t round_to_channel(float v) {
  if (v < 0.0f) v = 0.0f;
  else if (v > 255.0f) v = 255.0f;
  const auto whole = static_cast<uint32_t>(v);
  const float fraction = v - static_cast<float>(whole);
  return static_cast<uint8_t>(whole + (fraction >= 0.5f ? 1u : 0u));
}

}  // namespace

float lanczos3_kernel(float x) {
  if (!(std::fabs(x) < 3.0f)) return 0.0f;
  return sinc(x) * sinc(x / 3.0f);
}

ResampleTaps lanczos3_taps(uint32_t source_size, uint32_t target_size) {
  ResampleTaps t;
  const float ratio = static_cast<float>(source_size) / static_cast<float>(target_size);
  const float sratio = ratio < 1.0f ? 1.0f : ratio;
  const float support = 3.0f * sratio;
  t.first.reserve(target_size);
  t.offset.reserve(size_t{target_size} + 1);
  for (uint32_t o = 0; o < target_size; ++o) {
    const float center = (static_cast<float>(o) + 0.5f) * ratio;
    int64_t left = saturating_cast<int64_t>(std::floor(center - support));
    left = std::clamp<int64_t>(left, 0, int64_t{source_size} - 1);
    int64_t right = saturating_cast<int64_t>(std::ceil(center + support));
    right = std::clamp<int64_t>(right, left + 1, source_size);
    const float origin = center - 0.5f;
    const size_t begin = t.weights.size();
    float sum = 0.0f;
    for (int64_t i = left; i < right; ++i) {
      const float w = lanczos3_kernel((static_cast<float>(i) - origin) / sratio);
      t.weights.push_back(w);
      sum += w;
    }
    for (size_t k = begin; k < t.weights.size(); ++k) t.weights[k] /= sum;
    t.max_taps = std::max(t.max_taps, static_cast<uint32_t>(right - left));
    t.first.push_back(static_cast<uint32_t>(left));
    t.offset.push_back(static_cast<uint32_t>(begin));
  }
  t.offset.push_back(static_cast<uint32_t>(t.weights.size()));
  return t;
}

// Streams one output row at a time: its vertical pass fills a single row of
// f32 pixels, which the horizontal pass then reduces. Every output value is
// the same sum, in the same order, as with a whole intermediate image.
Result<Canvas> resize_lanczos3(const Canvas& source, uint32_t new_width, uint32_t new_height) {
  TARVELO_ASSIGN_OR_RETURN(Canvas out, Canvas::create(new_width, new_height, Rgba{}));
  const uint32_t width = source.width();
  const uint32_t height = source.height();
  if (width == new_width && height == new_height) {
    for (uint32_t y = 0; y < height; ++y)
      for (uint32_t x = 0; x < width; ++x) out.put(x, y, source.get(x, y));
    return out;
  }
  if (width == 0 || height == 0) return out;
  const ResampleTaps vertical = lanczos3_taps(height, new_height);
  const ResampleTaps horizontal = lanczos3_taps(width, new_width);
  std::vector<V4f> column_sums;
  std::vector<const uint8_t*> rows;
  try {
    column_sums.resize(width);
    rows.resize(vertical.max_taps);
  } catch (const std::bad_alloc&) {
    return Error::memory("failed to allocate a resampling row of " + std::to_string(width) +
                         " pixels");
  }
  for (uint32_t oy = 0; oy < new_height; ++oy) {
    const uint32_t first = vertical.first[oy];
    const float* w = vertical.weights.data() + vertical.offset[oy];
    const uint32_t taps = vertical.offset[oy + 1] - vertical.offset[oy];
    for (uint32_t j = 0; j < taps; ++j) rows[j] = source.row(first + j);
    uint32_t x = 0;
#if defined(__SSE2__)
    // Four pixels per step: one 16-byte load per tap and four independent
    // accumulators. Each channel still sums its taps in order.
    const __m128i zero = _mm_setzero_si128();
    for (; x + 4 <= width; x += 4) {
      const size_t at = size_t{x} * 4;
      __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
      for (uint32_t j = 0; j < taps; ++j) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[j] + at));
        const __m128i lo = _mm_unpacklo_epi8(b, zero), hi = _mm_unpackhi_epi8(b, zero);
        const __m128 wj = _mm_set1_ps(w[j]);
        a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)), wj));
        a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)), wj));
        a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)), wj));
        a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)), wj));
      }
      column_sums[x] = reinterpret_cast<V4f>(a0);
      column_sums[x + 1] = reinterpret_cast<V4f>(a1);
      column_sums[x + 2] = reinterpret_cast<V4f>(a2);
      column_sums[x + 3] = reinterpret_cast<V4f>(a3);
    }
#endif
    for (; x < width; ++x) {
      const size_t at = size_t{x} * 4;
      V4f acc{0.0f, 0.0f, 0.0f, 0.0f};
      for (uint32_t j = 0; j < taps; ++j) acc += load_pixel(rows[j] + at) * w[j];
      column_sums[x] = acc;
    }
    for (uint32_t ox = 0; ox < new_width; ++ox) {
      const V4f* in = column_sums.data() + horizontal.first[ox];
      const float* wx = horizontal.weights.data() + horizontal.offset[ox];
      const uint32_t n = horizontal.offset[ox + 1] - horizontal.offset[ox];
      V4f acc{0.0f, 0.0f, 0.0f, 0.0f};
      for (uint32_t i = 0; i < n; ++i) acc += in[i] * wx[i];
      out.put(ox, oy, Rgba{round_to_channel(acc[0]), round_to_channel(acc[1]), round_to_channel(acc[2]),
                           round_to_channel(acc[3])});
    }
  }
  return out;
}

}  // namespace tarvelo::plot
