#include "tarvelo/base/text_parse.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace tarvelo::text {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignore_ascii_case(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

template <class F>
Result<F> parse_float(std::string_view s) {
  if (s.empty()) return Error("cannot parse float from empty string");
  const Error invalid("invalid float literal");
  bool negative = false;
  std::string_view body = s;
  if (body.front() == '+' || body.front() == '-') {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (equals_ignore_ascii_case(body, "inf") || equals_ignore_ascii_case(body, "infinity")) {
    return negative ? -std::numeric_limits<F>::infinity() : std::numeric_limits<F>::infinity();
  }
  if (equals_ignore_ascii_case(body, "nan")) return std::numeric_limits<F>::quiet_NaN();

  // Validate the whole grammar first: from_chars alone would stop early on
  // "1e" or "0x1p3" and accept "nan(123)".
  size_t i = 0;
  size_t int_digits = 0, frac_digits = 0;
  while (i < body.size() && is_digit(body[i])) ++i, ++int_digits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && is_digit(body[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return invalid;
  const size_t mantissa_end = i;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return invalid;
  }
  if (i != body.size()) return invalid;

  F value{};
  const auto r = std::from_chars(body.data(), body.data() + body.size(), value,
                                 std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // The literal is valid but its magnitude lies beyond the type's range in
    // one direction: an exponent that places the first non-zero digit at or
    // above the units overflows, anything else underflows. The exponent can
    // exceed any integer type, so only its sign and size class matter.
    size_t k = 0;
    int64_t lead = 0;  // decimal position of the first non-zero mantissa digit
    bool found = false;
    int64_t pos = static_cast<int64_t>(int_digits);
    for (; k < mantissa_end; ++k) {
      if (body[k] == '.') continue;
      --pos;
      if (body[k] != '0') { lead = pos; found = true; break; }
    }
    if (!found) return negative ? -F(0) : F(0);
    bool exp_negative = false;
    bool exp_large = false;
    int64_t exp = 0;
    if (mantissa_end < body.size()) {
      size_t e = mantissa_end + 1;
      if (body[e] == '+' || body[e] == '-') exp_negative = body[e++] == '-';
      for (; e < body.size(); ++e) {
        if (exp > (int64_t{1} << 40)) { exp_large = true; break; }
        exp = exp * 10 + (body[e] - '0');
      }
    }
    bool overflow;
    if (exp_large) overflow = !exp_negative;
    else overflow = lead + (exp_negative ? -exp : exp) >= 0;
    if (overflow) {
      return negative ? -std::numeric_limits<F>::infinity() : std::numeric_limits<F>::infinity();
    }
    return negative ? -F(0) : F(0);
  }
  if (r.ec != std::errc() || r.ptr != body.data() + body.size()) return invalid;
  return negative ? -value : value;
}

}  // namespace

Result<float> parse_f32(std::string_view s) { return parse_float<float>(s); }
Result<double> parse_f64(std::string_view s) { return parse_float<double>(s); }

Result<uint64_t> parse_u64(std::string_view s) {
  if (s.empty()) return Error("cannot parse integer from empty string");
  std::string_view digits = s;
  if (s.size() == 1 && (s[0] == '+' || s[0] == '-')) {
    return Error("invalid digit found in string");
  }
  if (digits.front() == '+') digits.remove_prefix(1);
  uint64_t v = 0;
  for (const char c : digits) {
    if (!is_digit(c)) return Error("invalid digit found in string");
    if (__builtin_mul_overflow(v, uint64_t{10}, &v) ||
        __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v)) {
      return Error("number too large to fit in target type");
    }
  }
  return v;
}

Result<bool> parse_bool(std::string_view s) {
  if (s == "true") return true;
  if (s == "false") return false;
  return Error("provided string was not `true` or `false`");
}

}  // namespace tarvelo::text
