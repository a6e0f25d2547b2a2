// Reading the tab-separated fixtures of the decor engine tests (doubles
// written as float.hex()).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixture_util.hpp"

namespace tarvelo::decor_engine_test {

using fixture::split;

inline std::vector<std::vector<std::string>> read_records(const std::string& name) {
  return fixture::read_tsv(name);
}

inline double hexf(const std::string& s) { return fixture::num(s); }

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
inline bool same(double a, double b) { return fixture::bits(a) == fixture::bits(b); }

}  // namespace tarvelo::decor_engine_test
