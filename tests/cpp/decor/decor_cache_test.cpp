// The decor cache file: number syntax, redundancy text, reader rules and
// messages, gzip input and output, and the atomic writer.
// Fixtures: tools/gen_decor_fixtures.py (f32_text.txt, cache_*.tsv).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "decor_test_util.hpp"
#include "tarvelo/decor/cache.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/base/text_parse.hpp"

namespace tarvelo::decor {
namespace {

using decor_test::fixture;
using decor_test::gunzip;
using decor_test::slurp;
using decor_test::spit;

std::string err_of(const Status& s) { return s.ok() ? "" : s.error().full(); }
template <class T>
std::string err_of(const Result<T>& r) { return r.ok() ? "" : r.error().full(); }

TEST(DecorParseTest, FloatSyntaxAndMessages) {
  struct Case { const char* text; const char* want; };  // want: value text or error
  const Case cases[] = {
      {"0.5", "0.5"}, {"+1.5", "1.5"}, {"-0", "-0"}, {"1.", "1"}, {".25", "0.25"},
      {"1e-3", "0.001"}, {"1E+2", "100"}, {"inf", "inf"}, {"-Infinity", "-inf"},
      {"NaN", "nan"}, {"+nan", "nan"}, {"1e40", "inf"}, {"1e-50", "0"}, {"-1e-50", "-0"},
      {"1e99999999999999999999", "inf"}, {"0.0000e99999999999999", "0"},
      {"", "cannot parse float from empty string"},
      {" 1", "invalid float literal"}, {"1 ", "invalid float literal"},
      {"1e", "invalid float literal"}, {"1e+", "invalid float literal"},
      {".", "invalid float literal"}, {"+", "invalid float literal"},
      {"0x1p3", "invalid float literal"}, {"nan(1)", "invalid float literal"},
      {"infin", "invalid float literal"}, {"1_0", "invalid float literal"},
      {"--1", "invalid float literal"},
  };
  for (const Case& c : cases) {
    auto r = text::parse_f32(c.text);
    std::string got;
    if (!r.ok()) got = r.error().message();
    else if (std::isnan(*r)) got = "nan";
    else if (std::isinf(*r)) got = *r > 0 ? "inf" : "-inf";
    else {
      std::ostringstream ss;
      ss << (std::signbit(*r) && *r == 0 ? "-" : "") << std::abs(*r);
      got = ss.str();
    }
    EXPECT_EQ(got, c.want) << "text '" << c.text << "'";
  }
  // f64 has the wider range; the grammar is shared.
  EXPECT_EQ(*text::parse_f64("1e40"), 1e40);
  EXPECT_EQ(*text::parse_f64("1e-400"), 0.0);
  EXPECT_TRUE(std::isinf(*text::parse_f64("1e400")));
  EXPECT_EQ(*text::parse_f64("2.2250738585072011e-308"), 2.2250738585072011e-308);
  EXPECT_EQ(*text::parse_f32("3.4028235e38"), 3.4028235e38f);
}

TEST(DecorParseTest, IntegerAndBooleanMessages) {
  EXPECT_EQ(*text::parse_u64("+42"), 42u);
  EXPECT_EQ(*text::parse_u64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(text::parse_u64("18446744073709551616").error().message(),
            "number too large to fit in target type");
  // Overflow is found before a later bad digit, as digits are read in order.
  EXPECT_EQ(text::parse_u64("99999999999999999999x").error().message(),
            "number too large to fit in target type");
  for (const char* bad : {"+", "-", "-1", "1 ", " 1", "1.0", "x"})
    EXPECT_EQ(text::parse_u64(bad).error().message(), "invalid digit found in string") << bad;
  EXPECT_EQ(text::parse_u64("").error().message(), "cannot parse integer from empty string");
  EXPECT_TRUE(*text::parse_bool("true"));
  EXPECT_FALSE(*text::parse_bool("false"));
  EXPECT_EQ(text::parse_bool("True").error().message(),
            "provided string was not `true` or `false`");
}

TEST(DecorCacheFormatTest, RedundancyTextRoundsTheExactValueTiesToEven) {
  std::ifstream in(fixture("f32_text.txt"));
  std::string hex, want;
  int n = 0;
  while (in >> hex >> want) {
    const uint32_t bits = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
    float f;
    std::memcpy(&f, &bits, 4);
    EXPECT_EQ(decor::format_redundancy(f), want) << hex;
    ++n;
  }
  EXPECT_GT(n, 300);
  EXPECT_EQ(decor::format_redundancy(1.0f / 512), "0.00195312");
  EXPECT_EQ(decor::format_redundancy(3.0f / 512), "0.00585938");
  EXPECT_EQ(decor::format_redundancy(-0.0f), "-0.00000000");
}

TEST(DecorCacheFormatTest, GzipExtensionRule) {
  for (const char* yes : {"a.gz", "d/a.tar.gz", "..gz", "a.gz/", "a.gz/.", "/x/a.gz"})
    EXPECT_TRUE(io::has_gz_extension(yes)) << yes;
  for (const char* no : {".gz", "a.GZ", "a.gzip", "d.gz/a", "gz", "a.gz/..", "", "/"})
    EXPECT_FALSE(io::has_gz_extension(no)) << no;
  EXPECT_EQ(io::parent_dir("a/b//c.gz"), "a/b");
  EXPECT_EQ(io::parent_dir("c.gz"), "");
  EXPECT_EQ(io::parent_dir("/c.gz"), "/");
  EXPECT_EQ(io::parent_dir("a/b/"), "a");
}

DecorCache sample_cache() {
  DecorCache c;
  DecorCacheMetadata& m = c.metadata;
  m.format = "tarvelo-decor-cache";
  m.version = "1";
  m.created_by = "tarvelo";
  m.gmt_sha256 = std::string(64, 'a');
  m.expression_sha256 = std::string(64, 'b');
  m.redundancy = DecorRedundancy::kAbsMean;
  m.expression_gene_axis = "rows";
  m.gene_id_mode = "verbatim";
  m.n_pathways = 9;
  // Names that start with "#" must come back as data rows.
  c.pathways["#hash"] = {{"g1", "g2"}, {0.25f, 1.0f / 512}};
  c.pathways["B path"] = {{"g\xc3\xa9"}, {1.0f}};
  c.pathways["A"] = {{"x", "x"}, {0.0f, 0.1f}};
  c.pathways["empty"] = {};
  m.n_rows = 5;
  return c;
}

const char kSampleText[] =
    "# tarvelo_decor_cache_format=tarvelo-decor-cache\n"
    "# tarvelo_decor_cache_version=1\n"
    "# created_by=tarvelo\n"
    "# gmt_sha256=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n"
    "# expression_sha256=bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb\n"
    "# correlation=pearson\n"
    "# redundancy=abs_mean\n"
    "# expression_gene_axis=rows\n"
    "# expression_has_header=true\n"
    "# gene_id_mode=verbatim\n"
    "# n_pathways=9\n"
    "# n_rows=5\n"
    "pathway\tgene\tredundancy\n"
    "#hash\tg1\t0.25000000\n"
    "#hash\tg2\t0.00195312\n"
    "A\tx\t0.00000000\n"
    "A\tx\t0.10000000\n"
    "B path\tg\xc3\xa9\t1.00000000\n";

void expect_same(const DecorCache& a, const DecorCache& b) {
  EXPECT_EQ(a.metadata.format, b.metadata.format);
  EXPECT_EQ(a.metadata.gmt_sha256, b.metadata.gmt_sha256);
  EXPECT_EQ(a.metadata.expression_sha256, b.metadata.expression_sha256);
  EXPECT_EQ(a.metadata.redundancy, b.metadata.redundancy);
  EXPECT_EQ(a.metadata.n_pathways, b.metadata.n_pathways);
  EXPECT_EQ(a.metadata.n_rows, b.metadata.n_rows);
  ASSERT_EQ(a.pathways.size(), b.pathways.size());
  for (auto ia = a.pathways.begin(), ib = b.pathways.begin(); ia != a.pathways.end(); ++ia, ++ib) {
    EXPECT_EQ(ia->first, ib->first);
    EXPECT_EQ(ia->second.genes, ib->second.genes);
    EXPECT_EQ(ia->second.redundancy, ib->second.redundancy);
  }
}

class DecorCacheFileTest : public decor_test::ScratchDir {};

TEST_F(DecorCacheFileTest, WriteThenReadPlainAndGzip) {
  const DecorCache c = sample_cache();
  const std::string plain = path("cache.tsv");
  ASSERT_EQ(err_of(decor::write_decor_cache_atomic(plain, c)), "");
  EXPECT_EQ(slurp(plain), kSampleText);
  auto back = decor::read_decor_cache(plain);
  ASSERT_EQ(err_of(back), "");
  DecorCache want = c;
  want.pathways.erase("empty");  // an entry without genes writes no rows
  want.pathways["#hash"].redundancy[1] = 0.00195312f;  // 8 decimals, parsed again
  expect_same(*back, want);

  // Two missing directories are created; the file is one gzip member with
  // the fixed header; no temporary stays behind.
  const std::string gz = path("x/y/cache.tsv.gz");
  ASSERT_EQ(err_of(decor::write_decor_cache_atomic(gz, c)), "");
  const std::string bytes = slurp(gz);
  ASSERT_GE(bytes.size(), 18u);
  EXPECT_EQ(bytes.substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10));
  EXPECT_EQ(gunzip(bytes), kSampleText);
  auto gback = decor::read_decor_cache(gz);
  ASSERT_EQ(err_of(gback), "");
  expect_same(*gback, want);
  EXPECT_EQ(listing(), (std::vector<std::string>{"cache.tsv", "x", "x/y", "x/y/cache.tsv.gz"}));

  // Upper-case GZ is plain text.
  ASSERT_EQ(err_of(decor::write_decor_cache_atomic(path("c.GZ"), c)), "");
  EXPECT_EQ(slurp(path("c.GZ")), kSampleText);

  DecorCache none = c;
  none.pathways.clear();
  ASSERT_EQ(err_of(decor::write_decor_cache_atomic(plain, none)), "");
  const std::string head = slurp(plain);
  EXPECT_EQ(head, std::string(kSampleText).substr(0, head.size()));
  EXPECT_EQ(head.substr(head.size() - 25), "\npathway\tgene\tredundancy\n");
}

TEST_F(DecorCacheFileTest, ReaderRules) {
  const std::string meta =
      "# tarvelo_decor_cache_format=tarvelo-decor-cache\n# tarvelo_decor_cache_version=1\n"
      "# created_by=tarvelo\n# gmt_sha256=g\n# expression_sha256=e\n# correlation=pearson\n"
      "# redundancy=positive_mean\n# expression_gene_axis=rows\n# expression_has_header=true\n"
      "# gene_id_mode=verbatim\n# n_pathways=3\n";
  const std::string f = path("c.tsv");
  auto read = [&](const std::string& content) {
    spit(f, content);
    return decor::read_decor_cache(f);
  };
  // Blank and "#" lines before the header, CRLF ends, metadata anywhere
  // (blanks trimmed, the later of two values wins), rows of one pathway
  // merged in file order, values clamped, "#" rows with tabs after the header.
  auto ok = read("\n \t\r\n# n_rows=5\r\n" + meta + "#nonsense\n#  other = 1\n" +
                 "pathway\tgene\tredundancy\r\n"
                 "P\ta\t1e-3\r\n"
                 "Q\tb\t-0.5\n"
                 "#\tkey = value\t0.5\n"
                 "#  n_rows  =  6  \n"
                 "P\tc\t7\n"
                 "#Hash\tg\t.5\n"
                 "P\ta\t0.25\n");
  ASSERT_EQ(err_of(ok), "");
  EXPECT_EQ(ok->metadata.n_rows, 6u);
  EXPECT_EQ(ok->metadata.n_pathways, 3u);
  const auto& p = ok->pathways.at("P");
  EXPECT_EQ(p.genes, (std::vector<std::string>{"a", "c", "a"}));
  EXPECT_EQ(p.redundancy, (std::vector<float>{0.001f, 1.0f, 0.25f}));
  EXPECT_EQ(ok->pathways.at("Q").redundancy, (std::vector<float>{0.0f}));
  EXPECT_EQ(ok->pathways.at("#").genes, (std::vector<std::string>{"key = value"}));
  EXPECT_EQ(ok->pathways.at("#Hash").redundancy, (std::vector<float>{0.5f}));

  const std::string good_head = meta + "# n_rows=1\n\npathway\tgene\tredundancy\n";
  struct Case { std::string content; std::string want; };
  const std::vector<Case> cases = {
      {"", "decor cache is missing tabular header"},
      {meta, "decor cache is missing tabular header"},
      {meta + "pathway\tgene\tredundancy \n", "decor cache is missing required pathway/gene/redundancy header"},
      {meta + " # n_rows=1\n", "decor cache is missing required pathway/gene/redundancy header"},
      {good_head + "P\ta\t0.5\t\n", "Malformed decor cache line 15: expected pathway, gene, redundancy"},
      {good_head + "P\ta\n", "Malformed decor cache line 15: expected pathway, gene, redundancy"},
      {good_head + "\n\nP\ta\tabc\n",
       "Failed to parse redundancy 'abc' on cache line 17: invalid float literal"},
      {good_head + "P\ta\t\n",
       "Failed to parse redundancy '' on cache line 15: cannot parse float from empty string"},
      {good_head + "P\ta\t 0.5\n",
       "Failed to parse redundancy ' 0.5' on cache line 15: invalid float literal"},
      {good_head + "pathway\tgene\tredundancy\n",
       "Failed to parse redundancy 'redundancy' on cache line 15: invalid float literal"},
      {good_head + "P\ta\tnan\n", "decor cache line 15 has non-finite redundancy"},
      {good_head + "P\ta\t1e40\n", "decor cache line 15 has non-finite redundancy"},
      {good_head + "P\ta\t-inf\n", "decor cache line 15 has non-finite redundancy"},
      {good_head + "P\ta\t0.5\nP\tb\t0.5\n", "decor cache row count metadata mismatch: metadata=1, observed=2"},
      {good_head + "P\ta\xff\t0.5\n", "stream did not contain valid UTF-8"},
  };
  for (const Case& c : cases) EXPECT_EQ(err_of(read(c.content)), c.want) << c.content;
  EXPECT_EQ(err_of(decor::read_decor_cache(path("missing.tsv"))),
            "Failed to open '" + path("missing.tsv") + "': No such file or directory (os error 2)");
}

TEST_F(DecorCacheFileTest, MetadataChecksRunInTableOrder) {
  const std::vector<std::pair<std::string, std::string>> full = {
      {"tarvelo_decor_cache_format", "x"}, {"tarvelo_decor_cache_version", "9"},
      {"created_by", "y"}, {"gmt_sha256", "g"}, {"expression_sha256", "e"},
      {"correlation", "spearman"}, {"redundancy", "abs_mean"},
      {"expression_gene_axis", "cols"}, {"expression_has_header", "false"},
      {"gene_id_mode", "m"}, {"n_pathways", "+7"}, {"n_rows", "0"}};
  const std::string f = path("m.tsv");
  auto text_without = [&](size_t skip, const std::string& key, const std::string& value) {
    std::string t;
    // Written in reverse order: the check order must not follow the file.
    for (size_t i = full.size(); i-- > 0;) {
      if (i == skip) continue;
      t += "# " + full[i].first + "=" + (full[i].first == key ? value : full[i].second) + "\n";
    }
    return t + "pathway\tgene\tredundancy\n";
  };
  spit(f, text_without(99, "", ""));
  auto all = decor::read_decor_cache(f);
  ASSERT_EQ(err_of(all), "");
  EXPECT_EQ(all->metadata.format, "x");
  EXPECT_EQ(all->metadata.correlation, DecorCorrelation::kSpearman);
  EXPECT_EQ(all->metadata.redundancy, DecorRedundancy::kAbsMean);
  EXPECT_FALSE(all->metadata.expression_has_header);
  EXPECT_EQ(all->metadata.n_pathways, 7u);
  // Each missing key is reported even when a later key's value is also bad.
  for (size_t i = 0; i < full.size(); ++i) {
    spit(f, text_without(i, "n_rows", "bad"));
    EXPECT_EQ(err_of(decor::read_decor_cache(f)),
              i == 11 ? "decor cache is missing metadata key: n_rows"
                      : "decor cache is missing metadata key: " + full[i].first);
  }
  const std::vector<std::tuple<std::string, std::string, std::string>> bad = {
      {"correlation", "Pearson", "unsupported decor correlation in cache metadata: Pearson"},
      {"redundancy", "positive", "unsupported decor redundancy in cache metadata: positive"},
      {"expression_has_header", "yes", "provided string was not `true` or `false`"},
      {"n_pathways", "-1", "invalid digit found in string"},
      {"n_pathways", "", "cannot parse integer from empty string"},
      {"n_rows", "99999999999999999999", "number too large to fit in target type"},
      {"n_rows", "2", "decor cache row count metadata mismatch: metadata=2, observed=0"},
  };
  for (const auto& [key, value, want] : bad) {
    spit(f, text_without(99, key, value));
    EXPECT_EQ(err_of(decor::read_decor_cache(f)), want) << key;
  }
  EXPECT_EQ(decor::parse_redundancy("ABS_MEAN").error().message(),
            "unsupported decor redundancy in cache metadata: ABS_MEAN");
}

// A gzip member of `text` as this system writes it.
std::string member(const std::string& dir, const std::string& text) {
  const std::string p = dir + "/member.gz";
  auto f = io::OutFile::create_no_follow(p);
  EXPECT_TRUE(f.ok());
  {
    io::GzipSink sink(*f);
    EXPECT_TRUE(sink.write(text).ok());
    EXPECT_TRUE(sink.finish().ok());
  }
  EXPECT_TRUE(f->close().ok());
  std::string bytes = slurp(p);
  std::remove(p.c_str());
  return bytes;
}

TEST_F(DecorCacheFileTest, GzipInputEveryMemberAndItsErrors) {
  const std::string text(kSampleText);
  const std::string gz = path("in.tsv.gz");
  auto read_gz = [&](const std::string& bytes) {
    spit(gz, bytes);
    return decor::read_decor_cache(gz);
  };
  // Split inside a row: a reader of the first member alone would fail or
  // lose rows.
  const size_t cut = text.size() - 30;
  std::string two = member(dir_, text.substr(0, cut)) + member(dir_, text.substr(cut));
  auto r = read_gz(two);
  ASSERT_EQ(err_of(r), "");
  EXPECT_EQ(r->metadata.n_rows, 5u);
  // Zero padding after the last member is ignored.
  EXPECT_EQ(err_of(read_gz(two + std::string(7, '\0'))), "");

  // A header with a file name, a comment, an extra field and a header CRC,
  // as other gzip writers may produce.
  {
    const std::string plain_member = member(dir_, text);
    std::string h("\x1f\x8b\x08\x1e\0\0\0\0\0\x03", 10);
    h += std::string("\x03\x00xyz", 5);
    h += std::string("name.tsv\0", 9);
    h += std::string("a comment\0", 10);
    h[3] = 0x1e | 0x02;
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(h.data()), static_cast<uInt>(h.size()));
    h += static_cast<char>(crc & 0xFF);
    h += static_cast<char>((crc >> 8) & 0xFF);
    EXPECT_EQ(err_of(read_gz(h + plain_member.substr(10))), "");
    std::string bad_hcrc = h + plain_member.substr(10);
    bad_hcrc[h.size() - 1] ^= 1;
    EXPECT_EQ(err_of(read_gz(bad_hcrc)), "corrupt gzip stream does not have a matching checksum");
  }

