// Reading the committed fixture files under tests/data (written by the
// generators in tools/).
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

namespace tarvelo::fixture {

using Tokens = std::vector<std::string>;

// Whether the tests run under the sanitizers (make test sets this): the
// randomised tests then take fewer rounds, the sanitizers being slow.
inline bool sanitizer_build() { return std::getenv("TARVELO_SANITIZER_BUILD") != nullptr; }

// Absolute path of a file under tests/data.
inline std::string path(const std::string& name) {
  return std::string(TARVELO_TEST_DATA) + "/" + name;
}

// The lines of a fixture file, without empty lines and "#" comment lines.
// A missing file is a test failure (and no lines).
inline std::vector<std::string> lines(const std::string& name) {
  std::ifstream in(path(name));
  EXPECT_TRUE(in.good()) << name;
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') out.push_back(std::move(line));
  }
  return out;
}

// The fields of s between separators; empty fields (also a trailing one) kept.
inline Tokens split(const std::string& s, char sep) {
  Tokens out;
  size_t start = 0;
  for (;;) {
    const size_t p = s.find(sep, start);
    out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) return out;
    start = p + 1;
  }
}

// Each line of a fixture file as whitespace-separated tokens.
inline std::vector<Tokens> read_tokens(const std::string& name) {
  std::vector<Tokens> out;
  for (const std::string& line : lines(name)) {
    std::istringstream ss(line);
    Tokens t;
    for (std::string w; ss >> w;) t.push_back(w);
    out.push_back(std::move(t));
  }
  return out;
}

// Each line of a fixture file as tab-separated fields.
inline std::vector<Tokens> read_tsv(const std::string& name) {
  std::vector<Tokens> out;
  for (const std::string& line : lines(name)) out.push_back(split(line, '\t'));
  return out;
}

// Decimal or hex floats, "inf", "-inf" and "nan" (as repr and float.hex write them).
inline double num(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

// Bit pattern with every NaN folded into one: the sign of a NaN is not kept
// the same way by CPython, numpy's kernels and C++.
inline uint64_t bits(double x) {
  return std::isnan(x) ? 0x7ff8000000000000u : std::bit_cast<uint64_t>(x);
}

}  // namespace tarvelo::fixture
