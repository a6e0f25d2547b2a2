// Permutation counting kernels.
//
// Every kernel draws, per permutation, one random sample of the largest kept
// pathway size (kmax) and reads each pathway's score from the prefix scores of
// that sample. The counts are integers; the two sums are added one permutation
// at a time in permutation order, which is what makes the thread-count
// independent kernel bit-identical to the sequential one.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include "tarvelo/engine/algo.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/base/search.hpp"
#include "tarvelo/engine/rng_compat.hpp"
#include "tarvelo/engine/ruvex_compat.hpp"
#include "tarvelo/engine/ruvex_kernels.hpp"

namespace tarvelo::ruvex_compat {
namespace {

using rng_compat::Mt19937;

constexpr uint64_t kBlockPermutations = 4096;
// Samples per draw batch of the thread-count independent kernel.
constexpr uint64_t kDrawBatch = 512;
// Samples drawn ahead of the parallel scoring step are capped at this many
// u32 entries (64 MiB), whatever kmax is.
constexpr uint64_t kMaxDrawnEntries = uint64_t{1} << 24;
// Kept block scores are capped at this many doubles (64 MiB): with thousands
// of distinct pathway sizes the block is counted in shorter runs. Counting
// walks the permutations in order either way, so the results are the same.
constexpr uint64_t kMaxBlockScores = uint64_t{1} << 23;

inline void count_into(BatchCounts& c, size_t j, double e, double es) {
  count_score(c.le_es[j], c.ge_es[j], c.le_zero[j], c.ge_zero[j], c.le_zero_sum[j],
              c.ge_zero_sum[j], e, es);
}

// Checks the shared inputs and returns kmax (0 when there is nothing to count).
uint64_t check_input(const BatchInput& in) {
  if (in.sizes.size() != in.es.size()) {
    internal_fault("batch kernel: " + std::to_string(in.sizes.size()) + " sizes but " +
                   std::to_string(in.es.size()) + " scores");
  }
  if (in.ranks.size() != in.n) internal_fault("batch kernel: N differs from the ranks' length");
  uint64_t kmax = 0;
  for (uint64_t k : in.sizes) kmax = std::max(kmax, k);
  if (in.sizes.empty() || in.nperm == 0 || kmax == 0) return 0;
  for (uint64_t k : in.sizes) {
    if (k == 0) internal_fault("batch kernel: pathway size 0");
  }
  if (kmax > in.n) {
    internal_fault("batch kernel: pathway size " + std::to_string(kmax) + " above N = " +
                   std::to_string(in.n));
  }
  if (in.n > 0xFFFFFFFFull) internal_fault("batch kernel: more than 2^32 - 1 ranked genes");
  return kmax;
}

// Runs f on `arena`, or on the caller's current arena (the process-wide pool
// from outside any) when none is given.
template <class F>
void run_on(tbb::task_arena* arena, F&& f) {
  pool::execute_in(arena != nullptr ? *arena : pool::current_arena(), f);
}

// Kept pathways of one size.
struct SizeGroup {
  std::vector<size_t> indices;  // ascending
  uint64_t size_index = 0;      // size - 1
};

std::vector<SizeGroup> group_by_size(std::span<const uint64_t> sizes) {
  std::map<uint64_t, std::vector<size_t>> by_size;
  for (size_t j = 0; j < sizes.size(); ++j) by_size[sizes[j]].push_back(j);
  std::vector<SizeGroup> groups;
  groups.reserve(by_size.size());
  for (auto& [size, idx] : by_size) groups.push_back(SizeGroup{std::move(idx), size - 1});
  return groups;
}

// Counting state of one size group. The zero-side counters and sums see the
// same scores for every member, so they are kept once per group; only the
// comparisons with each member's observed score differ.
struct GroupAcc {
  uint64_t le_zero = 0;
  uint64_t ge_zero = 0;
  double le_zero_sum = 0.0;
  double ge_zero_sum = 0.0;
  std::vector<uint64_t> le_es;  // per member
  std::vector<uint64_t> ge_es;
};

// Members from which a group locates each score among its members' sorted
// observed scores instead of comparing every score with every member.
constexpr size_t kSortMembers = 8;

// Scratch of count_group_block, one per thread.
struct CountScratch {
  std::vector<double> xs;       // the members' observed scores, ascending, NaN left out
  std::vector<size_t> members;  // the member of each entry of xs
  std::vector<uint64_t> below;  // per boundary: scores with lower_bound there
  std::vector<uint64_t> above;  // per boundary: scores with upper_bound there
};

// take ? e : +0.0, through a bit mask: written as a select, one of the two
// sides of count_group_block's zero-side sums was compiled to a branch, which
// the scores' random signs mispredict half the time.
inline double e_or_zero(double e, bool take) {
  uint64_t bits;
  std::memcpy(&bits, &e, sizeof bits);
  bits &= uint64_t{0} - static_cast<uint64_t>(take);
  double r;
  std::memcpy(&r, &bits, sizeof r);
  return r;
}

void count_group_block(const SizeGroup& g, std::span<const double> es, std::span<const double> col,
                       GroupAcc& acc, CountScratch& scratch) {
  // Scores fall on either side of 0 at random: selects instead of branches.
  // Adding +0.0 for a score that does not count leaves a sum unchanged (a
  // sum that starts at +0.0 never becomes -0.0), so the sums are those of the
  // counted scores added in order.
  {
    uint64_t le_zero = acc.le_zero, ge_zero = acc.ge_zero;
    double le_sum = acc.le_zero_sum, ge_sum = acc.ge_zero_sum;
    for (double e : col) {
      const bool le = e <= 0.0, ge = e >= 0.0;
      le_zero += le;
      ge_zero += ge;
      le_sum += e_or_zero(e, le);
      ge_sum += e_or_zero(e, ge);
    }
    acc.le_zero = le_zero;
    acc.ge_zero = ge_zero;
    acc.le_zero_sum = le_sum;
    acc.ge_zero_sum = ge_sum;
  }
  const size_t m = g.indices.size();
  if (m < kSortMembers) {
    // Four scores per step as vector comparisons, whose true lanes read -1.
    typedef double D4 __attribute__((vector_size(32)));
    typedef long long M4 __attribute__((vector_size(32)));
    const size_t len = col.size();
    for (size_t r = 0; r < m; ++r) {
      const double x = es[g.indices[r]];
      const D4 xv = {x, x, x, x};
      M4 le4 = {0, 0, 0, 0}, ge4 = {0, 0, 0, 0};
      size_t i = 0;
      for (; i + 4 <= len; i += 4) {
        D4 e;
        std::memcpy(&e, col.data() + i, sizeof e);
        le4 -= e <= xv;
        ge4 -= e >= xv;
      }
      uint64_t le = 0, ge = 0;
      for (int l = 0; l < 4; ++l) {
        le += static_cast<uint64_t>(le4[l]);
        ge += static_cast<uint64_t>(ge4[l]);
      }
      for (; i < len; ++i) {
        le += col[i] <= x;
        ge += col[i] >= x;
      }
      acc.le_es[r] += le;
      acc.ge_es[r] += ge;
    }
    return;
  }
  // A score e counts as e <= x for the members from lower_bound(xs, e) on and
  // as e >= x for those before upper_bound(xs, e): two searches among the few
  // members per score, and running sums over the boundaries, cost far less
  // than sorting the block's thousands of scores. NaN scores count nowhere,
  // members with a NaN score get nothing.
  auto& xs = scratch.xs;
  auto& members = scratch.members;
  members.clear();
  for (size_t r = 0; r < m; ++r) {
    if (es[g.indices[r]] == es[g.indices[r]]) members.push_back(r);
  }
  std::sort(members.begin(), members.end(),
            [&](size_t a, size_t b) { return es[g.indices[a]] < es[g.indices[b]]; });
  const size_t q = members.size();
  xs.resize(q);
  for (size_t i = 0; i < q; ++i) xs[i] = es[g.indices[members[i]]];
  scratch.below.assign(q + 1, 0);
  scratch.above.assign(q + 1, 0);
  const double* x = xs.data();
  for (double e : col) {
    if (e != e) continue;
    // upper_bound from lower_bound: the members equal to e lie right after
    // it, and a score rarely equals an observed one.
    const size_t lo = count_before(x, q, [e](double v) { return v < e; });
    size_t hi = lo;
    while (hi < q && x[hi] == e) ++hi;
    ++scratch.below[lo];
    ++scratch.above[hi];
  }
  uint64_t le = 0, ge = 0;
  for (size_t i = 0; i < q; ++i) {
    le += scratch.below[i];
    acc.le_es[members[i]] += le;
  }
  for (size_t i = q; i-- > 0;) {
    ge += scratch.above[i + 1];
    acc.ge_es[members[i]] += ge;
  }
}

std::vector<GroupAcc> empty_group_accs(const std::vector<SizeGroup>& groups) {
  std::vector<GroupAcc> accs(groups.size());
  for (size_t g = 0; g < groups.size(); ++g) {
    accs[g].le_es.assign(groups[g].indices.size(), 0);
    accs[g].ge_es.assign(groups[g].indices.size(), 0);
  }
  return accs;
}

// Permutations whose scores are kept per size group before they are counted.
uint64_t block_permutations(uint64_t nperm, size_t ngroups) {
  return std::min({kBlockPermutations, nperm,
                   std::max<uint64_t>(kMaxBlockScores / std::max<size_t>(ngroups, 1), 64)});
}

// Every member of a group receives the group's zero-side counters and sums.
BatchCounts spread_group_counts(const std::vector<SizeGroup>& groups,
                                const std::vector<GroupAcc>& accs, size_t m) {
  BatchCounts counts = empty_batch_counts(m);
  for (size_t g = 0; g < groups.size(); ++g) {
    const auto& idx = groups[g].indices;
    for (size_t r = 0; r < idx.size(); ++r) {
      const size_t j = idx[r];
      counts.le_es[j] = accs[g].le_es[r];
      counts.ge_es[j] = accs[g].ge_es[r];
      counts.le_zero[j] = accs[g].le_zero;
      counts.ge_zero[j] = accs[g].ge_zero;
      counts.le_zero_sum[j] = accs[g].le_zero_sum;
      counts.ge_zero_sum[j] = accs[g].ge_zero_sum;
    }
  }
  return counts;
}

// Per-thread buffers of the scoring step.
struct ScoreScratch {
  PrefixScorer scorer;
  std::vector<uint64_t> sample;
  std::vector<double> scores;
};

}  // namespace

void single_pathway_counts(uint64_t nperm, uint64_t seed, std::span<const double> ranks,
                           uint64_t n, ScoreType score_type, uint64_t size, double es,
                           PathwayAcc& acc) {
  if (nperm == 0) return;
  if (ranks.size() != n) internal_fault("single pathway: N differs from the ranks' length");
  if (size == 0 || size > n) {
    internal_fault("single pathway: pathway size " + std::to_string(size) + " outside 1.." +
                   std::to_string(n));
  }
  auto rng = rng_compat::RLecuyerCmrgSeedCompat::set_seed(static_cast<uint32_t>(seed));
  rng_compat::SampleIntScratch scratch;
  std::vector<uint64_t> hits;
  hits.reserve(size);
  for (uint64_t p = 0; p < nperm; ++p) {
    interrupt::checkpoint();
    rng.sample_int_no_replace_with_kind(n, size, scratch, hits);
    for (uint64_t& h : hits) --h;
    std::sort(hits.begin(), hits.end());
    const double e = algo::calculate_es_ruvex(ranks, hits, n, score_type).first;
    count_score(acc, e, es);
  }
}

// Counting per size group (see count_group_block) costs far less than
// comparing every pathway with every score, and gives the same counts and, the
// zero-side sums being added in permutation order, the same sums.
BatchCounts calc_gsea_stat_cumulative_batch_f64_sequential(const BatchInput& in) {
  const uint64_t kmax = check_input(in);
  if (kmax == 0) return empty_batch_counts(in.sizes.size());
  const std::vector<SizeGroup> groups = group_by_size(in.sizes);
  std::vector<GroupAcc> accs = empty_group_accs(groups);
  const size_t ng = groups.size();
  const uint64_t block = block_permutations(in.nperm, ng);
  std::vector<double> cols(static_cast<size_t>(block) * ng);
  CountScratch sorted;
  Mt19937 mt = Mt19937::seed(static_cast<uint32_t>(in.seed));
  std::vector<uint64_t> sample;
  std::vector<double> scores(kmax);
  PrefixScorer scorer;
  for (uint64_t start = 0; start < in.nperm; start += block) {
    const uint64_t len = std::min(block, in.nperm - start);
    for (uint64_t p = 0; p < len; ++p) {
      interrupt::checkpoint();
      rng_compat::combination(1, in.n, kmax, mt, sample);
      scorer.cumulative(in.ranks, sample, in.score_type, 1.0, scores);
      for (size_t g = 0; g < ng; ++g) cols[g * block + p] = scores[groups[g].size_index];
    }
    for (size_t g = 0; g < ng; ++g) {
      std::span<const double> col(cols.data() + g * block, static_cast<size_t>(len));
      count_group_block(groups[g], in.es, col, accs[g], sorted);
    }
  }
  return spread_group_counts(groups, accs, in.sizes.size());
}

BatchCounts calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(
    const BatchInput& in, tbb::task_arena* arena) {
  const uint64_t kmax = check_input(in);
  if (kmax == 0) return empty_batch_counts(in.sizes.size());

  const std::vector<SizeGroup> groups = group_by_size(in.sizes);
  const size_t ng = groups.size();
  std::vector<GroupAcc> accs = empty_group_accs(groups);

  // Block scores, one column per size group: only the sizes some pathway
  // needs are kept.
  const uint64_t block = block_permutations(in.nperm, ng);
  std::vector<double> cols(static_cast<size_t>(block) * ng);
  // Samples are drawn on this thread in permutation order, a batch at a
  // time, and scored in parallel while the next batch is drawn.
  const uint64_t draw_batch = std::clamp<uint64_t>(
      std::min<uint64_t>(kMaxDrawnEntries / 2 / kmax, kDrawBatch), uint64_t{1}, block);
  std::vector<uint32_t> drawn[2] = {std::vector<uint32_t>(draw_batch * kmax),
                                    std::vector<uint32_t>(draw_batch * kmax)};
  std::vector<uint64_t> sample;
  tbb::enumerable_thread_specific<ScoreScratch> score_scratch;
  tbb::enumerable_thread_specific<CountScratch> sort_scratch;
  Mt19937 mt = Mt19937::seed(static_cast<uint32_t>(in.seed));

  // Draw batch: rows [d0, d0 + dn) of the block starting at permutation start.
  struct DrawBatch {
    uint64_t start, d0, dn;
  };
  auto block_len = [&](uint64_t start) { return std::min(block, in.nperm - start); };
  auto next_batch = [&](const DrawBatch& b, DrawBatch& out) {
    uint64_t start = b.start, d0 = b.d0 + b.dn;
    if (d0 >= block_len(start)) {
      start += block;
      d0 = 0;
    }
    if (start >= in.nperm) return false;
    out = DrawBatch{start, d0, std::min(draw_batch, block_len(start) - d0)};
    return true;
  };
  auto draw = [&](std::vector<uint32_t>& buf, uint64_t dn) {
    for (uint64_t p = 0; p < dn; ++p) {
      rng_compat::combination(1, in.n, kmax, mt, sample);
      if (sample.size() != kmax) internal_fault("batch kernel: short random sample");
      std::copy(sample.begin(), sample.end(), buf.begin() + static_cast<ptrdiff_t>(p * kmax));
    }
  };
  auto score = [&](const std::vector<uint32_t>& buf, DrawBatch b) {
    tbb::parallel_for(uint64_t{0}, b.dn, [&](uint64_t p) {
      ScoreScratch& s = score_scratch.local();
      s.scores.resize(kmax);
      s.sample.assign(buf.begin() + static_cast<ptrdiff_t>(p * kmax),
                      buf.begin() + static_cast<ptrdiff_t>((p + 1) * kmax));
      s.scorer.cumulative(in.ranks, s.sample, in.score_type, 1.0, s.scores);
      const uint64_t row = b.d0 + p;
      for (size_t g = 0; g < ng; ++g) cols[g * block + row] = s.scores[groups[g].size_index];
    });
  };

  run_on(arena, [&] {
    DrawBatch cur{0, 0, std::min(draw_batch, block_len(0))};
    draw(drawn[0], cur.dn);
    for (int which = 0;; which ^= 1) {
      interrupt::checkpoint();
      tbb::task_group tg;
      tg.run([&, cur, which] { score(drawn[which], cur); });
      DrawBatch nxt{};
      bool more = false;
      try {
        more = next_batch(cur, nxt);
        if (more) draw(drawn[which ^ 1], nxt.dn);
      } catch (...) {
        tg.wait();
        throw;
      }
      tg.wait();
      const uint64_t len = block_len(cur.start);
      if (cur.d0 + cur.dn == len) {
        // The block is complete: count it, group by group, in permutation order.
        tbb::parallel_for(size_t{0}, ng, [&](size_t g) {
          std::span<const double> col(cols.data() + g * block, static_cast<size_t>(len));
          count_group_block(groups[g], in.es, col, accs[g], sort_scratch.local());
        });
      }
      if (!more) break;
      cur = nxt;
    }
  });

  return spread_group_counts(groups, accs, in.sizes.size());
}

std::vector<ChunkSpan> chunk_plan(uint64_t nperm, size_t threads) {
  const uint64_t t = std::max<uint64_t>(threads, 1);
  const uint64_t chunks = std::min<uint64_t>(8 * t, nperm);
  std::vector<ChunkSpan> plan;
  if (chunks == 0) return plan;
  plan.reserve(chunks);
  const uint64_t base = nperm / chunks, rem = nperm % chunks;
  uint64_t start = 0;
  for (uint64_t i = 0; i < chunks; ++i) {
    const uint64_t count = base + (i < rem ? 1 : 0);
    plan.push_back(ChunkSpan{start, count});
    start += count;
  }
  return plan;
}

BatchCounts calc_gsea_stat_cumulative_batch_f64_parallel(const BatchInput& in, size_t threads,
                                                         tbb::task_arena* arena) {
  const uint64_t kmax = check_input(in);
  const size_t m = in.sizes.size();
  if (kmax == 0) return empty_batch_counts(m);
  const std::vector<ChunkSpan> plan = chunk_plan(in.nperm, threads);
  std::vector<BatchCounts> slots(plan.size());
  const uint32_t n32 = static_cast<uint32_t>(in.n);

  run_on(arena, [&] {
    tbb::parallel_for(size_t{0}, plan.size(), [&](size_t i) {
      const ChunkSpan chunk = plan[i];
      Mt19937 mt = Mt19937::seed(static_cast<uint32_t>(
          rng_compat::splitmix64((in.seed ^ (2 * static_cast<uint64_t>(i))) ^ chunk.start)));
      BatchCounts c = empty_batch_counts(m);
      PrefixScorer scorer;
      std::vector<double> scores(kmax);
      std::vector<uint64_t> sample(kmax);
      const bool shuffle = kmax > in.n / 2;
      std::vector<uint64_t> pool_values;
      std::vector<uint32_t> marks;
      uint32_t generation = 0;
      if (shuffle) {
        pool_values.resize(in.n);
      } else {
        marks.assign(in.n, 0);
      }
      for (uint64_t p = 0; p < chunk.count; ++p) {
        interrupt::checkpoint();
        if (shuffle) {
          for (uint64_t v = 0; v < in.n; ++v) pool_values[v] = v + 1;
          for (uint64_t pos = kmax; pos-- > 0;) {
            const uint64_t j = pos + mt.uniform_below(n32 - static_cast<uint32_t>(pos));
            std::swap(pool_values[pos], pool_values[j]);
          }
          std::copy(pool_values.begin(), pool_values.begin() + static_cast<ptrdiff_t>(kmax),
                    sample.begin());
        } else {
          if (generation == 0xFFFFFFFFu) {
            std::fill(marks.begin(), marks.end(), 0u);
            generation = 1;
          } else {
            ++generation;
          }
          for (uint64_t got = 0; got < kmax;) {
            const uint32_t x = mt.uniform_below(n32);
            if (marks[x] != generation) {
              marks[x] = generation;
              sample[got++] = uint64_t{x} + 1;
            }
          }
        }
        scorer.cumulative(in.ranks, sample, in.score_type, 1.0, scores);
        for (size_t j = 0; j < m; ++j) count_into(c, j, scores[in.sizes[j] - 1], in.es[j]);
      }
      slots[i] = std::move(c);
    });
  });

  BatchCounts total = empty_batch_counts(m);
  for (BatchCounts& c : slots) total = merge_batch_counts(std::move(total), std::move(c));
  return total;
}

}  // namespace tarvelo::ruvex_compat
