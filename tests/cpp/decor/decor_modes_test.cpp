// Providing the decor cache: digests, reasons and their message, the
// mode/state table, and the refusals that protect the inputs.
// Fixtures: tools/gen_decor_fixtures.py (sha256.txt from hashlib, cache_*.tsv).
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "decor_test_util.hpp"
#include "tarvelo/decor/modes.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/engine/gmt.hpp"

namespace tarvelo::decor {
namespace {

using decor_test::fixture;
using decor_test::inode_of;
using decor_test::slurp;
using decor_test::spit;

std::map<std::string, std::string> digest_fixture() {
  std::map<std::string, std::string> out;
  std::ifstream in(fixture("sha256.txt"));
  std::string name, hex;
  while (in >> name >> hex) out[name] = hex;
  return out;
}

class DecorModesTest : public decor_test::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    gmt_ = path("p.gmt");
    expr_ = path("e.tsv");
    cache_ = path("cache/c.tsv");
    spit(gmt_, slurp(fixture("pathways_small.gmt")));
    spit(expr_, slurp(fixture("expr_small.tsv")));
    pathways_ = io::read_gmt(gmt_)->pathways;
    want_pos_ = slurp(fixture("cache_small_positive_mean.tsv"));
    want_abs_ = slurp(fixture("cache_small_abs_mean.tsv"));
  }
  DecorOptions opts(DecorCacheMode mode, bool with_expr,
                    DecorRedundancy kind = DecorRedundancy::kPositiveMean) const {
    DecorOptions o;
    o.cache_path = cache_;
    if (with_expr) o.expression_path = expr_;
    o.cache_mode = mode;
    o.redundancy = kind;
    return o;
  }
  std::string run(const DecorOptions& o) {
    auto r = decor::ensure_decor_cache_for_paths(pathways_, gmt_, o);
    return r.ok() ? "" : r.error().message();
  }
  std::string gmt_, expr_, cache_;
  std::vector<Pathway> pathways_;
  std::string want_pos_, want_abs_;
};

