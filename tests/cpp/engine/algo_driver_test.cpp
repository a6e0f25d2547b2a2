// The classic engine driver: seeds, batch plan, clamps, p-value rules, timing
// lines and whole runs.
//
// Fixtures: tests/data/driver_batch_seeds.tsv, driver_refine_seeds.tsv and
// driver_single_path.tsv come from R (tools/gen_driver_fixtures.R);
// driver_single_path_expected.tsv from a CPython transcription of the engine
// on R's streams (tools/gen_driver_reference.py).
#include <gtest/gtest.h>

#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fixture_util.hpp"
#include "tarvelo/engine/algo.hpp"
#include "tarvelo/engine/algo_driver.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/engine/rng_compat.hpp"

namespace tarvelo {
namespace {

using algo::driver::Counts;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) out.push_back(cur);
  return out;
}

// Sets (or, with nullptr, unsets) an environment variable for one scope.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvGuard() {
    if (old_.has_value()) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

using fixture::sanitizer_build;

// ---------------------------------------------------------------------------
// Seeds and batch plan.

TEST(DriverSeedsTest, BatchPlanAndSeedsMatchR) {
  const auto rows = fixture::read_tsv("driver_batch_seeds.tsv");
  ASSERT_GE(rows.size(), 40u);
  for (const auto& row : rows) {
    const uint64_t seed = std::stoull(row[0]);
    const uint64_t nperm = std::stoull(row[1]);
    std::vector<uint64_t> sizes, seeds;
    for (const auto& s : split(row[2], ',')) sizes.push_back(std::stoull(s));
    for (const auto& s : split(row[3], ',')) seeds.push_back(std::stoull(s));
    EXPECT_EQ(algo::driver::batch_sizes(nperm, false), sizes) << nperm;
    auto rng = rng_compat::RMt19937SeedCompat::set_seed(static_cast<uint32_t>(seed));
    const auto batches = algo::driver::plan_batches(nperm, false, rng);
    ASSERT_EQ(batches.size(), seeds.size()) << seed << " " << nperm;
    for (size_t i = 0; i < batches.size(); ++i) {
      EXPECT_EQ(batches[i].perms, sizes[i]);
      EXPECT_EQ(batches[i].seed, seeds[i]) << "seed " << seed << " nperm " << nperm << " #" << i;
    }
  }
  // The plan's shape, including the cap of 128 batches.
  const auto big = algo::driver::batch_sizes(200000, false);
  ASSERT_EQ(big.size(), 128u);
  EXPECT_EQ(big.front(), 1563u);
  EXPECT_EQ(big.back(), 1499u);
  EXPECT_EQ(algo::driver::batch_sizes(2500, true), std::vector<uint64_t>{2500});
  EXPECT_TRUE(algo::driver::batch_sizes(0, false).empty());
  EXPECT_TRUE(algo::driver::batch_sizes(0, true).empty());
  const uint64_t huge = std::numeric_limits<uint64_t>::max();
  const auto capped = algo::driver::batch_sizes(huge, false);
  EXPECT_LE(capped.size(), 128u);
  uint64_t total = 0;
  for (uint64_t s : capped) total += s;
  EXPECT_EQ(total, huge);
}

TEST(DriverSeedsTest, RefinementSeedMatchesR) {
  const auto rows = fixture::read_tsv("driver_refine_seeds.tsv");
  ASSERT_GE(rows.size(), 30u);
  for (const auto& row : rows) {
    const uint64_t seed = std::stoull(row[0]);
    const uint64_t groups = std::stoull(row[1]);
    auto rng = rng_compat::RMt19937SeedCompat::set_seed(static_cast<uint32_t>(seed));
    const auto batches = algo::driver::plan_batches(1000, true, rng);
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].seed, std::stoull(row[2]));
    EXPECT_EQ(algo::driver::refinement_seed(rng, groups), std::stoull(row[3]))
        << "seed " << seed << " groups " << groups;
  }
}

TEST(DriverSeedsTest, ResolveSeed) {
  EXPECT_EQ(algo::resolve_rng_seed(42), 42u);
  EXPECT_EQ(algo::resolve_rng_seed(std::numeric_limits<uint64_t>::max()),
            std::numeric_limits<uint64_t>::max());
  // Unseeded calls draw fresh entropy: three equal 64-bit draws would mean a
  // constant source.
  const uint64_t a = algo::resolve_rng_seed(std::nullopt);
  const uint64_t b = algo::resolve_rng_seed(std::nullopt);
  const uint64_t c = algo::resolve_rng_seed(std::nullopt);
  EXPECT_FALSE(a == b && b == c);
}

