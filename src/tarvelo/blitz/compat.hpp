// numpy-compatible float arithmetic for the blitz mode.
//
// The blitz null model is calibrated so that it reproduces, bit for bit, what the
// reference numpy/scipy pipeline computes. These routines reproduce numpy's
// summation order and its vectorised float32 logarithm.
#pragma once

#include <span>

namespace tarvelo::blitz::compat {

// numpy's pairwise summation (add.reduce over a contiguous array): blocks of
// up to 128 values summed with eight interleaved accumulators, larger inputs
// split in two at a multiple of 8. No values give -0.0.
double numpy_pairwise_sum_f64(std::span<const double> values);
float numpy_pairwise_sum_f32(std::span<const float> values);

// numpy's SIMD float32 natural logarithm (AVX2/AVX-512 kernel): a rational
// approximation evaluated with fused multiply-adds. Subnormal inputs use the
// platform's logf.
float numpy_log_f32(float x);

}  // namespace tarvelo::blitz::compat
