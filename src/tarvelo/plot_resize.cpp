#include "tarvelo/plot_resize.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "tarvelo/numeric.hpp"

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

inline V4f load_pixel(const uint8_t* p) {
  V4u8 v;
  std::memcpy(&v, p, 4);
  return __builtin_convertvector(v, V4f);
}

// Clamped to 0..255, then rounded half away from zero.
inline uint8_t to_channel(float v) {
  if (v < 0.0f) v = 0.0f;
  else if (v > 255.0f) v = 255.0f;
  return static_cast<uint8_t>(std::round(v));
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
  try {
    column_sums.resize(width);
  } catch (const std::bad_alloc&) {
    return Error::memory("failed to allocate a resampling row of " + std::to_string(width) +
                         " pixels");
  }
  for (uint32_t oy = 0; oy < new_height; ++oy) {
    const uint32_t first = vertical.first[oy];
    const float* w = vertical.weights.data() + vertical.offset[oy];
    const uint32_t taps = vertical.offset[oy + 1] - vertical.offset[oy];
    for (uint32_t x = 0; x < width; ++x) column_sums[x] = V4f{0.0f, 0.0f, 0.0f, 0.0f};
    for (uint32_t j = 0; j < taps; ++j) {
      const uint8_t* row = source.row(first + j);
      const float wj = w[j];
      for (uint32_t x = 0; x < width; ++x) column_sums[x] += load_pixel(row + size_t{x} * 4) * wj;
    }
    for (uint32_t ox = 0; ox < new_width; ++ox) {
      const V4f* in = column_sums.data() + horizontal.first[ox];
      const float* wx = horizontal.weights.data() + horizontal.offset[ox];
      const uint32_t n = horizontal.offset[ox + 1] - horizontal.offset[ox];
      V4f acc{0.0f, 0.0f, 0.0f, 0.0f};
      for (uint32_t i = 0; i < n; ++i) acc += in[i] * wx[i];
      out.put(ox, oy, Rgba{to_channel(acc[0]), to_channel(acc[1]), to_channel(acc[2]),
                           to_channel(acc[3])});
    }
  }
  return out;
}

}  // namespace tarvelo::plot