// ---------------------------------------------------------------------------
// Parameter and p-value rules.

TEST(DriverRulesTest, Clamps) {
  auto c = algo::driver::clamp_params(0, 1000, -0.5, 50);
  EXPECT_EQ(c.min_size, 1u);
  EXPECT_EQ(c.max_size, 49u);
  EXPECT_EQ(c.eps, 0.0);
  c = algo::driver::clamp_params(5, 20, 2.0, 50);
  EXPECT_EQ(c.min_size, 5u);
  EXPECT_EQ(c.max_size, 20u);
  EXPECT_EQ(c.eps, 1.0);
  c = algo::driver::clamp_params(1, 10, 1e-50, 0);
  EXPECT_EQ(c.max_size, 0u);
  EXPECT_EQ(c.eps, 1e-50);
  EXPECT_TRUE(std::isnan(algo::driver::clamp_params(1, 10, kNaN, 5).eps));
}

TEST(DriverRulesTest, NesPvalAndSide) {
  using algo::driver::permutation_stats;
  Counts c;
  c.le_es = 3;
  c.ge_es = 90;
  c.le_zero = 40;
  c.ge_zero = 60;
  c.le_zero_sum = -8.0;
  c.ge_zero_sum = 15.0;
  // std, positive es: upper side; nes divides by the mean of the scores >= 0.
  auto s = permutation_stats(c, 0.5, ScoreType::kStd);
  ASSERT_TRUE(s.nes.has_value());
  EXPECT_EQ(*s.nes, 0.5 / 0.25);
  EXPECT_EQ(s.pval, std::min(4.0 / 41.0, 91.0 / 61.0));
  EXPECT_EQ(s.k, 90u);
  EXPECT_EQ(s.n, 60u);
  // std, negative es: lower side, |mean| of the scores <= 0.
  s = permutation_stats(c, -0.4, ScoreType::kStd);
  EXPECT_EQ(*s.nes, -0.4 / 0.2);
  EXPECT_EQ(s.k, 3u);
  EXPECT_EQ(s.n, 40u);
  // std, es 0: k from the lower count, n from the upper side.
  s = permutation_stats(c, 0.0, ScoreType::kStd);
  EXPECT_EQ(*s.nes, 0.0);
  EXPECT_EQ(s.k, 3u);
  EXPECT_EQ(s.n, 60u);
  s = permutation_stats(c, kNaN, ScoreType::kStd);
  EXPECT_FALSE(s.nes.has_value());
  EXPECT_TRUE(std::isnan(s.pval));
  EXPECT_EQ(s.k, 3u);
  EXPECT_EQ(s.n, 60u);
  // pos and neg take their own side whatever the sign, and need a usable es.
  s = permutation_stats(c, 0.5, ScoreType::kPos);
  EXPECT_EQ(s.k, 90u);
  EXPECT_EQ(s.n, 60u);
  EXPECT_FALSE(permutation_stats(c, -0.1, ScoreType::kPos).nes.has_value());
  s = permutation_stats(c, -0.5, ScoreType::kNeg);
  EXPECT_EQ(*s.nes, -0.5 / 0.2);
  EXPECT_EQ(s.k, 3u);
  EXPECT_EQ(s.n, 40u);
  EXPECT_FALSE(permutation_stats(c, 0.1, ScoreType::kNeg).nes.has_value());
  // std with a positive es and no score above 0 (or all exactly 0): no nes,
  // no p-value.
  Counts zero_top = c;
  zero_top.ge_zero_sum = 0.0;
  s = permutation_stats(zero_top, 0.5, ScoreType::kStd);
  EXPECT_FALSE(s.nes.has_value());
  EXPECT_TRUE(std::isnan(s.pval));
}

