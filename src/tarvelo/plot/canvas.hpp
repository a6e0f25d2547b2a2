// The raster both plots draw on: an RGBA8 canvas and its drawing primitives.
//
// The pixel arithmetic follows the conventions the plots' layout was designed
// around, down to truncations and float widths, because tick marks, grid lines
// and line edges land on different pixels otherwise:
//  - plain lines walk Bresenham over float end points, starting at the
//    truncated coordinates, and overwrite pixels;
//  - anti-aliased lines are Wu lines between integer end points whose two
//    coverage weights mix the line colour into the pixel per channel, alpha
//    included, truncating the result;
//  - text and the rotated axis title composite with an f32 source-over blend
//    that truncates.
// Every primitive clips to the canvas.
#pragma once

#include <cstdint>
#include <vector>

#include "tarvelo/base/error.hpp"

namespace tarvelo::plot {

struct Rgba {
  uint8_t r = 0, g = 0, b = 0, a = 0;
  friend bool operator==(const Rgba&, const Rgba&) = default;
};

inline constexpr Rgba kBlack{0, 0, 0, 255};

// Largest canvas (in pixels, 4 bytes each) any plot allocates: 1 GiB of pixels.
inline constexpr uint64_t kMaxCanvasPixels = uint64_t{1} << 28;

// Fails with a RuntimeError-kind message naming width x height when that
// exceeds `limit` pixels (the canvas budget unless a plot needs less).
Status check_pixel_budget(uint64_t width, uint64_t height, uint64_t limit = kMaxCanvasPixels);

class Canvas {
 public:
  Canvas() = default;
  // A width x height canvas filled with `fill`. Fails when the size exceeds
  // kMaxCanvasPixels or the buffer cannot be allocated.
  static Result<Canvas> create(uint32_t width, uint32_t height, Rgba fill);

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  bool contains(int64_t x, int64_t y) const {
    return x >= 0 && y >= 0 && x < int64_t{width_} && y < int64_t{height_};
  }
  // Unchecked access; (x, y) must lie on the canvas.
  Rgba get(uint32_t x, uint32_t y) const {
    const uint8_t* p = &pixels_[(size_t{y} * width_ + x) * 4];
    return Rgba{p[0], p[1], p[2], p[3]};
  }
  void put(uint32_t x, uint32_t y, Rgba c) {
    uint8_t* p = &pixels_[(size_t{y} * width_ + x) * 4];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
    p[3] = c.a;
  }
  // Rows top to bottom, 4 bytes (r, g, b, a) per pixel.
  const uint8_t* data() const { return pixels_.data(); }
  const uint8_t* row(uint32_t y) const { return pixels_.data() + size_t{y} * width_ * 4; }

 private:
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  std::vector<uint8_t> pixels_;
};

// Mixes the line colour into the pixel: each channel, alpha included, becomes
// line * w + pixel * (1 - w) in f32, truncated and clamped to 0..255 (NaN and
// values at or above 255 give 255).
Rgba interpolate(Rgba line, Rgba pixel, float line_weight);

// Composites `over` onto `under` (f32 source-over with straight alpha,
// channels truncated). A transparent `over` leaves `under`; an opaque one
// replaces it.
Rgba blend_over(Rgba under, Rgba over);

// Plain line between float end points (Bresenham from the truncated start,
// major axis inclusive of the truncated end); overwrites pixels.
void draw_line_segment(Canvas& canvas, float x0, float y0, float x1, float y1, Rgba color);

// Wu anti-aliased line between integer end points, blended with interpolate.
void draw_antialiased_line_segment(Canvas& canvas, int32_t x0, int32_t y0, int32_t x1,
                                   int32_t y1, Rgba color);

// Overwrites the part of the rectangle [left, left + width) x [top, top + height)
// that lies on the canvas.
void draw_filled_rect(Canvas& canvas, int64_t left, int64_t top, uint64_t width,
                      uint64_t height, Rgba color);

// A thick anti-aliased line: 2 * half_width + 1 Wu lines offset along the f32
// unit normal, end points rounded half away from zero. A degenerate segment
// draws one line between the rounded end points; a negative half-width draws
// nothing.
void draw_thick_line_segment(Canvas& canvas, int32_t half_width, Rgba color, float start_x,
                             float start_y, float end_x, float end_y);

// Rounds half away from zero and saturates to i32 (NaN -> 0).
int32_t round_to_i32(float v);

}  // namespace tarvelo::plot
