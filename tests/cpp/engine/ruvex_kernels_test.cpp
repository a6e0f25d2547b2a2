// Permutation counting kernels. Expected counts of the sequential, chunked and
// single-pathway kernels: tests/data/kernel_counts.txt, written by
// tools/gen_kernel_count_fixtures.py (CPython; the single-pathway sets are R
// 4.2.2's L'Ecuyer-CMRG sample.int draws from tools/gen_single_path_fixtures.R).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <tbb/task_arena.h>

#include "fixture_util.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/engine/rng_compat.hpp"
#include "tarvelo/engine/ruvex_compat.hpp"
#include "tarvelo/engine/ruvex_kernels.hpp"

namespace tarvelo::ruvex_compat {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Integer weights in ranked order with ties and a tail of zeros.
std::vector<double> test_ranks(uint64_t n) {
  std::vector<double> r(n);
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t rest = n - i;
    r[i] = rest <= n / 10 ? 0.0 : static_cast<double>((rest * rest / 7) * 1000 + 17);
  }
  return r;
}

PathwayAcc acc_at(const BatchCounts& c, size_t j) {
  return PathwayAcc{c.le_es[j], c.ge_es[j], c.le_zero[j],
                    c.ge_zero[j], c.le_zero_sum[j], c.ge_zero_sum[j]};
}

void expect_same(const BatchCounts& a, const BatchCounts& b, const std::string& what) {
  EXPECT_EQ(a.le_es, b.le_es) << what;
  EXPECT_EQ(a.ge_es, b.ge_es) << what;
  EXPECT_EQ(a.le_zero, b.le_zero) << what;
  EXPECT_EQ(a.ge_zero, b.ge_zero) << what;
  EXPECT_EQ(a.le_zero_sum, b.le_zero_sum) << what;  // bit for bit
  EXPECT_EQ(a.ge_zero_sum, b.ge_zero_sum) << what;
}

TEST(BatchCounting, CountingRuleAndMerge) {
  PathwayAcc a;
  count_score(a, 0.25, 0.25);  // equal to es: both sides
  EXPECT_EQ(a.le_es, 1u);
  EXPECT_EQ(a.ge_es, 1u);
  count_score(a, 0.0, 0.1);  // zero: both zero counters, adds 0
  EXPECT_EQ(a.le_zero, 1u);
  EXPECT_EQ(a.ge_zero, 2u);
  EXPECT_EQ(a.le_zero_sum, 0.0);
  EXPECT_EQ(a.ge_zero_sum, 0.25);
  const PathwayAcc before = a;
  count_score(a, kNaN, 0.1);  // NaN score: nothing
  EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0);
  count_score(a, -0.5, kNaN);  // NaN es: only the zero side
  EXPECT_EQ(a.le_es, before.le_es);
  EXPECT_EQ(a.ge_es, before.ge_es);
  EXPECT_EQ(a.le_zero, before.le_zero + 1);
  EXPECT_EQ(a.le_zero_sum, -0.5);

  BatchCounts x = empty_batch_counts(2), y = empty_batch_counts(2);
  x.le_es = {1, 2};
  x.ge_zero_sum = {0.5, -1.0};
  y.le_es = {10, 20};
  y.ge_zero_sum = {0.25, 4.0};
  BatchCounts z = merge_batch_counts(x, y);
  EXPECT_EQ(z.le_es, (std::vector<uint64_t>{11, 22}));
  EXPECT_EQ(z.ge_zero_sum, (std::vector<double>{0.75, 3.0}));
  EXPECT_THROW(merge_batch_counts(empty_batch_counts(2), empty_batch_counts(3)), InternalError);
}

TEST(BatchCounting, ChunkPlans) {
  auto plan = chunk_plan(5, 4);
  ASSERT_EQ(plan.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(plan[i].start, i);
    EXPECT_EQ(plan[i].count, 1u);
  }
  plan = chunk_plan(100, 4);
  ASSERT_EQ(plan.size(), 32u);
  uint64_t next = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    EXPECT_EQ(plan[i].count, i < 4 ? 4u : 3u) << i;
    EXPECT_EQ(plan[i].start, next);
    next += plan[i].count;
  }
  EXPECT_EQ(next, 100u);
  EXPECT_EQ(chunk_plan(100, 0).size(), 8u);  // no threads reads as one
  EXPECT_TRUE(chunk_plan(0, 4).empty());
}

