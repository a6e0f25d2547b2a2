// Error values, saturating casts and float display.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "tarvelo/base/error.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/base/search.hpp"
#include "tarvelo/base/text.hpp"

namespace tarvelo {
namespace {

Result<int> parse_positive(int v) {
  if (v <= 0) return Error::value("value must be positive");
  return v;
}

Result<int> doubled(int v) {
  TARVELO_ASSIGN_OR_RETURN(int x, parse_positive(v));
  return 2 * x;
}

TEST(ErrorTest, ContextChainDisplaysOutermost) {
  Error e("root cause");
  e.context("middle").context("outer");
  EXPECT_EQ(e.message(), "outer");
  EXPECT_EQ(e.root_cause(), "root cause");
  EXPECT_EQ(e.full(), "outer: middle: root cause");
  EXPECT_EQ(e.kind(), Error::Kind::kRuntime);

  auto ok = doubled(4);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, 8);
  auto bad = doubled(-1).context("while doubling");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "while doubling");
  EXPECT_EQ(bad.error().kind(), Error::Kind::kValue);
}

TEST(NumericTest, SaturatingCast) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(saturating_cast<int64_t>(nan), 0);
  EXPECT_EQ(saturating_cast<int64_t>(inf), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(saturating_cast<int64_t>(-inf), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(saturating_cast<int64_t>(9223372036854775808.0), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(saturating_cast<int64_t>(-9223372036854775808.0), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(saturating_cast<int64_t>(9223372036854774784.0), 9223372036854774784LL);
  EXPECT_EQ(saturating_cast<uint64_t>(-1.5), 0u);
  EXPECT_EQ(saturating_cast<uint64_t>(18446744073709551616.0), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(saturating_cast<uint32_t>(4294967295.9), 4294967295u);
  EXPECT_EQ(saturating_cast<int32_t>(-2.9), -2);
  EXPECT_EQ(saturating_cast<int32_t>(2147483648.0), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(saturating_cast<int32_t>(3e9), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(saturating_cast<int64_t>(1.5e19), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(saturating_cast<uint8_t>(300.0), 255);
  EXPECT_EQ(saturating_cast<int64_t>(std::nanf("")), 0);
  // R's index draws take floor() before the cast; into an unsigned type the
  // cast alone gives the same everywhere, which the draws rely on.
  const double edges[] = {nan, -inf, -1.5, -0.5, -0x1p-1074, -0.0, 0.0, 0x1p-1074, 0.5,
                          std::nextafter(1.0, 0.0), 1.0, 65535.999999999993, 65536.0,
                          std::nextafter(0x1p64, 0.0), 0x1p64, inf};
  for (double x : edges) {
    EXPECT_EQ(saturating_cast<uint64_t>(x), saturating_cast<uint64_t>(std::floor(x))) << x;
    EXPECT_EQ(saturating_cast<uint32_t>(x), saturating_cast<uint32_t>(std::floor(x))) << x;
  }
  EXPECT_EQ(round_half_even(2.5), 2.0);
  EXPECT_EQ(round_half_even(3.5), 4.0);
  EXPECT_EQ(round_half_away(2.5), 3.0);
  EXPECT_EQ(round_half_away(-2.5), -3.0);
}

TEST(SearchTest, CountBeforeIsLowerBound) {
  // Every length up to 40 (the halving's odd and even steps), with ties and
  // values below, between, on and above the entries.
  std::mt19937_64 rng(5);
  for (size_t n = 0; n <= 40; ++n) {
    std::vector<uint64_t> a(n);
    for (auto& x : a) x = rng() % 30;
    std::sort(a.begin(), a.end());
    for (uint64_t v = 0; v <= 31; ++v) {
      const size_t want = static_cast<size_t>(std::lower_bound(a.begin(), a.end(), v) - a.begin());
      EXPECT_EQ(count_before(a.data(), n, [v](uint64_t x) { return x < v; }), want) << n << " " << v;
    }
  }
}

TEST(TextTest, FormatF64) {
  EXPECT_EQ(text::format_f64(150.0), "150");
  EXPECT_EQ(text::format_f64(0.1), "0.1");
  EXPECT_EQ(text::format_f64(-2.5), "-2.5");
  EXPECT_EQ(text::format_f64(1e23), "100000000000000000000000");
  EXPECT_EQ(text::format_f64(1e-7), "0.0000001");
  EXPECT_EQ(text::format_f64(1.5e-10), "0.00000000015");
  EXPECT_EQ(text::format_f64(123456.789), "123456.789");
  EXPECT_EQ(text::format_f64(0.0), "0");
  EXPECT_EQ(text::format_f64(-0.0), "-0");
  EXPECT_EQ(text::format_f64(std::nan("")), "NaN");
  EXPECT_EQ(text::format_f64(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(text::format_f64(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(text::format_f64(1e-50).size(), 52u);
  EXPECT_EQ(text::format_f64(5e-324).substr(0, 6), "0.0000");
  EXPECT_EQ(text::format_f32(0.1f), "0.1");
}

TEST(TextTest, WhiteSpaceAndUtf8) {
  int count = 0;
  for (char32_t c = 0; c < 0x10000; ++c) count += text::is_white_space(c);
  EXPECT_EQ(count, 25);
  EXPECT_EQ(text::trim_white_space("\xC2\xA0 gene\t\xE3\x80\x80"), "gene");
  EXPECT_EQ(text::trim_white_space("\x1f" "a\x1f"), "\x1f" "a\x1f");  // not White_Space
  EXPECT_EQ(text::trim_white_space(" \t "), "");
  // Malformed UTF-8 must not push the trim past either end: a truncated lead
  // byte pair can decode to a White_Space code point (E0 A0 -> U+0020).
  EXPECT_EQ(text::trim_white_space("\xE0\xA0"), "");
  EXPECT_EQ(text::trim_white_space(" \xA0"), "\xA0");
  EXPECT_TRUE(text::is_all_white_space("\xE2\x80\xA8 \r"));
  EXPECT_FALSE(text::is_all_white_space(" x "));
  EXPECT_TRUE(text::is_valid_utf8("gen\xC3\xA9"));
  EXPECT_EQ(text::utf8_error_offset("ab\xC3"), 2u);
  EXPECT_EQ(text::utf8_error_offset("a\xED\xA0\x80"), 1u);  // surrogate
  EXPECT_EQ(text::utf8_error_offset("\xC0\x80"), 0u);       // overlong
  EXPECT_EQ(text::utf8_error_offset("\xF4\x90\x80\x80"), 0u);
}

}  // namespace
}  // namespace tarvelo
