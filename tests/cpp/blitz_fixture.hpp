// Reading the blitz numeric fixtures written by tools/gen_blitz_numeric_fixtures.py.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tarvelo::blitz_fixture {

using Tokens = std::vector<std::string>;

inline std::vector<Tokens> read(const std::string& name) {
  std::ifstream in(std::string(TARVELO_TEST_DATA) + "/" + name);
  EXPECT_TRUE(in) << name;
  std::vector<Tokens> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ss(line);
    Tokens t;
    for (std::string w; ss >> w;) t.push_back(w);
    lines.push_back(std::move(t));
  }
  return lines;
}

// Hex floats, "inf", "-inf" and "nan" as written by float.hex.
inline double num(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

// Bit pattern with every NaN folded into one: NaN signs are not comparable
// between numpy's kernels and C.
inline uint64_t bits(double x) {
  return std::isnan(x) ? 0x7ff8000000000000u : std::bit_cast<uint64_t>(x);
}

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