TEST(DriverRulesTest, MergeOfRefinedPvalues) {
  using algo::driver::merge_refined_pvalue;
  // Rescaled by the side's share of permutations, capped at 1.
  auto r = merge_refined_pvalue(1e-6, 499, 999, 1e-50, 101);
  EXPECT_EQ(r.pval, std::min(1e-6 / (500.0 / 1000.0), 1.0));
  ASSERT_TRUE(r.log2err.has_value());
  EXPECT_TRUE(std::isfinite(*r.log2err));
  EXPECT_GT(*r.log2err, 0.0);
  EXPECT_EQ(merge_refined_pvalue(0.9, 99, 999, 0.0, 101).pval, 1.0);
  // A failed estimate reads as 1.0 with a finite error.
  r = merge_refined_pvalue(kNaN, 499, 999, 1e-50, 101);
  EXPECT_EQ(r.pval, 1.0);
  ASSERT_TRUE(r.log2err.has_value());
  EXPECT_TRUE(std::isfinite(*r.log2err));
  // Below eps: floored, error dropped.
  r = merge_refined_pvalue(1e-60, 499, 999, 1e-50, 101);
  EXPECT_EQ(r.pval, 1e-50);
  EXPECT_FALSE(r.log2err.has_value());
  // 0 with eps 0: kept, error present and NaN.
  r = merge_refined_pvalue(0.0, 499, 999, 0.0, 101);
  EXPECT_EQ(r.pval, 0.0);
  ASSERT_TRUE(r.log2err.has_value());
  EXPECT_TRUE(std::isnan(*r.log2err));
  // The error grows with the number of levels, floor(1 - log2 p).
  const double e1 = *merge_refined_pvalue(0.3, 999, 999, 0.0, 101).log2err;  // 2 levels
  const double e2 = *merge_refined_pvalue(0.2, 999, 999, 0.0, 101).log2err;  // 3 levels
  EXPECT_NEAR(e2 / e1, std::sqrt(3.0 / 2.0), 1e-15);
}

TEST(DriverRulesTest, ElapsedSeconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point t0{};
  EXPECT_EQ(StageTimer::elapsed_seconds(t0, t0 + std::chrono::nanoseconds(2500000001)),
            2.0 + 500000001 / 1e9);
  EXPECT_EQ(StageTimer::elapsed_seconds(t0 + std::chrono::seconds(1), t0), 0.0);
}

// ---------------------------------------------------------------------------
// Whole runs.

struct Case {
  RankedList ranked;
  std::vector<Pathway> pathways;
};

// n genes "g0".."g{n-1}" with standard normal scores and `count` random
// pathways of sizes in [lo, hi] (plus a few genes the list does not hold).
Case random_case(uint32_t seed, size_t n, size_t count, size_t lo, size_t hi) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> normal;
  std::vector<std::string> genes(n);
  std::vector<double> scores(n);
  for (size_t i = 0; i < n; ++i) {
    genes[i] = "g" + std::to_string(i);
    scores[i] = normal(gen);
  }
  Case c{RankedList(genes, scores), {}};
  for (size_t p = 0; p < count; ++p) {
    const size_t size = lo + gen() % (hi - lo + 1);
    Pathway pw;
    pw.name = "P" + std::to_string(gen() % 100000);
    for (size_t i = 0; i < size; ++i) pw.genes.push_back("g" + std::to_string(gen() % n));
    pw.genes.push_back("absent" + std::to_string(p));
    c.pathways.push_back(std::move(pw));
  }
  return c;
}

bool same_double(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}
bool same_opt(const std::optional<double>& a, const std::optional<double>& b) {
  return a.has_value() == b.has_value() && (!a.has_value() || same_double(*a, *b));
}

void expect_identical(const std::vector<EnrichmentResult>& a,
                      const std::vector<EnrichmentResult>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(what + " row " + std::to_string(i) + " " + a[i].pathway);
    EXPECT_EQ(a[i].pathway, b[i].pathway);
    EXPECT_EQ(a[i].size, b[i].size);
    EXPECT_TRUE(same_double(a[i].es, b[i].es));
    EXPECT_TRUE(same_opt(a[i].nes, b[i].nes));
    EXPECT_TRUE(same_double(a[i].pval, b[i].pval));
    EXPECT_TRUE(same_opt(a[i].padj, b[i].padj));
    EXPECT_TRUE(same_opt(a[i].log2err, b[i].log2err));
    EXPECT_EQ(a[i].leading_edge, b[i].leading_edge);
  }
}