TEST(BatchCounting, NothingToCountAndBrokenInputs) {
  std::vector<double> ranks = test_ranks(50);
  std::vector<uint64_t> sizes = {3, 5};
  std::vector<double> es = {0.1, 0.2};
  BatchInput in{0, 7, ranks, 50, ScoreType::kStd, sizes, es};
  for (const BatchCounts& c : {calc_gsea_stat_cumulative_batch_f64_sequential(in),
                               calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(in),
                               calc_gsea_stat_cumulative_batch_f64_parallel(in, 4)}) {
    EXPECT_EQ(c.size(), 2u);
    EXPECT_EQ(c.le_es, (std::vector<uint64_t>{0, 0}));
  }
  in.nperm = 10;
  std::vector<uint64_t> bad = {3, 0};
  in.sizes = bad;
  EXPECT_THROW(calc_gsea_stat_cumulative_batch_f64_sequential(in), InternalError);
  std::vector<uint64_t> too_big = {3, 51};
  in.sizes = too_big;
  EXPECT_THROW(calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(in), InternalError);
  std::vector<double> one_es = {0.1};
  in.sizes = sizes;
  in.es = one_es;
  EXPECT_THROW(calc_gsea_stat_cumulative_batch_f64_parallel(in, 2), InternalError);
}

// 160 pathways in size groups large and small,
// with observed scores that tie with permutation scores, 0 and NaN.
struct ManyPathways {
  std::vector<double> ranks;
  std::vector<uint64_t> sizes;
  std::vector<double> es;
};

ManyPathways many_pathways(uint64_t n, uint64_t seed, ScoreType st) {
  ManyPathways m;
  m.ranks = test_ranks(n);
  const uint64_t group_sizes[] = {1, 2, 5, 9, 17, 30, 31, 40};
  // Scores of the first permutation: observed scores equal to them tie.
  auto mt = rng_compat::Mt19937::seed(static_cast<uint32_t>(seed));
  auto first = calc_gsea_stat_cumulative_f64(m.ranks, rng_compat::combination(1, n, 40, mt), st,
                                             1.0);
  for (size_t j = 0; j < 160; ++j) {
    // The last ten form small groups, counted without sorting.
    const uint64_t k = j >= 150 ? 3 + (j - 150) % 4 : group_sizes[j % 8 == 7 ? 7 : (j * 5) % 7];
    m.sizes.push_back(k);
    double e = -0.6 + 1.2 * static_cast<double>((j * 37) % 101) / 100.0;
    if (j % 11 == 0) e = first[k - 1];
    if (j % 23 == 0) e = 0.0;
    if (j == 50) e = kNaN;
    m.es.push_back(e);
  }
  return m;
}

TEST(BatchCounting, ThreadInvariantKernelEqualsSequentialAtAnyThreadCount) {
  const uint64_t n = 300;
  for (ScoreType st : {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg}) {
    const uint64_t seed = 123456789;
    ManyPathways m = many_pathways(n, seed, st);
    // More than one 4096-permutation block for std.
    const uint64_t nperm = st == ScoreType::kStd ? 4500 : 400;
    BatchInput in{nperm, seed, m.ranks, n, st, m.sizes, m.es};
    const BatchCounts seq = calc_gsea_stat_cumulative_batch_f64_sequential(in);
    uint64_t total_ge = 0;
    for (size_t j = 0; j < m.sizes.size(); ++j) {
      EXPECT_GE(seq.le_zero[j] + seq.ge_zero[j], nperm);
      total_ge += seq.ge_es[j];
    }
    EXPECT_EQ(seq.le_es[50] + seq.ge_es[50], 0u);  // NaN es
    EXPECT_GT(seq.le_es[11] + seq.ge_es[11], nperm);  // tie with the first permutation
    EXPECT_GT(total_ge, 0u);
    for (int threads : {1, 2, 3, 8}) {
      tbb::task_arena arena(threads);
      expect_same(calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(in, &arena), seq,
                  "threads " + std::to_string(threads));
    }
    expect_same(calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(in), seq,
                "global pool");
  }
}

// One block of kernel_counts.txt (tools/gen_kernel_count_fixtures.py): the
// inputs and, per pathway, the counts the kernel's rules give for them.
struct KernelCase {
  std::string kernel;  // "sequential", "chunked" or "single"
  uint64_t n = 0, seed = 0, nperm = 0;
  ScoreType score_type = ScoreType::kStd;
  uint64_t threads = 0;  // chunked only
  std::vector<double> ranks;
  std::vector<uint64_t> sizes;
  std::vector<double> es;
  BatchCounts want;

  std::string what() const {
    return kernel + " N " + std::to_string(n) + " nperm " + std::to_string(nperm) +
           (kernel == "chunked" ? " T " + std::to_string(threads)
                                : " score type " + std::to_string(static_cast<int>(score_type)));
  }
};

ScoreType score_type_named(const std::string& s) {
  if (s == "pos") return ScoreType::kPos;
  if (s == "neg") return ScoreType::kNeg;
  EXPECT_EQ(s, "std");
  return ScoreType::kStd;
}

