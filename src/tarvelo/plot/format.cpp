#include "tarvelo/plot/format.hpp"

#include <cmath>
#include <cstdio>

#include "tarvelo/base/numeric.hpp"

namespace tarvelo::plot {

namespace {

// 10^e by repeated multiplication; e >= 0.
double power_of_ten(int32_t e) {
  double p = 1.0;
  for (int32_t i = 0; i < e; ++i) p *= 10.0;
  return p;
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    const size_t hit = s.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(s, pos, hit - pos);
    out += to;
    pos = hit + from.size();
  }
  out.append(s, pos, std::string::npos);
  s = std::move(out);
}

}  // namespace

std::string format_scientific_value(double v) {
  if (!std::isfinite(v)) return "NA";
  if (v == 0.0) return "0";
  int32_t e = saturating_cast<int32_t>(std::floor(std::log10(std::fabs(v))));
  // 10^|e| overflows for e below -308 (the quotient would print as "inf"):
  // scale such values up first. Down to -308 the plain quotient is kept.
  double x = v;
  int32_t scaled_e = e;
  if (e < -308) {
    x = v * 1e16;
    scaled_e = e + 16;
  }
  const double m = scaled_e >= 0 ? x / power_of_ten(scaled_e) : x / (1.0 / power_of_ten(-scaled_e));
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1fe%+03d", m, static_cast<int>(e));
  std::string s(buf);
  replace_all(s, "e+0", "e");
  replace_all(s, "e-0", "e-");
  replace_all(s, "e+", "e");
  return s;
}

std::string format_fixed(double v, int decimals) {
  // printf spells these "nan", "-nan" and "inf"; the plots show NaN, inf, -inf.
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  const int n = std::snprintf(nullptr, 0, "%.*f", decimals, v);
  std::string s(static_cast<size_t>(n), '\0');
  std::snprintf(s.data(), s.size() + 1, "%.*f", decimals, v);
  return s;
}

Status check_gsea_param(double gsea_param) {
  if (!std::isfinite(gsea_param) || gsea_param < 0.0) {
    return Error("gsea_param must be a finite value greater than or equal to 0");
  }
  return ok_status();
}

}  // namespace tarvelo::plot
