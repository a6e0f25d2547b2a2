// The GMT reader and the analysis-call keyword parsers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tarvelo/engine/bindings.hpp"
#include "tarvelo/engine/gmt.hpp"

namespace tarvelo {
namespace {

class GmtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvelo_gmt_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const auto& p : files_) std::remove(p.c_str());
    rmdir(dir_.c_str());
  }
  std::string write(const std::string& content) {
    std::string path = dir_ + "/f" + std::to_string(files_.size()) + ".gmt";
    std::ofstream(path, std::ios::binary) << content;
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(GmtTest, FieldsAreKeptOrTrimmedAsTheFormatSays) {
  // Name and description untrimmed; genes trimmed of White_Space (including
  // U+3000 and U+0085) but not of U+001C; empty genes dropped; duplicates kept.
  auto db = io::read_gmt(write(
      "\xef\xbb\xbf P1 \t\tA\t B \t\t\xe3\x80\x80""A\xc2\x85\n"
      "\n"
      "P2\t desc \t\x1c""C\n"
      "P3\tD\t\n"));
  ASSERT_TRUE(db.ok()) << db.error().message();
  const auto& p = db->pathways;
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].name, "\xef\xbb\xbf P1 ");  // a byte order mark stays in the name
  EXPECT_FALSE(p[0].description.has_value());
  EXPECT_EQ(p[0].genes, (std::vector<std::string>{"A", "B", "A"}));
  EXPECT_EQ(p[1].description, std::optional<std::string>(" desc "));
  EXPECT_EQ(p[1].genes, (std::vector<std::string>{"\x1c""C"}));
  EXPECT_EQ(p[2].name, "P3");
  EXPECT_TRUE(p[2].genes.empty());
}

TEST_F(GmtTest, CrlfReadsLikeLf) {
  const std::string lf = "P1\td\tA\tB\n\nP2\td\tC\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  auto a = io::read_gmt(write(lf));
  auto b = io::read_gmt(write(crlf));
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_EQ(a->pathways.size(), b->pathways.size());
  for (size_t i = 0; i < a->pathways.size(); ++i) {
    EXPECT_EQ(a->pathways[i].name, b->pathways[i].name);
    EXPECT_EQ(a->pathways[i].genes, b->pathways[i].genes);
  }
}

TEST_F(GmtTest, Errors) {
  struct Case {
    std::string content;
    std::string message;
  } cases[] = {
      {" \t \nP\tonly two\n", "Malformed GMT line 2: expected at least 3 tab-separated columns."},
      {"P\n", "Malformed GMT line 1: expected at least 3 tab-separated columns."},
      {"P\td\tA\nP\td\t\xff\nP\n", "stream did not contain valid UTF-8"},
      {"P\td\tA\nP\n\xff\n", "Malformed GMT line 2: expected at least 3 tab-separated columns."},
  };
  for (const auto& c : cases) {
    auto db = io::read_gmt(write(c.content));
    ASSERT_FALSE(db.ok());
    EXPECT_EQ(db.error().message(), c.message);
    EXPECT_EQ(db.error().kind(), Error::Kind::kOs);
  }
  EXPECT_EQ(io::read_gmt(dir_ + "/missing").error().message(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(io::read_gmt(dir_).error().message(), "Is a directory (os error 21)");
  EXPECT_EQ(io::read_gmt(write("P\td\tA\n") + std::string("\0x", 2)).error().message(),
            "file name contained an unexpected NUL byte");
  auto empty = io::read_gmt(write(""));
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->pathways.empty());
}

TEST(BindingsTest, KeywordsPlanAndSizes) {
  using bindings::InterfaceMode;
  EXPECT_EQ(*bindings::parse_score_type("neg"), ScoreType::kNeg);
  EXPECT_EQ(bindings::parse_score_type("x").error().message(),
            "Invalid scoreType 'x'. Expected one of: std, pos, neg.");
  EXPECT_EQ(*bindings::parse_method("decor"), bindings::Method::kDecor);
  EXPECT_EQ(bindings::parse_method("").error().message(),
            "Invalid method ''. Expected one of: classic, decor.");
  EXPECT_EQ(*bindings::parse_interface_mode("blitz"), InterfaceMode::kBlitz);
  EXPECT_EQ(bindings::parse_interface_mode("fast").error().message(),
            "Invalid mode 'fast'. Expected one of: ruvex, multilevel, simple, blitz.");
  EXPECT_EQ(bindings::resolve_execution_plan(InterfaceMode::kBlitz, true).error().message(),
            "nperm is not supported with mode='blitz'.");
  auto plan = bindings::resolve_execution_plan(InterfaceMode::kSimple, true);
  EXPECT_EQ(plan->mode, InterfaceMode::kSimple);
  EXPECT_EQ(bindings::effective_min_size(std::nullopt, InterfaceMode::kBlitz), 5u);
  EXPECT_EQ(bindings::effective_min_size(std::nullopt, InterfaceMode::kRuvex), 1u);
  EXPECT_EQ(bindings::effective_max_size(std::nullopt, InterfaceMode::kBlitz, 10), 4000u);
  EXPECT_EQ(bindings::effective_max_size(std::nullopt, InterfaceMode::kSimple, 10), 9u);
  EXPECT_EQ(bindings::effective_max_size(std::nullopt, InterfaceMode::kSimple, 0), 0u);
  EXPECT_EQ(bindings::effective_max_size(7, InterfaceMode::kBlitz, 10), 7u);
}

}  // namespace
}  // namespace tarvelo
