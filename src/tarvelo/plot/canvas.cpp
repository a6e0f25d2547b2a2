#include "tarvelo/plot/canvas.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <utility>

#include "tarvelo/base/numeric.hpp"

namespace tarvelo::plot {

Status check_pixel_budget(uint64_t width, uint64_t height, uint64_t limit) {
  // Both factors fit in 32 bits in every caller, but the product is checked
  // without trusting that.
  unsigned __int128 pixels = static_cast<unsigned __int128>(width) * height;
  if (pixels > limit) {
    return Error("plot of " + std::to_string(width) + "x" + std::to_string(height) +
                 " pixels exceeds the limit of " + std::to_string(limit) + " pixels");
  }
  return ok_status();
}

Result<Canvas> Canvas::create(uint32_t width, uint32_t height, Rgba fill) {
  TARVELO_TRY(check_pixel_budget(width, height));
  Canvas c;
  try {
    c.pixels_.resize(size_t{width} * height * 4);
  } catch (const std::bad_alloc&) {
    return Error::memory("failed to allocate a " + std::to_string(width) + "x" +
                         std::to_string(height) + " canvas");
  }
  c.width_ = width;
  c.height_ = height;
  for (size_t i = 0; i < c.pixels_.size(); i += 4) {
    c.pixels_[i] = fill.r;
    c.pixels_[i + 1] = fill.g;
    c.pixels_[i + 2] = fill.b;
    c.pixels_[i + 3] = fill.a;
  }
  return c;
}

namespace {

// f32 -> u8 as the line blend does it: truncation, with NaN and anything at
// or above 255 giving 255.
inline uint8_t clamp_channel(float v) {
  if (v < 255.0f) {
    if (v > 0.0f) return static_cast<uint8_t>(v);
    return 0;
  }
  return 255;
}

// Truncating f32 -> u8 conversion of a value expected in 0..255.
inline uint8_t truncate_to_channel(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 255.0f) return 255;
  return static_cast<uint8_t>(v);
}

inline int64_t trunc_to_i64(float v) { return saturating_cast<int32_t>(v); }

// Puts a line's end points into (major, minor) coordinates: swaps the axes
// when the line is steep, then orders the ends along the major axis. Both line
// kinds walk the major axis one pixel at a time from the smaller end.
template <class T>
void orient_along_major_axis(bool steep, T& a0, T& b0, T& a1, T& b1) {
  if (steep) {
    std::swap(a0, b0);
    std::swap(a1, b1);
  }
  if (a0 > a1) {
    std::swap(a0, a1);
    std::swap(b0, b1);
  }
}

}  // namespace

int32_t round_to_i32(float v) { return saturating_cast<int32_t>(std::round(v)); }

Rgba interpolate(Rgba line, Rgba pixel, float line_weight) {
  const float w = line_weight;
  const float o = 1.0f - w;
  auto mix = [&](uint8_t l, uint8_t p) {
    float a = static_cast<float>(l) * w;
    float b = static_cast<float>(p) * o;
    return clamp_channel(a + b);
  };
  return Rgba{mix(line.r, pixel.r), mix(line.g, pixel.g), mix(line.b, pixel.b),
              mix(line.a, pixel.a)};
}

Rgba blend_over(Rgba under, Rgba over) {
  if (over.a == 0) return under;
  if (over.a == 255) return over;
  const float max = 255.0f;
  const float bg_r = under.r / max, bg_g = under.g / max, bg_b = under.b / max,
              bg_a = under.a / max;
  const float fg_r = over.r / max, fg_g = over.g / max, fg_b = over.b / max,
              fg_a = over.a / max;
  const float alpha = bg_a + fg_a - bg_a * fg_a;
  if (alpha == 0.0f) return under;
  const float keep = 1.0f - fg_a;
  const float out_r = (fg_r * fg_a + bg_r * bg_a * keep) / alpha;
  const float out_g = (fg_g * fg_a + bg_g * bg_a * keep) / alpha;
  const float out_b = (fg_b * fg_a + bg_b * bg_a * keep) / alpha;
  return Rgba{truncate_to_channel(max * out_r), truncate_to_channel(max * out_g), truncate_to_channel(max * out_b),
              truncate_to_channel(max * alpha)};
}

