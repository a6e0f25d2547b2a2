// Multilevel splitting estimate of a small tail probability for the method
// "decor": how often a random gene set of a pathway's size, scored with the
// pathway's own penalties, reaches the pathway's score.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "tarvelo/engine/records.hpp"

namespace tarvelo::decor {

// The 32-bit generator seed of the refined pathway at `index` among the kept
// pathways: the SplitMix64 output mix of (index + 0x9e3779b97f59be58) ^ seed,
// its two halves xor-ed; 0 and 1 both become 1.
uint32_t tail_seed32(uint64_t index, uint64_t seed);

// P(oriented score >= |es|) for a random set of weights.size() positions out of
// n, estimated from a population of max(sample_size, 3) sets cut at its median
// score level by level (at most 256 levels) and refilled by constrained random
// walks. `ranks` are the scaled weights as doubles (n of them). Stops early
// once the estimate falls below target (when target > 0). Returns 1 for an
// empty set, a set covering every gene, or es zero or not finite; nothing when
// the levels stop rising, the median is not finite, or the walks of a level
// stall (moves above it accepted less than once in 64 attempts). All draws come from one
// standard MT19937 seeded with seed32, so the result depends only on the
// arguments. Throws std::bad_alloc when the population cannot be held,
// interrupt::Interrupted when the host asks to stop (checked per level and walk).
std::optional<double> run_decor_multilevel_tail(std::span<const double> ranks,
                                                std::span<const double> weights, uint64_t n,
                                                ScoreType score_type, uint64_t sample_size,
                                                uint32_t seed32, double es, double target);

}  // namespace tarvelo::decor
