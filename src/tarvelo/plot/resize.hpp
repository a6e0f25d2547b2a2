// Lanczos3 resampling of a plot canvas.
//
// The table plot is drawn at twice its final size and reduced with this
// filter, so the arithmetic is fixed down to the float operations: a vertical
// pass into unrounded f32 values, then a horizontal pass, each output value
// clamped to 0..255 and rounded half away from zero. Per output index the taps
// run from floor(c - 3r) to ceil(c + 3r) (exclusive, clamped to the image),
// with c = (o + 0.5) * r and r = source / target size (r is taken as 1 when
// enlarging); tap i weighs L((i - (c - 0.5)) / max(r, 1)) with
// L(x) = sinc(x) sinc(x / 3) for |x| < 3, sinc(t) = sinf(pi t) / (pi t), and the
// weights are divided by their sequential f32 sum. Channels, alpha included,
// are filtered independently (straight alpha).
#pragma once

#include <cstdint>
#include <vector>

#include "tarvelo/base/error.hpp"
#include "tarvelo/plot/canvas.hpp"

namespace tarvelo::plot {

// The Lanczos kernel with three lobes, in f32.
float lanczos3_kernel(float x);

// The normalised taps of every output index along one axis.
struct ResampleTaps {
  std::vector<uint32_t> first;   // first source index of output o
  std::vector<uint32_t> offset;  // start of output o's weights; offset[size] = total
  std::vector<float> weights;
  uint32_t max_taps = 0;         // largest number of taps of one output
};
ResampleTaps lanczos3_taps(uint32_t source_size, uint32_t target_size);

// `source` resampled to new_width x new_height (both at least 1); an
// unchanged size returns a copy. Fails like Canvas::create for the target.
Result<Canvas> resize_lanczos3(const Canvas& source, uint32_t new_width, uint32_t new_height);

}  // namespace tarvelo::plot
