// Helpers shared by the benchmarks: median timing of repeated runs, synthetic
// normally distributed scores, and the loaders of the example data.
#ifndef TARVELO_BENCH_BENCH_UTIL_HPP_
#define TARVELO_BENCH_BENCH_UTIL_HPP_

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/engine/gmt.hpp"

namespace bench {

// The example data: a_ranks.tsv, go_bp.gmt, a_expression.tsv.gz.
inline constexpr const char* kDataDir = TARVELO_SOURCE_DIR "/examples/data";

// The middle value; the mean of the two middle ones for an even count.
template <class T>
T median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Wall time of one call of f, in milliseconds.
template <class F>
double time_ms(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return seconds_since(t0) * 1e3;
}

// Median wall time of `runs` calls of f, in milliseconds.
template <class F>
double median_ms(F&& f, int runs = 5) {
  std::vector<double> t;
  for (int r = 0; r < runs; ++r) t.push_back(time_ms(f));
  return median(std::move(t));
}

// The value of r, or the error message on standard error and exit(1).
template <class T>
T must(tarvelo::Result<T> r, const char* what) {
  if (!r.ok()) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().full().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

struct GeneScores {
  std::vector<std::string> genes;
  std::vector<double> scores;
};

// n genes named prefix0, prefix1, ... with standard normal scores drawn from rng.
inline GeneScores normal_gene_scores(size_t n, std::mt19937_64& rng, const std::string& prefix) {
  std::normal_distribution<double> normal;
  GeneScores out;
  out.genes.reserve(n);
  out.scores.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    out.genes.push_back(prefix + std::to_string(i));
    out.scores.push_back(normal(rng));
  }
  return out;
}

// A ranking file: a header line, then "gene<TAB>score" lines (file order).
// Exits with a message when the file cannot be read.
inline GeneScores load_ranks(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  GeneScores out;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    out.genes.push_back(line.substr(0, tab));
    out.scores.push_back(std::strtod(line.c_str() + tab + 1, nullptr));
  }
  return out;
}

// The pathways of a GMT file as the library reads them. Exits on failure.
inline std::vector<tarvelo::Pathway> load_gmt(const std::string& path) {
  return must(tarvelo::io::read_gmt(path), path.c_str()).pathways;
}

}  // namespace bench

#endif  // TARVELO_BENCH_BENCH_UTIL_HPP_
