// The expression matrix reader and the redundancy build.
// Fixtures: tools/gen_decor_fixtures.py (expr_*, pathways_*, cache_*.tsv hold
// the expected cache text from a left-to-right Python port checked against
// numpy.corrcoef).
#include <gtest/gtest.h>

#include "decor_test_util.hpp"
#include "tarvelo/decor/cache.hpp"
#include "tarvelo/decor/expression.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/engine/gmt.hpp"

namespace tarvelo::decor {
namespace {

using decor_test::fixture;
using decor_test::slurp;
using decor_test::spit;

class DecorExpressionTest : public decor_test::ScratchDir {
 protected:
  std::string read_error(const std::string& content, const std::string& name = "m.tsv") {
    spit(path(name), content);
    auto r = decor::read_expression_matrix(path(name));
    return r.ok() ? "" : r.error().full();
  }
};

TEST_F(DecorExpressionTest, RowChecksInOrderWithLineNumbers) {
  struct Case { std::string content; std::string want; };
  const std::vector<Case> cases = {
      {"", "expression matrix contains no gene rows"},
      {"gene\ta\tb\n\n  \n", "expression matrix contains no gene rows"},
      {"gene\ta\n", "expression matrix header must contain gene and at least two sample columns"},
      {"gene\ta\tb\ng\t1\n",
       "Malformed expression matrix line 2: expected gene and at least two sample columns"},
      {"gene\ta\tb\tc\n\ng\t1\t2\n",
       "Malformed expression matrix line 3: expected 3 sample columns, found 2"},
      // Without a header the first data row fixes the width.
      {"\ng\t1\t2\nh\t1\t2\t3\n",
       "Malformed expression matrix line 3: expected 2 sample columns, found 3"},
      // Width before identifier before duplicate before values.
      {"gene\ta\tb\n\t1\t2\t3\n", "Malformed expression matrix line 2: expected 2 sample columns, found 3"},
      {"gene\ta\tb\n\tx\t2\n", "expression matrix line 2 has an empty gene identifier"},
      {"gene\ta\tb\ng\t1\t2\ng\tx\t2\n", "expression matrix has duplicate gene identifier: g"},
      // Every field is parsed before finiteness is looked at.
      {"gene\ta\tb\ng\tnan\tx\n",
       "Failed to parse expression value 'x' on line 2: invalid float literal"},
      {"gene\ta\tb\ng\t1\t\n",
       "Failed to parse expression value '' on line 2: cannot parse float from empty string"},
      {"gene\ta\tb\ng\t1\t2 \n",
       "Failed to parse expression value '2 ' on line 2: invalid float literal"},
      {"gene\ta\tb\ng\t1\t2\t\n", "Malformed expression matrix line 2: expected 2 sample columns, found 3"},
      {"gene\ta\tb\ng\tNaN\t1\n", "expression matrix line 2 contains a non-finite value"},
      {"gene\ta\tb\ng\t1e309\t1\n", "expression matrix line 2 contains a non-finite value"},
      {"gene\ta\tb\ng\t-INF\t1\n", "expression matrix line 2 contains a non-finite value"},
      // A blank first line means no header: the sample names are values.
      {"\ngene\ts1\ts2\ng\t1\t2\n", "Failed to parse expression value 's1' on line 2: invalid float literal"},
      {"gene\ta\tb\ng\t1\xff\t2\n", "stream did not contain valid UTF-8"},
  };
  for (const Case& c : cases) EXPECT_EQ(read_error(c.content), c.want) << c.content;
  EXPECT_EQ(read_error("gene\ta\tb\ng\t1\t2\n", "m.gz"), "invalid gzip header");
  EXPECT_EQ(decor::read_expression_matrix(path("none.tsv")).error().full(),
            "Failed to open '" + path("none.tsv") + "': No such file or directory (os error 2)");

  // Identifiers are verbatim: " G" and "G" are two genes; CRLF is removed.
  spit(path("ok.tsv"), "\r\nG\t1\t2\r\n G\t3\t4\n\n#c\t+5\t.5e1\r\n");
  auto ok = decor::read_expression_matrix(path("ok.tsv"));
  ASSERT_TRUE(ok.ok()) << ok.error().full();
  EXPECT_EQ(ok->genes, (std::vector<std::string>{"G", " G", "#c"}));
  EXPECT_EQ(ok->n_samples, 2u);
  // A final "\r" without "\n" stays part of the value.
  EXPECT_EQ(read_error("G\t1\t2\nH\t1\t2\r"),
            "Failed to parse expression value '2\r' on line 2: invalid float literal");
  EXPECT_EQ(ok->values, (std::vector<double>{1, 2, 3, 4, 5, 5}));
}

Result<ExpressionMatrix> fixture_matrix(const std::string& name) {
  return decor::read_expression_matrix(fixture(name));
}

std::vector<Pathway> fixture_pathways(const std::string& name) {
  auto db = io::read_gmt(fixture(name));
  EXPECT_TRUE(db.ok());
  return db.ok() ? db->pathways : std::vector<Pathway>{};
}

// The digest lines of the expected caches, so that the written text can be
// compared whole.
std::pair<std::string, std::string> fixture_digests(const std::string& text) {
  auto value = [&](const std::string& key) {
    const size_t at = text.find("# " + key + "=");
    const size_t begin = at + key.size() + 3;
    return text.substr(begin, text.find('\n', begin) - begin);
  };
  return {value("gmt_sha256"), value("expression_sha256")};
}

TEST_F(DecorExpressionTest, BuiltCacheMatchesTheReferenceText) {
  // expr_rand.tsv.gz holds two gzip members split inside a line.
  for (const std::string set : {"small", "rand"}) {
    const auto matrix = fixture_matrix(set == "small" ? "expr_small.tsv" : "expr_rand.tsv.gz");
    ASSERT_TRUE(matrix.ok()) << matrix.error().full();
    const auto pathways = fixture_pathways("pathways_" + set + ".gmt");
    for (const auto kind : {DecorRedundancy::kPositiveMean, DecorRedundancy::kAbsMean}) {
      const std::string want =
          slurp(fixture("cache_" + set + "_" + std::string(decor_redundancy_name(kind)) + ".tsv"));
      const auto [gmt_sha, expr_sha] = fixture_digests(want);
      DecorOptions o;
      o.redundancy = kind;
      const DecorCache c = decor::build_decor_cache_from_expression(pathways, *matrix, o, gmt_sha, expr_sha);
      ASSERT_TRUE(decor::write_decor_cache_atomic(path("c.tsv"), c).ok());
      EXPECT_EQ(slurp(path("c.tsv")), want) << set << " " << decor_redundancy_name(kind);
    }
  }
  EXPECT_EQ(fixture_matrix("expr_rand.tsv.gz")->genes.size(), 60u);
}

TEST_F(DecorExpressionTest, BuildEdgeCases) {
  ExpressionMatrix m;
  m.n_samples = 4;
  auto add = [&](const std::string& g, std::vector<double> v) {
    m.genes.push_back(g);
    m.values.insert(m.values.end(), v.begin(), v.end());
  };
  add("a", {1, 2, 3, 5});
  add("a_copy", {1, 2, 3, 5});
  add("a_neg", {-1, -2, -3, -5});
  add("c1", {0.1, 0.1, 0.1, 0.1});
  add("c2", {-3.321928, -3.321928, -3.321928, -3.321928});
  std::vector<Pathway> ps = {
      {"Z", {"a", "a_copy", "a_neg", "a", "missing"}, {}},
      {"const", {"c1", "c2"}, {}},
      {"Z", {"c1"}, {}},  // replaces the earlier "Z"
      {"none", {"missing"}, {}},
  };
  DecorOptions o;
  const DecorCache pos = decor::build_decor_cache_from_expression(ps, m, o, "g", "e");
  EXPECT_EQ(pos.metadata.n_pathways, 4u);
  EXPECT_EQ(pos.metadata.n_rows, 3u);
  EXPECT_EQ(pos.pathways.at("Z").genes, (std::vector<std::string>{"c1"}));
  EXPECT_EQ(pos.pathways.at("Z").redundancy, (std::vector<float>{0.0f}));
  // Constant rows, even with an inexact mean, correlate with nothing.
  EXPECT_EQ(pos.pathways.at("const").redundancy, (std::vector<float>{0.0f, 0.0f}));
  EXPECT_TRUE(pos.pathways.at("none").genes.empty());

  ps.erase(ps.begin() + 2);
  const DecorCache p2 = decor::build_decor_cache_from_expression(ps, m, o, "g", "e");
  // a~a_copy r = 1, a~a_neg r = -1: positive_mean counts only the +1.
  EXPECT_EQ(p2.pathways.at("Z").genes, (std::vector<std::string>{"a", "a_copy", "a_neg"}));
  EXPECT_EQ(p2.pathways.at("Z").redundancy, (std::vector<float>{0.5f, 0.5f, 0.0f}));
  o.redundancy = DecorRedundancy::kAbsMean;
  const DecorCache ab = decor::build_decor_cache_from_expression(ps, m, o, "g", "e");
  EXPECT_EQ(ab.pathways.at("Z").redundancy, (std::vector<float>{1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(ab.metadata.redundancy, DecorRedundancy::kAbsMean);
  EXPECT_EQ(ab.metadata.format, "tarvelo-decor-cache");
  EXPECT_EQ(ab.metadata.expression_gene_axis, "rows");
  EXPECT_EQ(ab.metadata.gene_id_mode, "verbatim");
}

TEST_F(DecorExpressionTest, ValuesNearTheEndsOfTheRangeGiveTheScaledResult) {
  // Sums of values near 1e308 overflow and squares of values near 1e-200
  // underflow; correlation does not depend on scale, so a row multiplied by
  // a power of two must give exactly the redundancies of the original.
  const std::vector<std::vector<double>> base = {
      {1.5, -2.25, 3.0, 0.5, 7.0},
      {2.0, -1.0, 2.5, 0.75, 6.5},
      {-4.0, 1.0, 0.1, 3.0, -2.0},
      {0.3, 0.2, 0.1, 0.0, -0.1},
  };
  auto build = [&](const std::vector<double>& scales, DecorRedundancy kind) {
    ExpressionMatrix m;
    m.n_samples = 5;
    for (size_t g = 0; g < base.size(); ++g) {
      m.genes.push_back("g" + std::to_string(g));
      for (double v : base[g]) m.values.push_back(v * scales[g]);
    }
    DecorOptions o;
    o.redundancy = kind;
    const std::vector<Pathway> ps = {{"P", {"g0", "g1", "g2", "g3"}, {}}};
    return decor::build_decor_cache_from_expression(ps, m, o, "g", "e").pathways.at("P").redundancy;
  };
  for (auto kind : {DecorRedundancy::kPositiveMean, DecorRedundancy::kAbsMean}) {
    const auto want = build({1, 1, 1, 1}, kind);
    EXPECT_GT(want[0], 0.0f);
    // Largest values about 1.6e308, 9e307 and 1e-300; one row left as it is.
    EXPECT_EQ(build({0x1p1021, 0x1p1020, 0x1p-1000, 1}, kind), want);
    EXPECT_EQ(build({0x1p1021, 0x1p1021, 0x1p1021, 0x1p1021}, kind), want);
  }
  // Two values whose sum overflows but that are not equal: a real spread,
  // perfectly correlated with a plain row of the same shape.
  ExpressionMatrix m;
  m.n_samples = 3;
  m.genes = {"big", "small"};
  m.values = {1.7e308, 1.6e308, 1.7e308, 1.7, 1.6, 1.7};
  const std::vector<Pathway> ps = {{"P", {"big", "small"}, {}}};
  const auto r = decor::build_decor_cache_from_expression(ps, m, DecorOptions{}, "g", "e");
  EXPECT_EQ(r.pathways.at("P").redundancy, (std::vector<float>{1.0f, 1.0f}));
}

}  // namespace
}  // namespace tarvelo::decor