std::vector<KernelCase> read_kernel_cases(const std::string& kernel) {
  std::vector<KernelCase> cases;
  bool keep = false;
  for (const fixture::Tokens& t : fixture::read_tokens("kernel_counts.txt")) {
    if (t.empty()) continue;
    if (t[0] == "sequential" || t[0] == "chunked" || t[0] == "single") {
      keep = t[0] == kernel;
      if (!keep) continue;
      KernelCase c;
      c.kernel = t[0];
      if (kernel == "single") {  // single <seed> <N> <k> <nperm> <score type>
        c.seed = std::stoull(t.at(1));
        c.n = std::stoull(t.at(2));
        c.nperm = std::stoull(t.at(4));
        c.score_type = score_type_named(t.at(5));
      } else {  // <kernel> <N> <seed> <nperm> <T or score type>
        c.n = std::stoull(t.at(1));
        c.seed = std::stoull(t.at(2));
        c.nperm = std::stoull(t.at(3));
        if (kernel == "chunked") {
          c.threads = std::stoull(t.at(4));
        } else {
          c.score_type = score_type_named(t.at(4));
        }
      }
      cases.push_back(std::move(c));
      continue;
    }
    if (!keep) continue;
    KernelCase& c = cases.back();
    if (t[0] == "ranks") {
      for (size_t i = 1; i < t.size(); ++i) c.ranks.push_back(fixture::num(t[i]));
    } else if (t[0] == "sizes") {
      for (size_t i = 1; i < t.size(); ++i) c.sizes.push_back(std::stoull(t[i]));
    } else if (t[0] == "es") {
      for (size_t i = 1; i < t.size(); ++i) c.es.push_back(fixture::num(t[i]));
    } else if (t.size() == 6) {
      c.want.le_es.push_back(std::stoull(t[0]));
      c.want.ge_es.push_back(std::stoull(t[1]));
      c.want.le_zero.push_back(std::stoull(t[2]));
      c.want.ge_zero.push_back(std::stoull(t[3]));
      c.want.le_zero_sum.push_back(fixture::num(t[4]));
      c.want.ge_zero_sum.push_back(fixture::num(t[5]));
    } else {
      ADD_FAILURE() << "kernel_counts.txt: unexpected line starting " << t[0];
    }
  }
  for (const KernelCase& c : cases) {
    EXPECT_EQ(c.ranks.size(), c.n) << c.what();
    EXPECT_EQ(c.sizes.size(), kernel == "single" ? 1u : 160u) << c.what();
    EXPECT_EQ(c.es.size(), c.sizes.size()) << c.what();
    // A single-pathway block holds the running values passed in, then the
    // expected ones.
    EXPECT_EQ(c.want.size(), kernel == "single" ? 2u : c.sizes.size()) << c.what();
  }
  return cases;
}

BatchInput input_of(const KernelCase& c) {
  return BatchInput{c.nperm, c.seed, c.ranks, c.n, c.score_type, c.sizes, c.es};
}

// The fixtures' inputs follow many_pathways, with integer weights without
// zeros so that every score is exact whatever order its weights are summed in
// (zero weights are the prefix scorer's own tests' business): 160 pathways in
// size groups large and small, observed scores tying with the first
// permutation's, 0 and NaN. The expected counts come from a CPython
// transcription of each kernel's streams, of the prefix scores from their
// definition and of the counting rule.

// The sequential kernel counts every pathway by the rule, permutation by
// permutation, over more than one block of kept scores (std, 4200
// permutations) and for the negative side (neg).
TEST(BatchCounting, SequentialKernelCountsEveryPathwayByTheRule) {
  const std::vector<KernelCase> cases = read_kernel_cases("sequential");
  ASSERT_EQ(cases.size(), 2u);
  for (const KernelCase& c : cases) {
    const BatchCounts got = calc_gsea_stat_cumulative_batch_f64_sequential(input_of(c));
    ASSERT_EQ(got.size(), c.want.size()) << c.what();
    for (size_t j = 0; j < c.want.size(); ++j) {
      const PathwayAcc g = acc_at(got, j), w = acc_at(c.want, j);
      EXPECT_EQ(std::memcmp(&g, &w, sizeof g), 0) << c.what() << ", pathway " << j;
    }
  }
}

// The chunked kernel follows its per-chunk streams (both samplers: kmax 40 is
// below 300 / 2 and above 70 / 2) and adds the chunk totals in chunk order,
// whatever the arena it runs on.
TEST(BatchCounting, ChunkedKernelFollowsItsPerChunkStreams) {
  const std::vector<KernelCase> cases = read_kernel_cases("chunked");
  ASSERT_EQ(cases.size(), 4u);  // N 300 and 70, T 1 and 3
  for (const KernelCase& c : cases) {
    const BatchInput in = input_of(c);
    tbb::task_arena a1(1), a4(4);
    expect_same(calc_gsea_stat_cumulative_batch_f64_parallel(in, c.threads, &a1), c.want,
                "arena 1, " + c.what());
    expect_same(calc_gsea_stat_cumulative_batch_f64_parallel(in, c.threads, &a4), c.want,
                "arena 4, " + c.what());
  }
}