std::vector<std::string> stage_lines(const std::string& err) {
  std::vector<std::string> names;
  const std::regex line("TARVELO_STAGE\t([a-z_]+)\t[0-9]+\\.[0-9]{6}");
  for (const auto& l : split(err, '\n')) {
    std::smatch m;
    if (std::regex_match(l, m, line)) {
      names.push_back(m[1]);
    } else {
      ADD_FAILURE() << "unexpected stderr line: " << l;
    }
  }
  return names;
}

std::vector<std::string> run_timed(const Case& c, uint64_t nperm, bool multilevel,
                                   std::vector<EnrichmentResult>* out = nullptr) {
  EnvGuard timing("TARVELO_STAGE_TIMING", "");
  testing::internal::CaptureStderr();
  auto res = algo::run_gsea_internal(c.ranked, c.pathways, nperm, 1, 1, 500, 1e-50, 1.0,
                                     ScoreType::kStd, multilevel, 101);
  const std::string err = testing::internal::GetCapturedStderr();
  if (out != nullptr) *out = std::move(res);
  return stage_lines(err);
}

TEST(DriverRunTest, NothingKept) {
  const std::vector<std::string> lines = {"setup", "pathway_preprocessing", "simple_postprocessing",
                                          "finalize_results", "total"};
  Case empty{RankedList({}, {}), {Pathway{"A", {"x"}, {}}}};
  Case one{RankedList({"x"}, {1.0}), {Pathway{"A", {"x"}, {}}}};
  Case out_of_bounds = random_case(3, 30, 4, 3, 5);
  out_of_bounds.pathways.push_back(Pathway{"all", out_of_bounds.ranked.genes(), {}});
  for (const Case* c : {&empty, &one}) {
    std::vector<EnrichmentResult> res;
    EXPECT_EQ(run_timed(*c, 1000, true, &res), lines);
    EXPECT_TRUE(res.empty());
  }
  auto res = algo::run_gsea_internal(out_of_bounds.ranked, out_of_bounds.pathways, 100, 1, 6, 500,
                                     0.0, 1.0, ScoreType::kStd, false, 101);
  EXPECT_TRUE(res.empty());  // sizes 3..5 below minSize 6; "all" above N - 1
  // Without the timing variable nothing is written.
  testing::internal::CaptureStderr();
  res = algo::run_gsea_internal(one.ranked, one.pathways, 10, 1, 1, 5, 0.0, 1.0, ScoreType::kStd,
                                false, 101);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DriverRunTest, NoPermutations) {
  const Case c = random_case(5, 200, 20, 5, 30);
  for (bool multilevel : {false, true}) {
    std::vector<EnrichmentResult> res;
    EXPECT_EQ(run_timed(c, 0, multilevel, &res),
              (std::vector<std::string>{"setup", "pathway_preprocessing", "simple_postprocessing",
                                        "finalize_results", "total"}));
    ASSERT_EQ(res.size(), 20u);
    for (const auto& r : res) {
      EXPECT_FALSE(r.nes.has_value());
      EXPECT_TRUE(std::isnan(r.pval));
      EXPECT_FALSE(r.padj.has_value());
      EXPECT_FALSE(r.log2err.has_value());
      EXPECT_NE(r.es, 0.0);
      EXPECT_FALSE(r.leading_edge.empty());
    }
  }
}

TEST(DriverRunTest, SizeClampsDuplicatesAndOrder) {
  // Genes a..j; pathway sizes count only genes of the list, once each.
  std::vector<std::string> genes;
  std::vector<double> scores;
  for (int i = 0; i < 10; ++i) {
    genes.push_back(std::string(1, static_cast<char>('a' + i)));
    scores.push_back(5.0 - i);
  }
  const RankedList ranked(genes, scores);
  std::vector<Pathway> pw = {
      {"b", {"a", "c", "zz", "a"}, {}},            // 2 hits
      {"\xc3\xa9t\xc3\xa9", {"d"}, {}},            // 1 hit, a name above ASCII
      {"ab", {"e", "f", "g"}, {}},                 // 3 hits
      {"a", {"a", "b", "c", "d", "e", "f", "g", "h", "i"}, {}},  // 9 = N - 1
      {"b", {"j", "i"}, {}},                       // duplicate name, later input
      {"full", genes, {}},                         // 10 = N: never kept
      {"none", {"zz"}, {}},                        // no hit: never kept
  };
  auto res = algo::run_gsea_internal(ranked, pw, 0, 1, 0, 1000, 0.0, 1.0, ScoreType::kStd, false,
                                     101);
  std::vector<std::string> names;
  for (const auto& r : res) names.push_back(r.pathway + "/" + std::to_string(r.size));
  EXPECT_EQ(names, (std::vector<std::string>{"a/9", "ab/3", "b/2", "b/2", "\xc3\xa9t\xc3\xa9/1"}));
  EXPECT_EQ(res[2].leading_edge, (std::vector<std::string>{"a", "c"}));  // input order kept
  EXPECT_EQ(res[3].leading_edge, (std::vector<std::string>{"j", "i"}));
  res = algo::run_gsea_internal(ranked, pw, 0, 1, 2, 3, 0.0, 1.0, ScoreType::kStd, false, 101);
  EXPECT_EQ(res.size(), 3u);
}

}  // namespace
}  // namespace tarvelo

