// Number and boolean parsers with the syntax and error texts that this
// system's file formats have always used (they reach users inside messages
// such as "Failed to parse redundancy '{}' on cache line {}").
//
// Floats: optional sign, then "inf", "infinity" or "nan" in any case, or
// digits with an optional point and an optional exponent ("1.", ".5", "1e-3");
// nothing else, no surrounding blanks. The result is correctly rounded; too
// large gives an infinity and too small zero (callers check finiteness).
// Errors: "cannot parse float from empty string", "invalid float literal".
//
// Unsigned integers: optional "+", then decimal digits. Errors: "cannot parse
// integer from empty string", "invalid digit found in string", "number too
// large to fit in target type" (whichever the digits meet first).
//
// Booleans: exactly "true" or "false", else
// "provided string was not `true` or `false`".
#pragma once

#include <cstdint>
#include <string_view>

#include "tarvelo/base/error.hpp"

namespace tarvelo::text {

Result<float> parse_f32(std::string_view s);
Result<double> parse_f64(std::string_view s);
Result<uint64_t> parse_u64(std::string_view s);
Result<bool> parse_bool(std::string_view s);

}  // namespace tarvelo::text