  const std::string one = member(dir_, text);
  std::string bad_magic = one;
  bad_magic[1] = 'x';
  EXPECT_EQ(err_of(read_gz(bad_magic)), "invalid gzip header");
  EXPECT_EQ(err_of(read_gz(one + "garbage after the member")), "invalid gzip header");
  std::string bad_crc = one;
  bad_crc[bad_crc.size() - 8] ^= 0x55;
  EXPECT_EQ(err_of(read_gz(bad_crc)), "corrupt gzip stream does not have a matching checksum");
  std::string bad_len = one;
  bad_len[bad_len.size() - 1] ^= 0x01;
  EXPECT_EQ(err_of(read_gz(bad_len)), "corrupt gzip stream does not have a matching checksum");
  for (size_t keep : {size_t{0}, size_t{5}, size_t{12}, one.size() / 2, one.size() - 3})
    EXPECT_EQ(err_of(read_gz(one.substr(0, keep))), "unexpected end of file") << keep;
  // Block type 3 does not exist.
  std::string bad_block = one;
  bad_block[10] = 0x07;
  EXPECT_EQ(err_of(read_gz(bad_block)), "corrupt deflate stream");
}

TEST_F(DecorCacheFileTest, FailedWritesLeaveNoTemporaryAndKeepTheOldFile) {
  const DecorCache c = sample_cache();
  const std::string pid = std::to_string(::getpid());

  // Rename onto a non-empty directory fails after the data was written.
  ASSERT_EQ(::mkdir(path("dir.tsv").c_str(), 0777), 0);
  spit(path("dir.tsv/keep"), "k");
  const std::string tmp = path("dir.tsv.tmp." + pid);
  const Status s = decor::write_decor_cache_atomic(path("dir.tsv"), c);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().full(), "Failed to rename temporary cache '" + tmp + "' to '" +
                                path("dir.tsv") + "': Is a directory (os error 21)");
  EXPECT_EQ(listing(), (std::vector<std::string>{"dir.tsv", "dir.tsv/keep"}));

