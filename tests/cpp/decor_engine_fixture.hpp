// Reading the tab-separated fixtures of the decor engine tests (doubles
// written as float.hex()).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace tarvelo::decor_engine_test {

inline std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t p = s.find(sep, start);
    out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) return out;
    start = p + 1;
  }
}

inline std::vector<std::vector<std::string>> read_records(const std::string& name) {
  std::ifstream in(std::string(TARVELO_TEST_DATA) + "/" + name);
  EXPECT_TRUE(in) << name;
  std::vector<std::vector<std::string>> out;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(split(line, '\t'));
  return out;
}

inline double hexf(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

inline std::vector<double> hex_list(const std::string& s) {
  std::vector<double> out;
  if (s.empty()) return out;
  for (const auto& t : split(s, ';')) out.push_back(hexf(t));
  return out;
}

inline std::vector<uint64_t> u64_list(const std::string& s) {
  std::vector<uint64_t> out;
  if (s.empty()) return out;
  for (const auto& t : split(s, ';')) out.push_back(std::strtoull(t.c_str(), nullptr, 10));
  return out;
}

// Bit-for-bit equality that also accepts two NaNs.
inline bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

}  // namespace tarvelo::decor_engine_test
