#include "tarvelo/base/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tarvelo::text {
namespace {

// Expands "d.ddde[+-]xx" (shortest scientific digits) into plain positional text.
std::string expand_scientific(const char* begin, const char* end) {
  std::string out;
  const char* p = begin;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  std::string digits;
  const char* e = p;
  while (e != end && *e != 'e') {
    if (*e != '.') digits.push_back(*e);
    ++e;
  }
  int exp10 = 0;
  if (e != end) exp10 = std::atoi(std::string(e + 1, end).c_str());
  // value = 0.d1d2d3... * 10^(exp10 + 1)
  int point = exp10 + 1;  // digits before the decimal point
  // drop trailing zeros of the significand (to_chars already gives the shortest)
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int n = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<size_t>(point), std::string::npos);
  }
  return out;
}

template <class F>
std::string format_float(F v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  if (v == 0) return std::signbit(v) ? "-0" : "0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  return expand_scientific(buf, r.ptr);
}

}  // namespace

std::string format_f64(double v) { return format_float(v); }
std::string format_f32(float v) { return format_float(v); }

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

namespace {

// Decodes one code point of UTF-8 at s[i]; returns its length. Malformed input
// decodes to some code point but the length never runs past the end of `s`, so
// callers advancing by it stay inside the string.
size_t decode(std::string_view s, size_t i, char32_t* out) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) { *out = b0; return 1; }
  size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  char32_t c = b0 & (0x7F >> len);
  len = std::min(len, s.size() - i);
  for (size_t k = 1; k < len; ++k)
    c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  *out = c;
  return len;
}

// Length of the UTF-8 sequence ending at s[end-1].
size_t last_char_start(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  return i;
}

}  // namespace

bool is_all_white_space(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    char32_t c;
    i += decode(s, i, &c);
    if (!is_white_space(c)) return false;
  }
  return true;
}

std::string_view trim_white_space(std::string_view s) {
  size_t b = 0;
  while (b < s.size()) {
    char32_t c;
    size_t len = decode(s, b, &c);
    if (!is_white_space(c)) break;
    b += len;
  }
  size_t e = s.size();
  while (e > b) {
    size_t start = last_char_start(s, e);
    if (start < b) break;  // stray continuation bytes after the leading trim
    char32_t c;
    decode(s, start, &c);
    if (!is_white_space(c)) break;
    e = start;
  }
  return s.substr(b, e - b);
}

std::optional<size_t> utf8_error_offset(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b0 = p[i];
    if (b0 < 0x80) { ++i; continue; }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) len = 2;
    else if (b0 == 0xE0) { len = 3; lo = 0xA0; }
    else if (b0 >= 0xE1 && b0 <= 0xEC) len = 3;
    else if (b0 == 0xED) { len = 3; hi = 0x9F; }
    else if (b0 >= 0xEE && b0 <= 0xEF) len = 3;
    else if (b0 == 0xF0) { len = 4; lo = 0x90; }
    else if (b0 >= 0xF1 && b0 <= 0xF3) len = 4;
    else if (b0 == 0xF4) { len = 4; hi = 0x8F; }
    else return i;
    if (i + len > n) return i;
    if (p[i + 1] < lo || p[i + 1] > hi) return i;
    for (size_t k = 2; k < len; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return i;
    i += len;
  }
  return std::nullopt;
}

}  // namespace tarvelo::text