namespace tarvelo {
namespace {

// The end-to-end case on one pathway: R's L'Ecuyer-CMRG streams scored by a
// CPython transcription must give the engine's numbers exactly.
TEST(DriverRunTest, SinglePathwayMatchesReference) {
  std::ifstream in(fixture::path("driver_single_path.tsv"));
  ASSERT_TRUE(in.good());
  std::map<std::string, std::vector<std::string>> head;
  std::string line;
  for (int i = 0; i < 6 && std::getline(in, line); ++i) {
    auto f = split(line, '\t');
    head[f[0]] = std::vector<std::string>(f.begin() + 1, f.end());
  }
  std::vector<double> scores;
  for (const auto& s : head["scores"]) scores.push_back(std::stod(s));
  const RankedList ranked(head["genes"], scores);
  const std::vector<Pathway> pathways = {Pathway{"P", head["pathway"], {}}};
  const uint64_t seed = std::stoull(head["seed"][0]);
  const uint64_t nperm = std::stoull(head["nperm"][0]);

  const std::map<std::string, ScoreType> types = {
      {"std", ScoreType::kStd}, {"pos", ScoreType::kPos}, {"neg", ScoreType::kNeg}};
  const auto rows = fixture::read_tsv("driver_single_path_expected.tsv");
  ASSERT_EQ(rows.size(), 3u);
  auto hex = [](const std::string& s) { return std::strtod(s.c_str(), nullptr); };
  tbb::task_arena arena(4);
  for (const auto& row : rows) {
    SCOPED_TRACE(row[0]);
    const ScoreType st = types.at(row[0]);
    // Many threads do not change the single-pathway path.
    const auto res = pool::execute_in(arena, [&] {
      return algo::run_gsea_internal(ranked, pathways, nperm, seed, 1, 500, 0.0, 1.0, st, false,
                                     101);
    });
    ASSERT_EQ(res.size(), 1u);
    const EnrichmentResult& r = res[0];
    EXPECT_EQ(r.size, pathways[0].genes.size());
    EXPECT_TRUE(same_double(r.es, hex(row[1])));
    ASSERT_TRUE(r.nes.has_value());
    EXPECT_TRUE(same_double(*r.nes, hex(row[2]))) << *r.nes;
    EXPECT_TRUE(same_double(r.pval, hex(row[3]))) << r.pval;
    ASSERT_TRUE(r.padj.has_value());
    EXPECT_EQ(*r.padj, r.pval);
    ASSERT_TRUE(r.log2err.has_value());
    EXPECT_NEAR(*r.log2err, hex(row[4]), 1e-12 * hex(row[4]));
    // Mode "ruvex" with nperm given is the same plain permutation test.
    const auto ruvex = algo::ruvex_with_sample_size_and_kind(ranked, pathways, nperm, 77, seed, 1,
                                                             500, 0.0, 1.0, st, 101);
    expect_identical(res, ruvex, "ruvex");
  }
}

// Runs a call inside an arena of `threads` threads.
std::vector<EnrichmentResult> run_on(size_t threads, const Case& c, uint64_t nperm, bool multilevel,
                                     ScoreType st = ScoreType::kStd, uint64_t seed = 11,
                                     double eps = 1e-50, uint64_t min_size = 1) {
  tbb::task_arena arena(static_cast<int>(threads));
  return pool::execute_in(arena, [&] {
    EXPECT_EQ(pool::current_threads(), threads);
    return algo::run_gsea_internal(c.ranked, c.pathways, nperm, seed, min_size, 500, eps, 1.0, st,
                                   multilevel, 101);
  });
}

TEST(DriverRunTest, ThreadCountDoesNotChangeResults) {
  const bool small = sanitizer_build();
  // 160 pathways (the parallel kernels need 128) of several sizes, so that the
  // refinement forms several groups.
  Case c = random_case(21, small ? 500 : 1200, 154, 10, small ? 30 : 80);
  // Six enriched pathways of different sizes: refinement groups of their own.
  const auto& ranked_genes = c.ranked.genes();
  for (size_t s = 0; s < 6; ++s) {
    Pathway p{"planted" + std::to_string(s), {}, {}};
    for (size_t i = 0; i < 12 + 3 * s; ++i) {
      const size_t at = i * (2 + s % 2);
      p.genes.push_back(s < 3 ? ranked_genes[at] : ranked_genes[ranked_genes.size() - 1 - at]);
    }
    c.pathways.push_back(std::move(p));
  }
  // The sanitizer build stops refining earlier (eps) to stay quick.
  const double eps = small ? 1e-8 : 1e-50;
  for (bool multilevel : {false, true}) {
    for (ScoreType st : {ScoreType::kStd, ScoreType::kNeg}) {
      const uint64_t nperm = multilevel ? (small ? 200 : 1000) : (small ? 1500 : 4000);
      const auto one = run_on(1, c, nperm, multilevel, st, 11, eps);
      ASSERT_EQ(one.size(), 160u);
      const std::string what = std::string(multilevel ? "multilevel" : "simple") +
                               (st == ScoreType::kStd ? " std" : " neg");
      expect_identical(one, run_on(2, c, nperm, multilevel, st, 11, eps), what + " T=2");
      expect_identical(one, run_on(8, c, nperm, multilevel, st, 11, eps), what + " T=8");
      size_t with_p = 0, refined = 0;
      for (const auto& r : one) {
        with_p += std::isfinite(r.pval) ? 1 : 0;
        refined += r.pval < 0.2 / static_cast<double>(nperm) ? 1 : 0;
      }
      EXPECT_GT(with_p, 100u) << what;
      if (multilevel) {
        EXPECT_GE(refined, 3u) << what;
      }
    }
  }
}

TEST(DriverRunTest, FastNonexactOnlyWithThreadsAndManyPathways) {
  const bool small = sanitizer_build();
  const Case many = random_case(31, small ? 400 : 1500, 128, 10, 40);
  Case fewer = many;
  fewer.pathways.pop_back();  // 127 pathways: never a parallel kernel
  const uint64_t nperm = small ? 1000 : 3000;
  const auto exact_many = run_on(4, many, nperm, false);
  const auto exact_fewer = run_on(4, fewer, nperm, false);
  EnvGuard fast("TARVELO_FAST_NONEXACT_SIMPLE", "");  // an empty value counts
  expect_identical(exact_fewer, run_on(8, fewer, nperm, false), "127 pathways");
  expect_identical(exact_many, run_on(1, many, nperm, false), "one thread");
  const auto fast_many = run_on(4, many, nperm, false);
  ASSERT_EQ(fast_many.size(), exact_many.size());
  size_t differ = 0;
  for (size_t i = 0; i < fast_many.size(); ++i) {
    EXPECT_EQ(fast_many[i].pathway, exact_many[i].pathway);
    EXPECT_EQ(fast_many[i].es, exact_many[i].es);
    EXPECT_EQ(fast_many[i].leading_edge, exact_many[i].leading_edge);
    differ += same_double(fast_many[i].pval, exact_many[i].pval) ? 0 : 1;
  }
  EXPECT_GT(differ, 0u);  // other streams, other counts
}

TEST(DriverRunTest, TimingLinesOfEachMode) {
  const Case c = random_case(41, 300, 12, 10, 30);
  std::vector<EnrichmentResult> res;
  EXPECT_EQ(run_timed(c, 200, false, &res),
            (std::vector<std::string>{"setup", "pathway_preprocessing", "simple_stage",
                                      "simple_postprocessing", "finalize_results", "total"}));
  EXPECT_EQ(res.size(), 12u);
  EXPECT_EQ(run_timed(c, 200, true, &res),
            (std::vector<std::string>{"setup", "pathway_preprocessing", "simple_stage",
                                      "simple_postprocessing", "multilevel_refinement",
                                      "finalize_results", "total"}));
}

TEST(DriverRunTest, MultilevelNeedsTenPermutationsOnTheSide) {
  const Case c = random_case(51, 400, 30, 10, 40);
  // Five permutations leave fewer than ten on every side of zero.
  for (const auto& r : run_on(2, c, 5, true)) {
    EXPECT_TRUE(std::isnan(r.pval)) << r.pathway;
    EXPECT_FALSE(r.nes.has_value());
    EXPECT_FALSE(r.log2err.has_value());
    EXPECT_FALSE(r.padj.has_value());
  }
  // The same five permutations without refinement give p-values.
  size_t finite = 0;
  for (const auto& r : run_on(2, c, 5, false)) finite += std::isfinite(r.pval) ? 1 : 0;
  EXPECT_GT(finite, 20u);
}

// A strongly enriched pathway is refined below 1/nperm, and eps floors it.
TEST(DriverRunTest, RefinementAndEpsFloor) {
  const size_t n = 400;
  std::vector<std::string> genes;
  std::vector<double> scores;
  for (size_t i = 0; i < n; ++i) {
    genes.push_back("g" + std::to_string(i));
    scores.push_back(static_cast<double>(n - i) / 10.0 - 15.0);
  }
  Case c{RankedList(genes, scores), {}};
  Pathway top{"top", {}, {}}, bottom{"bottom", {}, {}}, mixed{"mixed", {}, {}};
  for (size_t i = 0; i < 20; ++i) {
    top.genes.push_back(genes[i * 2]);
    bottom.genes.push_back(genes[n - 1 - i * 3]);
    mixed.genes.push_back(genes[i * 19]);
  }
  c.pathways = {top, bottom, mixed};
  const auto res = run_on(2, c, 1000, true);
  ASSERT_EQ(res.size(), 3u);  // bottom, mixed, top
  EXPECT_LT(res[0].pval, 1e-4);
  EXPECT_LT(res[2].pval, 1e-4);
  ASSERT_TRUE(res[2].log2err.has_value());
  EXPECT_TRUE(std::isfinite(*res[2].log2err));
  EXPECT_GT(res[1].pval, 1e-3);
  const auto floored = run_on(1, c, 1000, true, ScoreType::kStd, 11, 1e-3);
  EXPECT_EQ(floored[0].pval, 1e-3);
  EXPECT_FALSE(floored[0].log2err.has_value());
  EXPECT_EQ(floored[2].pval, 1e-3);
  EXPECT_TRUE(floored[1].log2err.has_value());
  // Refined values do not depend on whether groups run in parallel.
  expect_identical(res, run_on(1, c, 1000, true), "refinement T=1");
  // One set per level cannot split: no level, no estimate, and the pathway
  // reads as not significant (with a finite error), as the merge rule says.
  const auto one_set = algo::run_gsea_internal(c.ranked, c.pathways, 1000, 11, 1, 500, 1e-50, 1.0,
                                               ScoreType::kStd, true, 1);
  ASSERT_EQ(one_set.size(), 3u);
  EXPECT_EQ(one_set[2].pval, 1.0);
  ASSERT_TRUE(one_set[2].log2err.has_value());
  EXPECT_TRUE(std::isfinite(*one_set[2].log2err));
  EXPECT_EQ(one_set[2].nes, res[2].nes);
}

TEST(DriverStatsTest, SimplePvaluesAreUniformUnderTheNull) {
  const bool small = sanitizer_build();
  const Case c = random_case(61, small ? 1000 : 5000, 300, 15, small ? 60 : 200);
  const auto res = run_on(4, c, small ? 500 : 2000, false);
  std::vector<double> p;
  for (const auto& r : res) {
    if (std::isfinite(r.pval)) p.push_back(r.pval);
  }
  ASSERT_GE(p.size(), 290u);
  std::sort(p.begin(), p.end());
  double d = 0.0, mean = 0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    const double m = static_cast<double>(p.size());
    d = std::max({d, std::fabs(p[i] - i / m), std::fabs(p[i] - (i + 1) / m)});
    mean += p[i] / m;
  }
  // Kolmogorov-Smirnov at the 0.1% level for 300 values is about 0.113.
  EXPECT_LT(d, 0.113);
  EXPECT_NEAR(mean, 0.5, 0.06);
}

}  // namespace
}  // namespace tarvelo