TEST_F(DecorModesTest, DigestsMatchHashlib) {
  const auto want = digest_fixture();
  spit(path("empty"), "");
  spit(path("abc"), "abc");
  std::string patterned(200003, '\0');
  for (size_t i = 0; i < patterned.size(); ++i) patterned[i] = static_cast<char>((i * i + 7 * i) % 251);
  spit(path("patterned"), patterned);
  for (const char* name : {"empty", "abc", "patterned"})
    EXPECT_EQ(*decor::file_sha256(path(name)), want.at(name)) << name;
  for (const char* name : {"expr_small.tsv", "pathways_small.gmt", "expr_rand.tsv.gz", "pathways_rand.gmt"})
    EXPECT_EQ(*decor::file_sha256(fixture(name)), want.at(name)) << name;
  EXPECT_EQ(want.at("empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(decor::file_sha256(path("nope")).error().full(),
            "Failed to open '" + path("nope") + "': No such file or directory (os error 2)");
  EXPECT_EQ(decor::file_sha256(dir_).error().full(),
            "Failed to read '" + dir_ + "': Is a directory (os error 21)");
}

TEST(DecorReasonsTest, NineReasonsInOrderAndTheMessage) {
  DecorCacheMetadata m;
  m.format = "other";
  m.version = "2";
  m.gmt_sha256 = "g0";
  m.expression_sha256 = "e0";
  m.correlation = DecorCorrelation::kSpearman;
  m.redundancy = DecorRedundancy::kAbsMean;
  m.expression_gene_axis = "cols";
  m.expression_has_header = false;
  m.gene_id_mode = "upper";
  DecorCacheCompatibility want;
  want.gmt_sha256 = "g1";
  want.expression_sha256 = "e1";
  const auto reasons = decor::incompatibility_reasons(m, want);
  const std::vector<std::string> expected = {
      "cache format differs: cache=other",
      "cache format version is unsupported: cache=2",
      "GMT SHA256 differs",
      "expression SHA256 differs",
      "correlation method differs: cache=spearman, requested=pearson",
      "redundancy mode differs: cache=abs_mean, requested=positive_mean",
      "expression gene axis differs: cache=cols, requested=rows",
      "expression header setting differs: cache=false, requested=true",
      "gene ID mode differs: cache=upper, requested=verbatim"};
  EXPECT_EQ(reasons, expected);
  // Without an expression path the expression digest is not compared.
  want.expression_sha256.reset();
  EXPECT_EQ(decor::incompatibility_reasons(m, want).size(), 8u);
  EXPECT_EQ(decor::incompatible_message({"a", "b"}, true),
            "Decor cache is incompatible:\n  - a\n  - b\n"
            "Use --decor-cache-mode rebuild with --decor-expression to rebuild it.");
  EXPECT_EQ(decor::incompatible_message({"a"}, false),
            "Decor cache is incompatible:\n  - a\n"
            "Provide --decor-expression or use --decor-cache-mode rebuild to rebuild it.");
}

TEST_F(DecorModesTest, EarlyChecksComeFirst) {
  DecorOptions o = opts(DecorCacheMode::kAuto, true);
  o.alpha = -1;
  o.correlation = DecorCorrelation::kSpearman;
  EXPECT_EQ(run(o), "decor alpha must be a finite value >= 0");
  o.alpha = 1;
  o.cache_path.reset();
  EXPECT_EQ(run(o), "spearman decor correlation is not implemented yet");
  o.correlation = DecorCorrelation::kPearson;
  EXPECT_EQ(run(o), "method decor requires --decor-cache");
  // A missing expression file fails at its digest even with a usable cache.
  ASSERT_EQ(run(opts(DecorCacheMode::kAuto, true)), "");
  DecorOptions gone = opts(DecorCacheMode::kAuto, true);
  gone.expression_path = path("gone.tsv");
  EXPECT_EQ(run(gone), "Failed to open '" + path("gone.tsv") + "'");
  for (const auto mode : {DecorCacheMode::kAuto, DecorCacheMode::kReuse, DecorCacheMode::kRebuild}) {
    DecorOptions g = opts(mode, true);
    EXPECT_EQ(decor::ensure_decor_cache_for_paths(pathways_, path("no.gmt"), g).error().message(),
              "Failed to open '" + path("no.gmt") + "'");
  }
}

TEST_F(DecorModesTest, ModeAndStateTable) {
  // reuse + missing fails even with an expression path; nothing is written.
  EXPECT_EQ(run(opts(DecorCacheMode::kReuse, true)), "decor cache does not exist: " + cache_);
  EXPECT_EQ(listing(), (std::vector<std::string>{"e.tsv", "p.gmt"}));
  // auto + missing without an expression path cannot build.
  EXPECT_EQ(run(opts(DecorCacheMode::kAuto, false)),
            "decor cache does not exist or is incompatible and --decor-expression was not provided");
  // auto + missing builds and writes the reference text.
  ASSERT_EQ(run(opts(DecorCacheMode::kAuto, true)), "");
  EXPECT_EQ(slurp(cache_), want_pos_);
  const uint64_t ino = inode_of(cache_);
  // A compatible cache is used as read in auto and reuse, with or without an
  // expression path: nothing is rewritten (a rewrite renames a new inode in).
  for (const auto mode : {DecorCacheMode::kAuto, DecorCacheMode::kReuse})
    for (const bool with_expr : {true, false}) {
      auto r = decor::ensure_decor_cache_for_paths(pathways_, gmt_, opts(mode, with_expr));
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(r->pathways.size(), 5u);
      EXPECT_EQ(r->metadata.n_rows, 15u);
    }
  EXPECT_EQ(inode_of(cache_), ino);
  // rebuild without an expression path fails even with a compatible cache;
  // with one it rewrites.
  EXPECT_EQ(run(opts(DecorCacheMode::kRebuild, false)),
            "decor cache does not exist or is incompatible and --decor-expression was not provided");
  EXPECT_EQ(inode_of(cache_), ino);
  ASSERT_EQ(run(opts(DecorCacheMode::kRebuild, true, DecorRedundancy::kAbsMean)), "");
  EXPECT_NE(inode_of(cache_), ino);
  EXPECT_EQ(slurp(cache_), want_abs_);

  // An abs_mean cache asked for positive_mean: one reason, hint per mode.
  const std::string reason = "\n  - redundancy mode differs: cache=abs_mean, requested=positive_mean\n";
  EXPECT_EQ(run(opts(DecorCacheMode::kAuto, false)),
            "Decor cache is incompatible:" + reason +
                "Provide --decor-expression or use --decor-cache-mode rebuild to rebuild it.");
  EXPECT_EQ(run(opts(DecorCacheMode::kReuse, true)),
            "Decor cache is incompatible:" + reason +
                "Use --decor-cache-mode rebuild with --decor-expression to rebuild it.");
  EXPECT_EQ(slurp(cache_), want_abs_);
  ASSERT_EQ(run(opts(DecorCacheMode::kAuto, true)), "");
  EXPECT_EQ(slurp(cache_), want_pos_);

  // Without an expression path a cache from any expression file passes; with
  // one, a different expression digest is a reason.
  std::string other_expr = want_pos_;
  other_expr.replace(other_expr.find("expression_sha256=") + 18, 4, "0000");
  spit(cache_, other_expr);
  EXPECT_EQ(run(opts(DecorCacheMode::kReuse, false)), "");
  EXPECT_EQ(run(opts(DecorCacheMode::kReuse, true)),
            "Decor cache is incompatible:\n  - expression SHA256 differs\n"
            "Use --decor-cache-mode rebuild with --decor-expression to rebuild it.");
  // A cache naming spearman is read, then reported.
  std::string spear = want_pos_;
  spear.replace(spear.find("=pearson"), 8, "=spearman");
  spit(cache_, spear);
  EXPECT_EQ(run(opts(DecorCacheMode::kReuse, false)),
            "Decor cache is incompatible:\n  - correlation method differs: cache=spearman, requested=pearson\n"
            "Use --decor-cache-mode rebuild with --decor-expression to rebuild it.");

  // An unreadable cache: only the read error's outermost message is kept.
  spit(cache_, "# only metadata\n");
  EXPECT_EQ(run(opts(DecorCacheMode::kReuse, true)),
            "Decor cache could not be read: decor cache is missing tabular header");
  EXPECT_EQ(run(opts(DecorCacheMode::kAuto, false)),
            "Decor cache could not be read and --decor-expression was not provided: "
            "decor cache is missing tabular header");
  ASSERT_EQ(run(opts(DecorCacheMode::kAuto, true)), "");
  EXPECT_EQ(slurp(cache_), want_pos_);

  // One changed GMT byte: a reason without the expression, a rebuild with it.
  std::string g = slurp(gmt_);
  g[1] = 'X';
  spit(gmt_, g);
  pathways_ = io::read_gmt(gmt_)->pathways;
  EXPECT_EQ(run(opts(DecorCacheMode::kAuto, false)),
            "Decor cache is incompatible:\n  - GMT SHA256 differs\n"
            "Provide --decor-expression or use --decor-cache-mode rebuild to rebuild it.");
  const uint64_t before = inode_of(cache_);
  ASSERT_EQ(run(opts(DecorCacheMode::kAuto, true)), "");
  EXPECT_NE(inode_of(cache_), before);
  EXPECT_NE(slurp(cache_).find("PXmain\tG1\t"), std::string::npos);

  // Build errors come back as they are and leave the cache alone.
  const std::string kept = slurp(cache_);
  spit(expr_, "gene\ta\n");
  EXPECT_EQ(run(opts(DecorCacheMode::kRebuild, true)),
            "expression matrix header must contain gene and at least two sample columns");
  EXPECT_EQ(slurp(cache_), kept);
  EXPECT_EQ(listing(), (std::vector<std::string>{"cache", "cache/c.tsv", "e.tsv", "p.gmt"}));
}

TEST_F(DecorModesTest, InputsAreNeverOverwritten) {
  const std::string gmt_text = slurp(gmt_);
  const std::string expr_text = slurp(expr_);
  for (const auto mode : {DecorCacheMode::kAuto, DecorCacheMode::kReuse, DecorCacheMode::kRebuild}) {
    DecorOptions o = opts(mode, true);
    o.cache_path = gmt_;
    EXPECT_EQ(run(o), "decor cache '" + gmt_ + "' is the same file as the GMT file '" + gmt_ + "'");
    // A symbolic link to the expression file, and another spelling of it.
    ASSERT_EQ(::symlink(expr_.c_str(), path("link.tsv").c_str()), 0);
    o.cache_path = path("link.tsv");
    EXPECT_EQ(run(o), "decor cache '" + path("link.tsv") +
                          "' is the same file as the expression matrix '" + expr_ + "'");
    o.cache_path = dir_ + "/./e.tsv";
    EXPECT_EQ(run(o), "decor cache '" + dir_ + "/./e.tsv' is the same file as the expression matrix '" +
                          expr_ + "'");
    std::remove(path("link.tsv").c_str());
  }
  EXPECT_EQ(slurp(gmt_), gmt_text);
  EXPECT_EQ(slurp(expr_), expr_text);

  // Duplicate pathway names fail in every mode, before any digest.
  pathways_.push_back(pathways_[1]);
  for (const auto mode : {DecorCacheMode::kAuto, DecorCacheMode::kReuse, DecorCacheMode::kRebuild})
    EXPECT_EQ(run(opts(mode, true)), "GMT file has duplicate pathway name: #hash path");
  EXPECT_EQ(listing(), (std::vector<std::string>{"e.tsv", "p.gmt"}));
}

}  // namespace
}  // namespace tarvelo::decor