void draw_line_segment(Canvas& canvas, float x0, float y0, float x1, float y1, Rgba color) {
  // Non-finite end points would saturate into a walk over 2^32 columns; the
  // plots never produce them.
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) {
    return;
  }
  const bool steep = std::fabs(y1 - y0) > std::fabs(x1 - x0);
  orient_along_major_axis(steep, x0, y0, x1, y1);
  const float dx = x1 - x0;
  const float dy = std::fabs(y1 - y0);
  float error = dx / 2.0f;
  const int64_t y_step = y0 < y1 ? 1 : -1;
  int64_t x = trunc_to_i64(x0);
  int64_t y = trunc_to_i64(y0);
  const int64_t end_x = trunc_to_i64(x1);
  // Past this major coordinate nothing lands on the canvas any more.
  const int64_t major_limit = steep ? int64_t{canvas.height()} : int64_t{canvas.width()};
  const int64_t last = std::min(end_x, major_limit - 1);
  while (x <= last) {
    const int64_t px = steep ? y : x;
    const int64_t py = steep ? x : y;
    if (canvas.contains(px, py)) {
      canvas.put(static_cast<uint32_t>(px), static_cast<uint32_t>(py), color);
    }
    ++x;
    error -= dy;
    if (error < 0.0f) {
      y += y_step;
      error += dx;
    }
  }
}

void draw_antialiased_line_segment(Canvas& canvas, int32_t x0, int32_t y0, int32_t x1,
                                   int32_t y1, Rgba color) {
  const bool steep = std::abs(int64_t{y1} - y0) > std::abs(int64_t{x1} - x0);
  // Work in (major, minor) coordinates: x is major unless the line is steep.
  int64_t a0 = x0, b0 = y0, a1 = x1, b1 = y1;
  orient_along_major_axis(steep, a0, b0, a1, b1);
  auto plot = [&](int64_t a, int64_t b, float weight) {
    const int64_t px = steep ? b : a;
    const int64_t py = steep ? a : b;
    if (!canvas.contains(px, py)) return;
    const auto ux = static_cast<uint32_t>(px), uy = static_cast<uint32_t>(py);
    canvas.put(ux, uy, interpolate(color, canvas.get(ux, uy), weight));
  };
  const float gradient = static_cast<float>(b1 - b0) / static_cast<float>(a1 - a0);
  float fy = static_cast<float>(b0);
  const int64_t major_limit = steep ? int64_t{canvas.height()} : int64_t{canvas.width()};
  const int64_t last = std::min(a1, major_limit - 1);
  for (int64_t a = a0; a <= last; ++a) {
    const int64_t b = trunc_to_i64(fy);
    const float fract = fy - std::trunc(fy);
    plot(a, b, 1.0f - fract);
    plot(a, b + 1, fract);
    fy += gradient;
  }
}

void draw_filled_rect(Canvas& canvas, int64_t left, int64_t top, uint64_t width,
                      uint64_t height, Rgba color) {
  if (width == 0 || height == 0) return;
  const int64_t cap = int64_t{1} << 40;  // far beyond any canvas, keeps sums exact
  const int64_t x_begin = std::max<int64_t>(left, 0);
  const int64_t y_begin = std::max<int64_t>(top, 0);
  const int64_t x_end =
      std::min<int64_t>(left + static_cast<int64_t>(std::min<uint64_t>(width, cap)), canvas.width());
  const int64_t y_end = std::min<int64_t>(
      top + static_cast<int64_t>(std::min<uint64_t>(height, cap)), canvas.height());
  for (int64_t y = y_begin; y < y_end; ++y) {
    for (int64_t x = x_begin; x < x_end; ++x) {
      canvas.put(static_cast<uint32_t>(x), static_cast<uint32_t>(y), color);
    }
  }
}

void draw_thick_line_segment(Canvas& canvas, int32_t half_width, Rgba color, float start_x,
                             float start_y, float end_x, float end_y) {
  const float dx = end_x - start_x;
  const float dy = end_y - start_y;
  const float dx2 = dx * dx;
  const float dy2 = dy * dy;
  const float length = std::sqrt(dx2 + dy2);
  if (length <= 1.1920929e-7f) {
    draw_antialiased_line_segment(canvas, round_to_i32(start_x), round_to_i32(start_y),
                                  round_to_i32(end_x), round_to_i32(end_y), color);
    return;
  }
  const float nx = -dy / length;
  const float ny = dx / length;
  for (int64_t k = -int64_t{half_width}; k <= int64_t{half_width}; ++k) {
    const auto kf = static_cast<float>(k);
    const float ox = nx * kf;
    const float oy = ny * kf;
    draw_antialiased_line_segment(canvas, round_to_i32(start_x + ox), round_to_i32(start_y + oy),
                                  round_to_i32(end_x + ox), round_to_i32(end_y + oy), color);
  }
}

}  // namespace tarvelo::plot
