// Text helpers shared by every module: float display, Unicode white space and
// UTF-8 validation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvelo::text {

// Shortest decimal that reads back as the same double, without exponent and
// without a trailing ".0": 150.0 -> "150", 0.1 -> "0.1", 1e23 ->
// "100000000000000000000000", 1e-7 -> "0.0000001", -0.0 -> "-0"; NaN -> "NaN",
// infinities -> "inf" / "-inf".
std::string format_f64(double v);
// The same rule for a single-precision value (shortest digits of the float).
std::string format_f32(float v);

// The ASCII White_Space characters: space and "\t" through "\r".
inline bool is_ascii_white_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// True for the 25 code points with the Unicode White_Space property.
bool is_white_space(char32_t c);

// True when every character of the UTF-8 string is White_Space (or it is empty).
bool is_all_white_space(std::string_view s);

// Removes leading and trailing White_Space characters (UTF-8 input).
std::string_view trim_white_space(std::string_view s);

// Offset of the first byte that makes `s` invalid UTF-8, or nullopt when valid.
std::optional<size_t> utf8_error_offset(std::string_view s);
inline bool is_valid_utf8(std::string_view s) { return !utf8_error_offset(s).has_value(); }

}  // namespace tarvelo::text
