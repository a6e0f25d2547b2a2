// Mode "blitz": set emulation, signature and cleaning, numpy's legacy random
// stream, anchor sizes, the float32 calibration walk, pathway scoring, BH and
// the driver. Fixtures: tools/gen_blitz_fixtures.py (CPython 3.11 hash(),
// numpy RandomState, statsmodels multipletests, and a Python model of the set
// tables and of the scoring walk).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture_util.hpp"
#include "tarvelo/blitz/blitz.hpp"
#include "tarvelo/blitz/calibration.hpp"
#include "tarvelo/blitz/pyset_compat.hpp"
#include "tarvelo/blitz/scoring.hpp"
#include "tarvelo/blitz/signature.hpp"

namespace tarvelo::blitz {
namespace {

using Fields = fixture::Tokens;

std::vector<uint64_t> to_u64(const Fields& f, size_t from) {
  std::vector<uint64_t> out;
  for (size_t i = from; i < f.size(); ++i) {
    if (!f[i].empty()) out.push_back(std::stoull(f[i]));
  }
  return out;
}
std::vector<double> to_f64(const Fields& f, size_t from) {
  std::vector<double> out;
  for (size_t i = from; i < f.size(); ++i) out.push_back(std::strtod(f[i].c_str(), nullptr));
  return out;
}
Fields tail(const Fields& f, size_t from) { return Fields(f.begin() + from, f.end()); }
Fields tail_nonempty(const Fields& f, size_t from) {
  Fields out;
  for (size_t i = from; i < f.size(); ++i) {
    if (!f[i].empty()) out.push_back(f[i]);
  }
  return out;
}

using fixture::sanitizer_build;

// A ranked list whose order is the given one (strictly falling scores).
RankedList ranked_in_order(const std::vector<std::string>& genes) {
  std::vector<double> scores;
  for (size_t i = 0; i < genes.size(); ++i) scores.push_back(static_cast<double>(genes.size() - i));
  return RankedList(genes, scores);
}

// ---------------------------------------------------------------------------
// Hashing and set tables

TEST(BlitzSetCompat, StringHashMatchesCPythonAndOwnRule) {
  const auto rows = fixture::read_tsv("blitz_siphash.tsv");
  ASSERT_GT(rows.size(), 300u);
  for (const auto& r : rows) {
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(compat::python_string_hash(r[0]), std::stoull(r[1])) << "'" << r[0] << "'";
  }
  EXPECT_EQ(compat::python_string_hash("TP53"), 4601108277488948643ULL);
  EXPECT_EQ(compat::python_string_hash(""), 15130871412783076140ULL);
}

TEST(BlitzSetCompat, SetOrdersMatchTheTableModel) {
  const auto rows = fixture::read_tsv("blitz_sets.txt");
  size_t string_sets = 0, int_sets = 0;
  for (size_t i = 0; i + 2 < rows.size(); ++i) {
    if (rows[i][0] == "S") {
      compat::PythonStringSet s;
      for (size_t j = 1; j < rows[i].size(); ++j) s.insert(rows[i][j]);
      std::vector<std::string> got;
      for (auto v : s.names()) got.emplace_back(v);
      EXPECT_EQ(got, tail(rows[i + 1], 1));
      EXPECT_EQ(s.table_size(), std::stoull(rows[i + 2][1]));
      EXPECT_EQ(s.used(), got.size());
      ++string_sets;
    } else if (rows[i][0] == "I") {
      compat::PythonIntSet s;
      for (uint64_t v : to_u64(rows[i], 1)) s.insert(v);
      EXPECT_EQ(s.values(), to_u64(rows[i + 1], 1));
      EXPECT_EQ(s.table_size(), std::stoull(rows[i + 2][1]));
      ++int_sets;
    }
  }
  EXPECT_EQ(string_sets, 17u);
  EXPECT_EQ(int_sets, 3u);

  // Growth: four names keep 8 slots, a fifth grows the table to 32.
  compat::PythonStringSet s;
  for (const char* n : {"a", "b", "c", "d"}) s.insert(n);
  EXPECT_EQ(s.table_size(), 8u);
  EXPECT_FALSE(s.insert("c"));
  s.insert("e");
  EXPECT_EQ(s.table_size(), 32u);
  EXPECT_EQ(compat::python_set_resized_size(50001), 131072u);
  EXPECT_EQ(compat::python_set_resized_size(50000), 262144u);
}

TEST(BlitzSetCompat, NextProbeGroupStartsFromTheGroupsLastSlot) {
  // 32 slots; ten values with hash 0..9 fill the first group of hash 0, so a
  // value with hash 32 (slot 0) continues at ((0 + 9) * 5 + 1 + (32 >> 5)) & 31.
  compat::PythonIntSet s;
  for (uint64_t v = 0; v < 10; ++v) s.insert(v);
  ASSERT_EQ(s.table_size(), 32u);
  s.insert(32);
  const uint64_t expected = ((0 + 9) * 5 + 1 + (32 >> 5)) & 31;  // 15
  ASSERT_TRUE(s.slots()[expected].full);
  EXPECT_EQ(s.slots()[expected].value, 32u);
  EXPECT_TRUE(s.contains(32));
  EXPECT_FALSE(s.contains(33));
}

// ---------------------------------------------------------------------------
// Signature and cleaning

TEST(BlitzSignature, DeduplicatesCentresAndTruncates) {
  // Repeated names keep their best-ranked occurrence; N counts distinct names.
  RankedList ranked({"a", "b", "a", "c", "b"}, {1.0, 5.0, 7.0, 3.0, 5.0});
  auto sig = prepare_signature(ranked, false);
  EXPECT_EQ(sig.genes, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(sig.weights, (std::vector<double>{7.0, 5.0, 3.0}));
  EXPECT_EQ(sig.gene_index.at("c"), 2u);

  auto centred = prepare_signature(RankedList({"x", "y", "z"}, {3.0, 2.0, 1.0}), true);
  EXPECT_EQ(centred.weights, (std::vector<double>{1.0, 0.0, 1.0}));
  auto negative = prepare_signature(RankedList({"x", "y"}, {-1.0, -3.0}), false);
  EXPECT_EQ(negative.weights, (std::vector<double>{1.0, 3.0}));
}

TEST(BlitzSignature, CleaningMatchesTheSetModel) {
  const auto rows = fixture::read_tsv("blitz_sets.txt");
  size_t g = 0;
  while (g < rows.size() && rows[g][0] != "G") ++g;
  ASSERT_LT(g + 1, rows.size());
  const Fields sig_genes = tail(rows[g], 1);
  const std::vector<double> weights = to_f64(rows[g + 1], 1);
  BlitzSignature sig = prepare_signature(ranked_in_order(sig_genes), false);
  ASSERT_EQ(sig.genes, sig_genes);
  sig.weights = weights;

  std::vector<Pathway> pathways;
  std::vector<size_t> first_row;
  for (size_t i = g + 2; i < rows.size(); i += 5) {
    ASSERT_EQ(rows[i][0], "P");
    Pathway p;
    p.name = "pw" + std::to_string(pathways.size());
    p.genes = tail_nonempty(rows[i], 1);
    pathways.push_back(p);
    first_row.push_back(i);
  }
  ASSERT_EQ(pathways.size(), 9u);
  const auto cleaned = clean_pathways(sig, pathways);
  ASSERT_EQ(cleaned.size(), pathways.size());
  BlitzScoreScratch scratch;
  for (size_t c = 0; c < cleaned.size(); ++c) {
    const size_t i = first_row[c];
    SCOPED_TRACE(pathways[c].genes.size());
    const auto& cp = cleaned[c];
    EXPECT_EQ(cp.name, pathways[c].name);
    EXPECT_EQ(cp.genes, tail_nonempty(rows[i + 1], 1));
    EXPECT_EQ(cp.positions, to_u64(rows[i + 2], 1));
    EXPECT_EQ(cp.position_set.values(), to_u64(rows[i + 3], 1));
    EXPECT_EQ(cp.position_set.scratch_capacity(), 0u);
    EXPECT_TRUE(std::is_sorted(cp.sorted_positions.begin(), cp.sorted_positions.end()));

    // Scoring walk and leading edge (the tail is checked elsewhere).
    BlitzModelParams params{1.0, 0.1, 0.5, 1.0, 0.1};
    auto scored = score_cleaned_pathway(sig, cp, params, 50, scratch);
    ASSERT_TRUE(scored.ok()) << scored.error().message();
    EXPECT_EQ(scored->result.es, std::strtod(rows[i + 4][1].c_str(), nullptr));
    EXPECT_EQ(scored->result.leading_edge, tail_nonempty(rows[i + 4], 2));
    EXPECT_EQ(scored->result.size, cp.size());
  }
  // A pathway of unranked genes is kept with size 0 and an empty 8-slot set.
  EXPECT_EQ(cleaned[0].size(), 0u);
  EXPECT_EQ(cleaned[0].position_set.table_size(), 8u);
}

// ---------------------------------------------------------------------------
// numpy's legacy generator

TEST(BlitzNumpyMt, StreamsMatchRandomState) {
  const auto rows = fixture::read_tsv("blitz_mt.txt");
  size_t checked = 0;
  std::vector<uint32_t> perm;
  std::optional<compat::NumpyMt19937> perm_rng;
  for (const auto& r : rows) {
    const uint32_t seed = static_cast<uint32_t>(std::stoull(r[1]));
    if (r[0] == "U") {
      compat::NumpyMt19937 rng(seed);
      for (uint64_t v : to_u64(r, 2)) ASSERT_EQ(rng.next_u32(), v);
      perm_rng.emplace(seed);
    } else if (r[0] == "D") {
      compat::NumpyMt19937 rng(seed);
      for (double v : to_f64(r, 2)) ASSERT_EQ(rng.next_double(), v);
    } else if (r[0] == "N") {
      compat::NumpyMt19937 rng(seed);
      const auto expected = to_f64(r, 2);
      std::vector<double> got;
      while (got.size() < expected.size()) {
        auto [a, b] = rng.gauss_pair();
        got.push_back(a);
        got.push_back(b);
      }
      got.resize(expected.size());  // numpy keeps the unused second deviate
      EXPECT_EQ(got, expected);
    } else if (r[0] == "P") {
      const size_t n = std::stoull(r[2]);
      perm.resize(n);
      perm_rng->permutation(perm.data(), n);  // continues across the P rows
      const auto expected = to_u64(r, 3);
      for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(perm[i], expected[i]) << n << " " << i;
      if (n == 70000) perm_rng.emplace(seed);  // the C row starts afresh
    } else if (r[0] == "C") {
      // choice(20000, 5, replace=False) is the permutation's first five.
      const auto expected = to_u64(r, 2);
      perm.resize(20000);
      for (size_t row = 0; row < 3; ++row) {
        perm_rng->permutation(perm.data(), 20000);
        for (size_t j = 0; j < 5; ++j) ASSERT_EQ(perm[j], expected[row * 5 + j]);
      }
    }
    ++checked;
  }
  EXPECT_EQ(checked, 4u * 9u);
}

// ---------------------------------------------------------------------------
// Calibration

TEST(BlitzCalibration, AnchorSizes) {
  const auto a = anchor_sizes(500, 40, 20000);
  ASSERT_EQ(a.size(), 58u);
  const std::vector<uint64_t> head{1, 2, 3, 4, 5, 6, 7, 12, 13, 16, 20, 26, 30, 39, 40, 50, 52, 60, 64};
  EXPECT_EQ(std::vector<uint64_t>(a.begin(), a.begin() + 19), head);
  EXPECT_EQ(std::vector<uint64_t>(a.end() - 3, a.end()), (std::vector<uint64_t>{500, 510, 530}));

  const auto b = anchor_sizes(100, 40, 100);
  ASSERT_EQ(b.size(), 51u);
  EXPECT_EQ(std::vector<uint64_t>(b.end() - 3, b.end()), (std::vector<uint64_t>{92, 94, 97}));

  // A largest size of 0 counts as 1; the spaced sizes are then all 1.
  EXPECT_EQ(anchor_sizes(0, 40, 50), anchor_sizes(1, 1, 50));
  EXPECT_EQ(anchor_sizes(1, 5, 50).back(), 40u);
  EXPECT_EQ(anchor_sizes(1, 5, 500).back(), 100u);  // after 11 and 31
  EXPECT_TRUE(anchor_sizes(3, 40, 1).empty());
  // A huge anchor count lists 1..maxsize without materialising the request.
  const auto c = anchor_sizes(300, UINT64_MAX, 20000);
  ASSERT_EQ(c.size(), 302u);
  EXPECT_EQ(c[299], 300u);
  EXPECT_EQ(c.back(), 330u);
  EXPECT_EQ(anchor_sizes(300, 300, 20000), c);
}

TEST(BlitzCalibration, Float32ScoresMatchNumpy) {
  const auto rows = fixture::read_tsv("blitz_anchor_es.txt");
  std::vector<double> w;
  size_t n = 0;
  uint64_t perms = 0;
  std::optional<compat::NumpyMt19937> rng;
  std::vector<uint32_t> perm, hits;
  size_t sets = 0;
  for (const auto& r : rows) {
    if (r[0] == "W") {
      n = std::stoull(r[1]);
      rng.emplace(static_cast<uint32_t>(std::stoull(r[2])));
      perms = std::stoull(r[3]);
      w = to_f64(r, 4);
      ASSERT_EQ(w.size(), n);
      perm.resize(n);
      continue;
    }
    const size_t k = std::stoull(r[1]);
    const auto expected = to_f64(r, 2);
    ASSERT_EQ(expected.size(), perms);
    for (uint64_t d = 0; d < perms; ++d) {
      rng->permutation(perm.data(), n);
      double wsum = 0.0;
      for (size_t t = 0; t < k; ++t) wsum += w[perm[t]];
      hits.assign(perm.begin(), perm.begin() + k);
      std::sort(hits.begin(), hits.end());
      double fast = 0.0, naive = 0.0;
      if (wsum != 0.0) {
        fast = anchor_set_es(w.data(), n, hits.data(), k, wsum);
        naive = anchor_set_es_naive(w.data(), n, hits.data(), k, wsum);
      }
      ASSERT_EQ(naive, expected[d]) << "k=" << k << " draw " << d;
      ASSERT_EQ(fast, expected[d]) << "k=" << k << " draw " << d;
      ++sets;
    }
  }
  EXPECT_EQ(sets, 5u * 20 + 3u * 15 + 3u * 6);
}

// The batched miss runs against one subtraction at a time, over sizes where
// runs cross many binades, on both signs, and with weights that make ties.
TEST(BlitzCalibration, BatchedWalkEqualsNaiveWalk) {
  std::mt19937_64 gen(1234);
  const int rounds = sanitizer_build() ? 60 : 600;
  for (int round = 0; round < rounds; ++round) {
    const size_t n = std::vector<size_t>{2, 3, 17, 640, 5000, 20000, 33333}[round % 7];
    std::vector<double> w(n);
    std::normal_distribution<double> nd;
    for (auto& x : w) x = std::fabs(nd(gen)) * (round % 3 == 0 ? 1e-3 : 10.0);
    if (round % 5 == 0) for (size_t i = 0; i < n; i += 2) w[i] = 0.5;
    std::uniform_int_distribution<size_t> ks(1, std::max<size_t>(1, std::min<size_t>(n - 1, 700)));
    const size_t k = std::min(ks(gen), n - 1);
    std::vector<uint32_t> all(n);
    for (size_t i = 0; i < n; ++i) all[i] = static_cast<uint32_t>(i);
    std::shuffle(all.begin(), all.end(), gen);
    // Sets clustered at the top, the bottom or spread out.
    std::vector<uint32_t> hits(all.begin(), all.begin() + k);
    if (round % 4 == 1) for (size_t i = 0; i < k; ++i) hits[i] = static_cast<uint32_t>(i);
    if (round % 4 == 2) for (size_t i = 0; i < k; ++i) hits[i] = static_cast<uint32_t>(n - 1 - i);
    std::sort(hits.begin(), hits.end());
    double wsum = 0.0;
    for (uint32_t h : hits) wsum += w[h];
    if (wsum == 0.0) continue;
    const double a = anchor_set_es(w.data(), n, hits.data(), k, wsum);
    const double b = anchor_set_es_naive(w.data(), n, hits.data(), k, wsum);
    ASSERT_EQ(a, b) << "n=" << n << " k=" << k << " round " << round;
  }
}

// ---------------------------------------------------------------------------
// Scoring

BlitzSignature signature_of(std::vector<double> weights) {
  BlitzSignature sig;
  for (size_t i = 0; i < weights.size(); ++i) {
    sig.genes.push_back("g" + std::to_string(i));
    sig.gene_index.emplace(sig.genes.back(), i);
  }
  sig.weights = std::move(weights);
  return sig;
}

CleanedPathway pathway_of(const BlitzSignature& sig, const std::vector<std::string>& genes) {
  Pathway p{"p", genes, std::nullopt};
  return clean_pathways(sig, {p})[0];
}

TEST(BlitzScoring, HandCases) {
  BlitzScoreScratch scratch;
  const BlitzModelParams params{2.0, 0.1, 0.5, 2.0, 0.1};

  // A hit at position 0 that carries the peak: the leading edge stays empty.
  auto sig = signature_of({10, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  auto cp = pathway_of(sig, {"g0", "g9"});
  auto s = score_cleaned_pathway(sig, cp, params, 50, scratch);
  ASSERT_TRUE(s.ok());
  EXPECT_GT(s->result.es, 0.0);
  EXPECT_TRUE(s->result.leading_edge.empty());
  EXPECT_EQ(s->gamma_cdf_calls, 1u);

  // Zero weights: only the misses move the sum, so es is the final -1 and
  // the leading edge runs from the last position, which holds no hit.
  auto zero = signature_of({0, 0, 0, 0, 0, 0});
  cp = pathway_of(zero, {"g1", "g2"});
  s = score_cleaned_pathway(zero, cp, params, 50, scratch);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->result.es, -1.0);
  EXPECT_TRUE(s->result.leading_edge.empty());
  ASSERT_TRUE(s->result.nes.has_value());
  EXPECT_TRUE(*s->result.nes < 0.0 || std::signbit(*s->result.nes));

  // Seven hits take the unrolled grouping of the weight total: with these
  // weights the grouped and left-to-right sums differ in the last bit.
  std::vector<double> w7{0.1, 0.2, 0.3, 1e16, 1.0, -1e16 + 2, 3.3, 0.001};
  for (auto& x : w7) x = std::fabs(x);
  auto sig7 = signature_of(w7);
  cp = pathway_of(sig7, {"g0", "g1", "g2", "g3", "g4", "g5", "g6"});
  ASSERT_EQ(cp.size(), 7u);
  s = score_cleaned_pathway(sig7, cp, params, 50, scratch);
  ASSERT_TRUE(s.ok());
  std::vector<double> h;
  for (uint64_t p : cp.positions) h.push_back(w7[p]);
  const double grouped = (h[0] + (h[1] + h[2])) + ((h[3] + h[4]) + (h[5] + h[6]));
  // All seven hits come first; the peak is the last hit, at scale 1/grouped.
  double r = 0.0;
  for (uint64_t p = 0; p < 7; ++p) r = r + (1.0 / grouped) * w7[p];
  EXPECT_EQ(s->result.es, r);
}

// ---------------------------------------------------------------------------
// BH and the driver

TEST(BlitzDriver, StatsmodelsBh) {
  const auto rows = fixture::read_tsv("blitz_bh.txt");
  size_t cases = 0;
  for (size_t i = 0; i + 1 < rows.size(); i += 2) {
    const auto p = to_f64(rows[i], 1), q = to_f64(rows[i + 1], 1);
    std::vector<EnrichmentResult> res(p.size());
    for (size_t j = 0; j < p.size(); ++j) res[j].pval = p[j];
    apply_statsmodels_bh_adjustment(res);
    for (size_t j = 0; j < p.size(); ++j) {
      ASSERT_TRUE(res[j].padj.has_value());
      EXPECT_EQ(*res[j].padj, q[j]) << "case " << cases << " index " << j;
    }
    ++cases;
  }
  EXPECT_EQ(cases, 6u);
  // m counts finite p-values only; NaN keeps padj absent.
  std::vector<EnrichmentResult> res(3);
  res[0].pval = 0.01;
  res[1].pval = NAN;
  res[2].pval = 0.04;
  apply_statsmodels_bh_adjustment(res);
  EXPECT_EQ(*res[0].padj, 0.02);
  EXPECT_FALSE(res[1].padj.has_value());
  EXPECT_EQ(*res[2].padj, 0.04);
}

TEST(BlitzDriver, ScoringPiecesNeverShorterThanTheMinimum) {
  EXPECT_TRUE(scoring_pieces(0).empty());
  for (size_t len : {1, 7, 128, 255}) {
    const auto one = scoring_pieces(len);
    ASSERT_EQ(one.size(), 1u) << len;
    EXPECT_EQ(one[0], std::make_pair(size_t{0}, len));
  }
  // 12901 = 100 * 128 + 101: rounding the piece length up would leave a last
  // piece of 31 items.
  for (size_t len : {256, 300, 383, 12901, 25727, 100000}) {
    const auto pieces = scoring_pieces(len);
    ASSERT_EQ(pieces.size(), len / 128) << len;
    size_t next = 0;
    for (const auto& [begin, end] : pieces) {
      EXPECT_EQ(begin, next) << len;
      EXPECT_GE(end - begin, 128u) << len;
      next = end;
    }
    EXPECT_EQ(next, len);
  }
}

TEST(BlitzDriver, ValidationOrderAndEmptyInputs) {
  const RankedList ranked = ranked_in_order({"a", "b", "c"});
  BlitzOptions o;
  auto msg = [&](const RankedList& r, const BlitzOptions& opt) {
    auto res = ruvex_blitz_with_options(r, {}, opt);
    return res.ok() ? std::string("ok") : res.error().message();
  };
  EXPECT_EQ(msg(RankedList(), o), "blitz mode requires at least one ranked gene.");
  o.permutations = 0;
  o.processes = 0;
  EXPECT_EQ(msg(ranked, o), "blitz permutations must be greater than 0.");
  o.permutations = 1;
  EXPECT_EQ(msg(ranked, o), "blitz processes must be greater than 0.");
  o.anchors = 0;
  EXPECT_EQ(msg(ranked, o), "blitz anchors must be greater than 0.");
  o = BlitzOptions{};
  o.min_size = 0;
  EXPECT_EQ(msg(ranked, o), "blitz minSize must be greater than 0.");
  o = BlitzOptions{};
  o.max_size = 0;
  EXPECT_EQ(msg(ranked, o), "blitz maxSize must be greater than 0.");
  o = BlitzOptions{};
  auto empty = ruvex_blitz_with_options(ranked, {}, o);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());

  // One gene leaves no anchor size.
  Pathway p{"p", {"a"}, std::nullopt};
  auto one = ruvex_blitz_with_options(ranked_in_order({"a"}), {p}, o);
  ASSERT_FALSE(one.ok());
  EXPECT_EQ(one.error().message(), "blitz calibration produced no valid anchor set sizes.");
}

struct Synthetic {
  RankedList ranked;
  std::vector<Pathway> pathways;
};

Synthetic synthetic(size_t n_genes, size_t n_pathways, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> nd;
  std::vector<std::string> genes;
  std::vector<double> scores;
  for (size_t i = 0; i < n_genes; ++i) {
    genes.push_back("G" + std::to_string(i));
    scores.push_back(nd(gen));
  }
  Synthetic s{RankedList(genes, scores), {}};
  std::uniform_int_distribution<size_t> pick(0, n_genes - 1);
  for (size_t p = 0; p < n_pathways; ++p) {
    Pathway pw;
    pw.name = (p % 2 ? "path" : "Path") + std::to_string(p % 97);  // repeated names
    const size_t size = 3 + (p * 7) % 60;
    const size_t bias = p % 3;  // some pathways lean to the top of the ranking
    for (size_t i = 0; i < size; ++i) {
      size_t g = pick(gen);
      if (bias == 0) g = g % (n_genes / 4);
      pw.genes.push_back("G" + std::to_string(g));
    }
    s.pathways.push_back(pw);
  }
  return s;
}

TEST(BlitzDriver, DegenerateFitsNameTheCurveThatCannotBeSmoothed) {
  // One random set per anchor: every fit sees a single value, so its shape is
  // infinite and the first curve's robustness residuals are NaN.
  const Synthetic s = synthetic(200, 6, 3);
  BlitzOptions o;
  o.permutations = 1;
  o.anchors = 4;
  o.processes = 1;
  o.signature_cache = false;
  auto res = ruvex_blitz_with_options(s.ranked, s.pathways, o);
  ASSERT_FALSE(res.ok());
  EXPECT_EQ(res.error().message(), "lowess smoothing of the shape_pos fits met a NaN residual");
}

TEST(BlitzDriver, ResultsOrderedAdjustedAndThreadIndependent) {
  const Synthetic s = synthetic(600, 300, 5);
  BlitzOptions o;
  o.permutations = 300;
  o.anchors = 8;
  o.processes = 3;
  o.signature_cache = false;
  auto res = ruvex_blitz_with_options(s.ranked, s.pathways, o);
  ASSERT_TRUE(res.ok()) << res.error().message();
  ASSERT_FALSE(res->empty());
  for (size_t i = 1; i < res->size(); ++i) {
    const auto &a = (*res)[i - 1], &b = (*res)[i];
    ASSERT_TRUE(a.pval < b.pval || (a.pval == b.pval && a.pathway <= b.pathway));
  }
  for (const auto& r : *res) {
    EXPECT_GE(r.size, o.min_size);
    ASSERT_TRUE(r.padj.has_value());
    EXPECT_GE(*r.padj, r.pval);
    EXPECT_FALSE(r.log2err.has_value());
  }

  // The same model scored on the calling thread gives the same results.
  const BlitzSignature sig = prepare_signature(s.ranked, o.center);
  const auto cleaned = clean_pathways(sig, s.pathways);
  auto model = estimate_model(sig, cleaned, o);
  ASSERT_TRUE(model.ok());
  std::vector<EnrichmentResult> seq;
  BlitzScoreScratch scratch;
  for (const auto& c : cleaned) {
    if (c.size() < o.min_size || c.size() > o.max_size) continue;
    const double x = static_cast<double>(c.size());
    BlitzModelParams p{model->shape_pos.at(x), model->scale_pos.at(x),
                       std::fmin(std::fmax(model->frac_pos.at(x), 0.0), 1.0),
                       model->shape_neg.at(x), model->scale_neg.at(x)};
    auto one = score_cleaned_pathway(sig, c, p, o.deep_accuracy, scratch);
    ASSERT_TRUE(one.ok());
    seq.push_back(one->result);
  }
  apply_statsmodels_bh_adjustment(seq);
  std::stable_sort(seq.begin(), seq.end(), [](const auto& a, const auto& b) {
    return a.pval != b.pval ? a.pval < b.pval : a.pathway < b.pathway;
  });
  ASSERT_EQ(seq.size(), res->size());
  for (size_t i = 0; i < seq.size(); ++i) {
    EXPECT_EQ(seq[i].pathway, (*res)[i].pathway);
    EXPECT_EQ(seq[i].es, (*res)[i].es);
    EXPECT_EQ(seq[i].pval, (*res)[i].pval);
    EXPECT_EQ(seq[i].padj, (*res)[i].padj);
    EXPECT_EQ(seq[i].leading_edge, (*res)[i].leading_edge);
  }

  // The model depends on processes, but not on scheduling: repeat calls agree.
  auto again = ruvex_blitz_with_options(s.ranked, s.pathways, o);
  ASSERT_TRUE(again.ok());
  for (size_t i = 0; i < res->size(); ++i) EXPECT_EQ((*again)[i].pval, (*res)[i].pval);
}

TEST(BlitzDriver, ModelCacheAndTimingLines) {
  const Synthetic s = synthetic(300, 20, 9);
  BlitzOptions o;
  o.permutations = 100;
  o.anchors = 5;
  o.processes = 2;
  o.seed = 77;
  ASSERT_EQ(setenv("TARVELO_BLITZ_TIMINGS", "", 1), 0);
  auto run = [&](const BlitzOptions& opt, std::string* err) {
    testing::internal::CaptureStderr();
    auto r = ruvex_blitz_with_options(s.ranked, s.pathways, opt);
    *err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(r.ok());
    return r.ok() ? *r : std::vector<EnrichmentResult>{};
  };
  const size_t before = blitz_model_cache_entries();
  std::string e1, e2, e3, e4;
  const auto r1 = run(o, &e1);
  EXPECT_EQ(blitz_model_cache_entries(), before + 1);
  BlitzOptions same = o;
  same.min_size = 6;
  same.deep_accuracy = 40;
  same.accuracy = 3;
  run(same, &e2);
  EXPECT_EQ(blitz_model_cache_entries(), before + 1);
  BlitzOptions other = o;
  other.seed = o.seed | (uint64_t{1} << 40);  // high bits are part of the key
  run(other, &e3);
  EXPECT_EQ(blitz_model_cache_entries(), before + 2);
  BlitzOptions off = o;
  off.signature_cache = false;
  const auto r4 = run(off, &e4);
  EXPECT_EQ(blitz_model_cache_entries(), before + 2);
  unsetenv("TARVELO_BLITZ_TIMINGS");

  std::vector<std::string> names;
  std::istringstream lines(e1);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.rfind("TARVELO_BLITZ_TIMING\t", 0), 0u) << line;
    names.push_back(line.substr(21, line.find('\t', 21) - 21));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"prepare_signature", "clean_pathways",
                                             "estimate_model", "model_cache_hit",
                                             "model_param_cache", "final_es_leading_edge_gamma",
                                             "gamma_cdf_calls", "gamma_fallback_calls",
                                             "bh_and_sort"}));
  EXPECT_NE(e1.find("\tmodel_cache_hit\t0\n"), std::string::npos);
  EXPECT_NE(e2.find("\tmodel_cache_hit\t1\n"), std::string::npos);
  EXPECT_NE(e3.find("\tmodel_cache_hit\t0\n"), std::string::npos);
  EXPECT_NE(e4.find("\tmodel_cache_hit\t0\n"), std::string::npos);
  EXPECT_NE(e1.find("\tgamma_cdf_calls\t" + std::to_string(r1.size()) + "\n"), std::string::npos);
  ASSERT_EQ(r1.size(), r4.size());
  for (size_t i = 0; i < r1.size(); ++i) EXPECT_EQ(r1[i].pval, r4[i].pval);

  // Without the variable nothing is written.
  testing::internal::CaptureStderr();
  ASSERT_TRUE(ruvex_blitz_with_options(s.ranked, s.pathways, o).ok());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(BlitzDriver, ConcurrentCallsShareOneEntry) {
  const Synthetic s = synthetic(250, 10, 21);
  BlitzOptions o;
  o.permutations = 60;
  o.anchors = 4;
  o.processes = 1;
  o.seed = 0xC0FFEE;
  const size_t before = blitz_model_cache_entries();
  std::vector<std::vector<EnrichmentResult>> out(2);
  bool ok[2] = {false, false};
  auto call = [&](int i) {
    auto r = ruvex_blitz_with_options(s.ranked, s.pathways, o);
    ok[i] = r.ok();
    if (r.ok()) out[i] = *r;
  };
  std::thread a(call, 0);
  std::thread b(call, 1);
  a.join();
  b.join();
  ASSERT_TRUE(ok[0] && ok[1]);
  EXPECT_EQ(blitz_model_cache_entries(), before + 1);
  ASSERT_EQ(out[0].size(), out[1].size());
  for (size_t i = 0; i < out[0].size(); ++i) EXPECT_EQ(out[0][i].pval, out[1][i].pval);
}

