// Reading the blitz numeric fixtures written by tools/gen_blitz_numeric_fixtures.py.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fixture_util.hpp"

namespace tarvelo::blitz_fixture {

using fixture::bits;
using fixture::num;
using fixture::Tokens;

// The fixture's lines as whitespace-separated tokens.
inline std::vector<Tokens> read(const std::string& name) { return fixture::read_tokens(name); }

// Distance in units in the last place between two finite doubles of the same
// sign (0 for identical bits).
inline uint64_t ulp_distance(double a, double b) {
  if (bits(a) == bits(b)) return 0;
  if (std::isnan(a) || std::isnan(b) || std::signbit(a) != std::signbit(b)) return UINT64_MAX;
  const uint64_t ua = std::bit_cast<uint64_t>(std::fabs(a));
  const uint64_t ub = std::bit_cast<uint64_t>(std::fabs(b));
  return ua > ub ? ua - ub : ub - ua;
}

// The tests' deterministic doubles; the generator has the same LCG.
class Lcg {
 public:
  explicit Lcg(uint64_t seed) : x_(seed) {}
  uint64_t next() {
    x_ = x_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return x_;
  }
  double u() { return static_cast<double>(next() >> 11) * 0x1p-53; }

 private:
  uint64_t x_;
};

}  // namespace tarvelo::blitz_fixture