// The single-pathway path on the sets R's sample.int draws from the
// L'Ecuyer-CMRG stream (tools/gen_single_path_fixtures.R), scored and counted
// by the generator; the observed score is the first set's, so ties occur, and
// the list ends in zero weights. The path adds into the running values it is
// given, one permutation at a time.
TEST(BatchCounting, SinglePathwayPathFollowsRsSampleInt) {
  const std::vector<KernelCase> cases = read_kernel_cases("single");
  ASSERT_EQ(cases.size(), 15u);  // five streams, three score types
  for (const KernelCase& c : cases) {
    ASSERT_EQ(c.want.size(), 2u) << c.what();
    PathwayAcc got = acc_at(c.want, 0);
    const PathwayAcc want = acc_at(c.want, 1);
    single_pathway_counts(c.nperm, c.seed, c.ranks, c.n, c.score_type, c.sizes[0], c.es[0], got);
    EXPECT_EQ(got.le_es, want.le_es) << c.what() << " seed " << c.seed;
    EXPECT_EQ(got.ge_es, want.ge_es) << c.what() << " seed " << c.seed;
    EXPECT_EQ(got.le_zero, want.le_zero) << c.what() << " seed " << c.seed;
    EXPECT_EQ(got.ge_zero, want.ge_zero) << c.what() << " seed " << c.seed;
    EXPECT_EQ(got.le_zero_sum, want.le_zero_sum) << c.what() << " seed " << c.seed;
    EXPECT_EQ(got.ge_zero_sum, want.ge_zero_sum) << c.what() << " seed " << c.seed;
  }
  PathwayAcc acc;
  std::vector<double> ranks(5, 1.0);
  EXPECT_THROW(single_pathway_counts(1, 1, ranks, 5, ScoreType::kStd, 6, 0.0, acc), InternalError);
  EXPECT_THROW(single_pathway_counts(1, 1, ranks, 5, ScoreType::kStd, 0, 0.0, acc), InternalError);
}


// Size groups of every member count from 1 to 20 (both ways of counting a
// group, and every length of the searches among sorted members), with
// observed scores tying with several permutations' scores, repeated within a
// group, 0 and NaN: the kernel's counts and sums equal those of scoring each
// permutation's sample on its own and counting every pathway by the rule.
// Small groups compare four scores at a time: 303 permutations leave three
// for the single steps. Type neg brings -0.0 scores into both zero sides.
TEST(BatchCounting, SizeGroupsCountLikeEachPathwayAlone) {
  const uint64_t n = 200, kmax = 30, seed = 77;
  const std::vector<double> ranks = test_ranks(n);
  for (const uint64_t nperm : {uint64_t{300}, uint64_t{303}}) {
    for (ScoreType st : {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg}) {
      std::vector<std::vector<double>> perm_scores;
      auto mt = rng_compat::Mt19937::seed(static_cast<uint32_t>(seed));
      std::vector<uint64_t> sample;
      for (uint64_t p = 0; p < nperm; ++p) {
        rng_compat::combination(1, n, kmax, mt, sample);
        perm_scores.push_back(calc_gsea_stat_cumulative_f64(ranks, sample, st, 1.0));
      }
      std::vector<uint64_t> sizes;
      std::vector<double> es;
      for (uint64_t members = 1; members <= 20; ++members) {
        const uint64_t k = kmax - 20 + members;  // the largest is kmax
        for (uint64_t r = 0; r < members; ++r) {
          double e = perm_scores[(r * 7) % 5][k - 1];
          if (r % 6 == 5) e = es.back();
          if (r % 7 == 3) e = 0.0;
          if (r % 9 == 4) e = kNaN;
          if (r % 8 == 6) e = -0.25 + 0.05 * static_cast<double>(r);
          sizes.push_back(k);
          es.push_back(e);
        }
      }
      BatchCounts want = empty_batch_counts(sizes.size());
      for (const std::vector<double>& scores : perm_scores) {
        for (size_t j = 0; j < sizes.size(); ++j) {
          count_score(want.le_es[j], want.ge_es[j], want.le_zero[j], want.ge_zero[j],
                      want.le_zero_sum[j], want.ge_zero_sum[j], scores[sizes[j] - 1], es[j]);
        }
      }
      const BatchInput in{nperm, seed, ranks, n, st, sizes, es};
      expect_same(calc_gsea_stat_cumulative_batch_f64_sequential(in), want, "sequential");
      tbb::task_arena arena(3);
      expect_same(calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(in, &arena), want,
                  "3 threads");
    }
  }
}

}  // namespace
}  // namespace tarvelo::ruvex_compat