TEST(BlitzDriver, BoundsLeaveNoResultsButCalibrate) {
  const Synthetic s = synthetic(200, 12, 3);
  BlitzOptions o;
  o.permutations = 50;
  o.anchors = 3;
  o.min_size = 100;
  o.max_size = 10;
  o.signature_cache = false;
  auto res = ruvex_blitz_with_options(s.ranked, s.pathways, o);
  ASSERT_TRUE(res.ok());
  EXPECT_TRUE(res->empty());
}

// A whole analysis against the reference computed from numpy float32 scalars,
// scipy, statsmodels and the set model (blitz_e2e.txt), for one and for three
// calibration workers.
TEST(BlitzDriver, WholeAnalysisMatchesReference) {
  const auto rows = fixture::read_tsv("blitz_e2e.txt");
  std::vector<std::string> genes;
  std::vector<double> scores;
  std::vector<Pathway> pathways;
  BlitzOptions o;
  o.signature_cache = false;
  std::map<std::pair<uint64_t, std::string>, std::vector<double>> model_rows;
  std::map<uint64_t, std::vector<Fields>> result_rows;
  for (const auto& r : rows) {
    if (r[0] == "R") {
      for (size_t i = 1; i < r.size(); ++i) {
        const auto colon = r[i].find(':');
        genes.push_back(r[i].substr(0, colon));
        scores.push_back(std::strtod(r[i].c_str() + colon + 1, nullptr));
      }
    } else if (r[0] == "P") {
      pathways.push_back(Pathway{r[1], tail(r, 2), std::nullopt});
    } else if (r[0] == "O") {
      o.permutations = std::stoull(r[1]);
      o.anchors = std::stoull(r[2]);
      o.seed = std::stoull(r[3]);
      o.min_size = std::stoull(r[4]);
      o.max_size = std::stoull(r[5]);
    } else if (r[0] == "M") {
      model_rows[{std::stoull(r[1]), r[2]}] = to_f64(r, 3);
    } else if (r[0] == "S") {
      result_rows[std::stoull(r[1])].push_back(r);
    }
  }
  const RankedList ranked(genes, scores);
  for (uint64_t processes : {1, 3}) {
    SCOPED_TRACE(processes);
    o.processes = processes;
    const BlitzSignature sig = prepare_signature(ranked, o.center);
    const auto cleaned = clean_pathways(sig, pathways);
    auto model = estimate_model(sig, cleaned, o);
    ASSERT_TRUE(model.ok()) << model.error().message();
    EXPECT_EQ(model->shape_pos.y(), (model_rows[{processes, "shape_pos"}]));
    EXPECT_EQ(model->scale_pos.y(), (model_rows[{processes, "scale_pos"}]));
    EXPECT_EQ(model->frac_pos.y(), (model_rows[{processes, "frac_pos"}]));
    EXPECT_EQ(model->shape_neg.y(), (model_rows[{processes, "shape_neg"}]));
    EXPECT_EQ(model->scale_neg.y(), (model_rows[{processes, "scale_neg"}]));

    auto res = ruvex_blitz_with_options(ranked, pathways, o);
    ASSERT_TRUE(res.ok()) << res.error().message();
    const auto& want = result_rows[processes];
    ASSERT_EQ(res->size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      const auto& got = (*res)[i];
      const auto& w = want[i];
      EXPECT_EQ(got.pathway, w[2]) << i;
      EXPECT_EQ(got.es, std::strtod(w[3].c_str(), nullptr)) << w[2];
      EXPECT_EQ(got.nes.value_or(NAN), std::strtod(w[4].c_str(), nullptr)) << w[2];
      EXPECT_EQ(got.pval, std::strtod(w[5].c_str(), nullptr)) << w[2];
      EXPECT_EQ(got.padj.value_or(NAN), std::strtod(w[6].c_str(), nullptr)) << w[2];
      Fields edge;
      std::stringstream ss(w[7]);
      for (std::string g; std::getline(ss, g, ',');) edge.push_back(g);
      EXPECT_EQ(got.leading_edge, edge) << w[2];
    }
  }
}

}  // namespace
}  // namespace tarvelo::blitz
