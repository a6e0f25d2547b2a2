// Decor presets, overrides, weight formulas, percentiles, the weighted
// enrichment score and the seed mixes. Reference values: CPython transcription
// in tools/gen_decor_engine_fixtures.py (tests/data/decor_engine_fixtures.txt).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "decor_engine_fixture.hpp"
#include "tarvelo/engine/algo.hpp"
#include "tarvelo/decor/engine.hpp"
#include "tarvelo/decor/es.hpp"
#include "tarvelo/decor/formula.hpp"
#include "tarvelo/decor/tail.hpp"
#include "tarvelo/decor/tuning.hpp"

namespace tarvelo::decor {
namespace {

using namespace decor_engine_test;
using decor::DecorFormulaContext;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string tune_error(std::optional<std::string_view> preset, std::optional<double> s) {
  DecorOptions o;
  auto st = apply_decor_release_tuning(o, preset, s);
  return st.ok() ? "" : st.error().message();
}

TEST(DecorTuning, PresetsAndStringencyBands) {
  struct Row { double alpha, threshold; DecorWeightFormula f; };
  const Row sensitive{22.0, 0.0, DecorWeightFormula::kRawRational};
  const Row balanced{60.0, 0.04, DecorWeightFormula::kThresholdRational};
  const Row specific{65.0, 0.05, DecorWeightFormula::kThresholdRational};
  const Row strict{std::bit_cast<double>(0x40026BB1BBB55515ULL), 0.0, DecorWeightFormula::kExpScaled};
  auto check = [](std::optional<std::string_view> p, std::optional<double> s, const Row& want) {
    DecorOptions o;
    o.gamma = 3.0;
    o.penalty_floor = 0.5;
    o.scale_epsilon = 0.25;
    ASSERT_TRUE(apply_decor_release_tuning(o, p, s).ok());
    EXPECT_EQ(std::bit_cast<uint64_t>(o.alpha), std::bit_cast<uint64_t>(want.alpha));
    EXPECT_EQ(o.threshold, want.threshold);
    EXPECT_EQ(o.weight_formula, want.f);
    EXPECT_EQ(o.gamma, 1.0);
    EXPECT_EQ(o.penalty_floor, 0.0);
    EXPECT_EQ(o.scale_epsilon, 0.25);  // untouched
  };
  check(std::nullopt, std::nullopt, balanced);
  check("BALANCED", std::nullopt, balanced);
  check("Sensitive", std::nullopt, sensitive);
  check("specific", std::nullopt, specific);
  check("sTrIcT", std::nullopt, strict);
  check(std::nullopt, -0.0, sensitive);
  check(std::nullopt, 34.999, sensitive);
  check(std::nullopt, 35.0, balanced);
  check(std::nullopt, 64.9, balanced);
  check(std::nullopt, 65.0, specific);
  check(std::nullopt, 85.0, strict);
  check(std::nullopt, 100.0, strict);
  EXPECT_EQ(std::bit_cast<uint64_t>(2.3025850929940455), 0x40026BB1BBB55515ULL);

  EXPECT_EQ(tune_error("strict", 90.0), "Use either decor_preset or decor_stringency, not both.");
  EXPECT_EQ(tune_error(std::nullopt, 100.5),
            "Invalid decor stringency '100.5'. Expected a finite value from 0 to 100.");
  EXPECT_EQ(tune_error(std::nullopt, kNaN),
            "Invalid decor stringency 'NaN'. Expected a finite value from 0 to 100.");
  EXPECT_EQ(tune_error(std::nullopt, -kInf),
            "Invalid decor stringency '-inf'. Expected a finite value from 0 to 100.");
  EXPECT_EQ(tune_error(" balanced", std::nullopt),
            "Invalid decor preset ' balanced'. Expected one of: sensitive, balanced, specific, strict.");
  EXPECT_EQ(tune_error("", std::nullopt),
            "Invalid decor preset ''. Expected one of: sensitive, balanced, specific, strict.");
  // Only A-Z are lower-cased: a non-ASCII capital stays as written.
  EXPECT_EQ(tune_error("STRİCT", std::nullopt),
            "Invalid decor preset 'strİct'. Expected one of: sensitive, balanced, specific, strict.");
  DecorOptions o;
  EXPECT_EQ(apply_decor_release_tuning(o, "x", std::nullopt).error().kind(), Error::Kind::kValue);
}

TEST(DecorTuning, OverridesInOrder) {
  DecorOptions o;
  ASSERT_TRUE(apply_decor_release_tuning(o, "specific", std::nullopt).ok());
  ASSERT_TRUE(apply_decor_formula_overrides(o, "EXP-SCALED", std::nullopt, std::nullopt,
                                            std::nullopt, std::nullopt, 1e-12).ok());
  EXPECT_EQ(o.weight_formula, DecorWeightFormula::kExpScaled);
  EXPECT_EQ(o.alpha, 65.0);
  EXPECT_EQ(o.threshold, 0.05);

  ASSERT_TRUE(apply_decor_formula_overrides(o, std::nullopt, -0.0, 0.5, 0.0, -0.0, 3.0).ok());
  EXPECT_TRUE(std::signbit(o.alpha));
  EXPECT_EQ(o.threshold, 0.5);
  EXPECT_EQ(o.scale_epsilon, 3.0);

  auto err = [](std::optional<std::string_view> f, std::optional<double> a, std::optional<double> t,
                std::optional<double> g, std::optional<double> fl, double e) {
    DecorOptions o;
    auto st = apply_decor_formula_overrides(o, f, a, t, g, fl, e);
    return st.ok() ? std::string() : st.error().message();
  };
  EXPECT_EQ(err("scaled-rational", -1.0, std::nullopt, std::nullopt, std::nullopt, 0.0),
            "Invalid decor weight formula 'scaled-rational'. Expected one of: raw-rational, "
            "exp-scaled, threshold-rational.");
  EXPECT_EQ(err(" Raw-Rational", std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1.0),
            "Invalid decor weight formula ' raw-rational'. Expected one of: raw-rational, "
            "exp-scaled, threshold-rational.");
  EXPECT_EQ(err("raw-rational", -1e-300, 2.0, std::nullopt, std::nullopt, 0.0),
            "decor_alpha must be a finite numeric value >= 0.");
  EXPECT_EQ(err(std::nullopt, kInf, std::nullopt, std::nullopt, std::nullopt, 1.0),
            "decor_alpha must be a finite numeric value >= 0.");
  EXPECT_EQ(err(std::nullopt, 1.0, 1.0, -1.0, std::nullopt, 0.0),
            "decor_threshold must be a finite numeric value >= 0 and < 1.");
  EXPECT_EQ(err(std::nullopt, std::nullopt, 0.5, kNaN, 1.0, 0.0),
            "decor_gamma must be a finite numeric value >= 0.");
  EXPECT_EQ(err(std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1.0, 0.0),
            "decor_penalty_floor must be a finite numeric value >= 0 and < 1.");
  EXPECT_EQ(err(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0.0),
            "decor_scale_epsilon must be a finite numeric value > 0.");
  EXPECT_EQ(err(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, -0.0),
            "decor_scale_epsilon must be a finite numeric value > 0.");
  EXPECT_EQ(err(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, kInf),
            "decor_scale_epsilon must be a finite numeric value > 0.");

  // A rejected value leaves the earlier writes in place.
  DecorOptions p;
  EXPECT_FALSE(apply_decor_formula_overrides(p, "raw-rational", 5.0, 2.0, std::nullopt,
                                             std::nullopt, 1.0).ok());
  EXPECT_EQ(p.weight_formula, DecorWeightFormula::kRawRational);
  EXPECT_EQ(p.alpha, 5.0);
  EXPECT_EQ(p.threshold, 0.04);
}

DecorWeightFormula formula_named(const std::string& name) {
  if (auto f = find_choice(name, kDecorWeightFormulas)) return *f;
  ADD_FAILURE() << name;
  return DecorWeightFormula::kRawRational;
}

TEST(DecorFormula, PenaltiesMatchReference) {
  size_t checked = 0;
  for (const auto& t : read_records("decor_engine_fixtures.txt")) {
    if (t[0] != "penalty") continue;
    DecorOptions o;
    o.weight_formula = formula_named(t[1]);
    o.alpha = hexf(t[2]);
    o.gamma = hexf(t[3]);
    o.threshold = hexf(t[4]);
    o.penalty_floor = hexf(t[5]);
    o.scale_epsilon = hexf(t[6]);
    const auto ctx = DecorFormulaContext::create(o, hex_list(t[7]));
    const double r = hexf(t[8]);
    auto p = ctx.penalty(r);
    if (t[9] == "ERR") {
      EXPECT_FALSE(p.ok()) << t[1] << " r=" << t[8] << " scores=" << t[7];
    } else {
      ASSERT_TRUE(p.ok()) << t[1] << " r=" << t[8] << ": " << p.error().message();
      EXPECT_TRUE(same(*p, hexf(t[9]))) << t[1] << " r=" << t[8] << " e=" << t[6] << " got " << *p;
    }
    ++checked;
  }
  EXPECT_EQ(checked, 2880u);
}

TEST(DecorFormula, PenaltyMessagesAndEdges) {
  DecorOptions o;
  o.alpha = 1.0;
  o.weight_formula = DecorWeightFormula::kRawRational;
  auto ctx = DecorFormulaContext::create(o, {});
  EXPECT_EQ(ctx.penalty(kNaN).error().message(), "decor redundancy score must be finite");
  EXPECT_EQ(ctx.penalty(-2.0).error().message(),
            "selected formula raw-rational produced an invalid penalty from redundancy -2");
  for (auto f : {DecorWeightFormula::kScaledRational, DecorWeightFormula::kQ75ScaledRational,
                 DecorWeightFormula::kExpScaled, DecorWeightFormula::kQuantileRational,
                 DecorWeightFormula::kFloorScaledRational}) {
    o.weight_formula = f;
    EXPECT_EQ(DecorFormulaContext::create(o, {}).penalty(0.5).error().message(),
              "selected formula " + std::string(decor_weight_formula_name(f)) +
                  " requires finite redundancy scores in the decor cache");
  }
  // One finite value: every gene sits at quantile 1.
  o.weight_formula = DecorWeightFormula::kQuantileRational;
  o.alpha = 3.0;
  EXPECT_EQ(*DecorFormulaContext::create(o, {0.7}).penalty(0.0), 0.25);
  // gamma 0 retains everything, redundancy 1 included (0^0 = 1).
  o.weight_formula = DecorWeightFormula::kPowerRetention;
  o.gamma = 0.0;
  EXPECT_EQ(*DecorFormulaContext::create(o, {}).penalty(1.0), 1.0);
  // odds-rational with scale_epsilon above 1: both clamp bounds applied as
  // written give c = 1 - e; a negative penalty is then reported, never UB.
  o.weight_formula = DecorWeightFormula::kOddsRational;
  o.alpha = 10.0;
  o.scale_epsilon = 2.0;
  EXPECT_EQ(DecorFormulaContext::create(o, {}).penalty(0.5).error().message(),
            "selected formula odds-rational produced an invalid penalty from redundancy 0.5");
  o.alpha = 1.0;
  EXPECT_EQ(*DecorFormulaContext::create(o, {}).penalty(0.5), 1.0 / (-0.25 + 1.0));

  // The context from a cache: NaN and infinities are left out, -0 sorts first.
  DecorCache cache;
  cache.pathways["b"] = {{"x", "y", "z", "w"},
                        {0.5f, std::numeric_limits<float>::quiet_NaN(), 0.0f, -0.0f}};
  cache.pathways["a"] = {{"x", "y"}, {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}};
  o = DecorOptions{};
  o.weight_formula = DecorWeightFormula::kExpScaled;
  auto c = DecorFormulaContext::from_cache(o, cache);
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(c->sorted_scores.size(), 3u);
  EXPECT_TRUE(std::signbit(c->sorted_scores[0]));
  EXPECT_FALSE(std::signbit(c->sorted_scores[1]));
  EXPECT_EQ(*c->median, 0.0);
  EXPECT_FALSE(std::signbit(*c->median));
  EXPECT_EQ(*c->q75, 0.25);
  cache.pathways.erase("b");
  EXPECT_EQ(DecorFormulaContext::from_cache(o, cache).error().message(),
            "selected formula exp-scaled could not compute redundancy scale because the decor "
            "cache has no finite redundancy scores");
  o.weight_formula = DecorWeightFormula::kThresholdRational;
  EXPECT_TRUE(DecorFormulaContext::from_cache(o, cache).ok());
}

TEST(DecorFormula, PercentileMatchesReference) {
  for (const auto& t : read_records("decor_engine_fixtures.txt")) {
    if (t[0] != "pct") continue;
    const auto v = hex_list(t[1]);
    const auto p = decor::percentile_sorted(v, hexf(t[2]));
    if (t[3] == "NONE") {
      EXPECT_FALSE(p.has_value());
    } else {
      ASSERT_TRUE(p.has_value());
      EXPECT_TRUE(same(*p, hexf(t[3]))) << t[1] << " q=" << t[2];
    }
  }
  const std::vector<double> v{1, 2, 3, 4};
  EXPECT_EQ(*decor::percentile_sorted(v, 0.75), 3.25);
  EXPECT_EQ(*decor::percentile_sorted(v, 0.5), 2.5);
}

TEST(DecorEs, MatchesReferenceAndClassicScore) {
  size_t checked = 0;
  for (const auto& t : read_records("decor_engine_fixtures.txt")) {
    if (t[0] != "es") continue;
    const uint64_t n = std::stoull(t[1]);
    const auto st = static_cast<ScoreType>(std::stoi(t[2]));
    const auto ranks = hex_list(t[3]);
    const auto hits = u64_list(t[4]);
    const auto w = hex_list(t[5]);
    const auto [es, peak] = decor::calculate_es_decor_prechecked(ranks, hits, w, n, st);
    EXPECT_TRUE(same(es, hexf(t[6]))) << "n=" << n << " st=" << t[2] << " got " << es;
    EXPECT_EQ(peak, std::stoull(t[7]));
    // Unit penalties reduce to the classic score, bit for bit.
    const std::vector<double> ones(hits.size(), 1.0);
    const auto unit = decor::calculate_es_decor_prechecked(ranks, hits, ones, n, st);
    const auto classic = algo::calculate_es_ruvex(ranks, hits, n, st);
    EXPECT_TRUE(same(unit.first, classic.first));
    EXPECT_EQ(unit.second, classic.second);
    ++checked;
  }
  EXPECT_EQ(checked, 180u);
  const std::vector<double> ranks{5, 4, 3};
  EXPECT_EQ(decor::calculate_es_decor_prechecked(ranks, {}, {}, 3, ScoreType::kStd),
            (std::pair<double, uint64_t>{0.0, 0}));
  const std::vector<uint64_t> all{0, 1, 2};
  const std::vector<double> w{0.5, 0.5, 0.5};
  EXPECT_EQ(decor::calculate_es_decor_prechecked(ranks, all, w, 3, ScoreType::kNeg),
            (std::pair<double, uint64_t>{0.0, 0}));
}

TEST(DecorEs, KernelEqualsScalarScore) {
  std::mt19937_64 g(3);
  for (int round = 0; round < 3000; ++round) {
    const uint64_t n = 2 + g() % 120;
    const uint64_t k = 1 + g() % (n - 1);
    std::vector<double> ranks(n), mags(n);
    for (uint64_t i = 0; i < n; ++i) {
      // Constant ranks and penalties give runs of exactly tied steps.
      ranks[i] = round % 3 == 1 ? 1000.0 : (round % 7 == 0 || g() % 5 == 0) ? 0.0
                                                   : static_cast<double>(static_cast<int64_t>(g() % 2000001) - 1000000);
      mags[i] = std::fabs(ranks[i]);
    }
    std::vector<uint64_t> all(n);
    std::iota(all.begin(), all.end(), uint64_t{0});
    std::shuffle(all.begin(), all.end(), g);
    std::vector<uint64_t> hits(all.begin(), all.begin() + static_cast<ptrdiff_t>(k));
    std::sort(hits.begin(), hits.end());
    std::vector<double> w(k);
    for (auto& x : w)
      x = round % 5 == 0 ? 0.0 : round % 3 == 1 ? 0.5 : static_cast<double>(g() % 1000) / 999.0;
    for (ScoreType st : {ScoreType::kStd, ScoreType::kPos, ScoreType::kNeg}) {
      decor::DecorEsKernel kernel(mags, k, st);
      const double want = decor::calculate_es_decor_prechecked(ranks, hits, w, n, st).first;
      EXPECT_TRUE(same(kernel.score(hits.data(), w.data()), want)) << "n=" << n << " k=" << k;
    }
  }
}

TEST(DecorSeeds, GroupAndTailMixes) {
  size_t checked = 0;
  for (const auto& t : read_records("decor_engine_fixtures.txt")) {
    if (t[0] != "seed") continue;
    const uint64_t x = std::stoull(t[2]), seed = std::stoull(t[3]);
    const uint32_t want = static_cast<uint32_t>(std::stoull(t[4]));
    EXPECT_EQ(t[1] == "group" ? decor::group_seed32(x, seed) : decor::tail_seed32(x, seed), want)
        << t[1] << " " << x << " " << seed;
    ++checked;
  }
  EXPECT_EQ(checked, 84u);
}

}  // namespace
}  // namespace tarvelo::decor