  // A symbolic link planted at the temporary name is not followed.
  spit(path("victim"), "precious");
  spit(path("cache.tsv"), "old");
  ASSERT_EQ(::symlink(path("victim").c_str(), path("cache.tsv.tmp." + pid).c_str()), 0);
  const Status l = decor::write_decor_cache_atomic(path("cache.tsv"), c);
  EXPECT_EQ(err_of(l), "Failed to create '" + path("cache.tsv.tmp." + pid) +
                           "': Too many levels of symbolic links (os error 40)");
  EXPECT_EQ(slurp(path("victim")), "precious");
  EXPECT_EQ(slurp(path("cache.tsv")), "old");
  EXPECT_EQ(listing(), (std::vector<std::string>{"cache.tsv", "dir.tsv", "dir.tsv/keep", "victim"}));

  // A parent that is a file cannot be created.
  const Status d = decor::write_decor_cache_atomic(path("victim/sub/c.tsv"), c);
  EXPECT_EQ(err_of(d), "Failed to create cache directory '" + path("victim/sub") +
                           "': Not a directory (os error 20)");

  // Unequal vectors are a broken invariant, caught before anything is written.
  DecorCache broken = c;
  broken.pathways["A"].genes.push_back("extra");
  EXPECT_THROW((void)decor::write_decor_cache_atomic(path("b.tsv"), broken), InternalError);
  EXPECT_EQ(listing(), (std::vector<std::string>{"cache.tsv", "dir.tsv", "dir.tsv/keep", "victim"}));
}

TEST_F(DecorCacheFileTest, NonFiniteValuesAreRefusedBeforeTheFileIsTouched) {
  // The reader refuses such a value, so the file would break every later call.
  spit(path("cache.tsv"), "old");
  for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
    DecorCache c = sample_cache();
    c.pathways["#hash"].redundancy[1] = bad;
    const Status s = decor::write_decor_cache_atomic(path("cache.tsv"), c);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.error().full().find("decor cache redundancy of gene '"), std::string::npos);
    EXPECT_NE(s.error().full().find("is not finite"), std::string::npos);
    EXPECT_EQ(slurp(path("cache.tsv")), "old");
    EXPECT_EQ(listing(), (std::vector<std::string>{"cache.tsv"}));
  }
}

TEST_F(DecorCacheFileTest, ConcurrentWritersOfOnePathTakeTurns) {
  // Each thread writes a different cache many times; every write must land
  // whole, so the final file reads back as exactly one of them.
  std::vector<DecorCache> caches;
  for (int t = 0; t < 6; ++t) {
    DecorCache c = sample_cache();
    auto& big = c.pathways["T" + std::to_string(t)];
    for (int g = 0; g < 3000; ++g) {
      big.genes.push_back("gene" + std::to_string(g));
      big.redundancy.push_back(static_cast<float>(g % 97) / 97.0f);
    }
    c.metadata.n_rows += 3000;
    caches.push_back(std::move(c));
  }
  const std::string p = path("shared.tsv.gz");
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 4; ++k)
        if (!decor::write_decor_cache_atomic(p, caches[t]).ok()) ++failures;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  auto back = decor::read_decor_cache(p);
  ASSERT_EQ(err_of(back), "");
  int matches = 0;
  for (int t = 0; t < 6; ++t) {
    const auto it = back->pathways.find("T" + std::to_string(t));
    if (it != back->pathways.end()) matches += it->second.genes.size() == 3000;
  }
  EXPECT_EQ(matches, 1);
  EXPECT_EQ(listing(), (std::vector<std::string>{"shared.tsv.gz"}));
}

}  // namespace
}  // namespace tarvelo::decor
