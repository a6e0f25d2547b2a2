// Failure paths that must never abort: a misused Result, a line that never
// ends, a stop requested in the middle of a parallel run, and worker threads
// that cannot start.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tarvelo/base/error.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/base/threads.hpp"
#include "tarvelo/engine/algo_driver.hpp"

namespace tarvelo {
namespace {

Result<int> failing() { return Error("root"); }

TEST(ResultMisuse, WrongAlternativeIsAnInternalError) {
  Result<int> bad = failing();
  EXPECT_THROW(bad.value(), InternalError);
  EXPECT_THROW(*bad, InternalError);
  EXPECT_THROW(std::move(bad).value(), InternalError);
  Result<int> good = 3;
  EXPECT_THROW(good.error(), InternalError);
  try {
    (void)failing().value();
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_NE(std::string(e.what()).find("root"), std::string::npos) << e.what();
  }
}

TEST(ResultMisuse, ContextOnATemporaryOwnsItsValue) {
  // Bound to references, the results of context() on temporaries must stay
  // valid (AddressSanitizer reports a reference into the dead temporary).
  auto&& r = failing().context("outer");
  EXPECT_EQ(r.error().message(), "outer");
  EXPECT_EQ(r.error().root_cause(), "root");
  auto&& e = Error("inner").context("middle");
  EXPECT_EQ(e.full(), "middle: inner");
  auto&& ok = Result<std::string>(std::string(100, 'x')).context("unused");
  EXPECT_EQ(ok.value(), std::string(100, 'x'));
}

class ChunkSource : public io::ByteSource {
 public:
  explicit ChunkSource(std::string data) : data_(std::move(data)) {}
  Result<size_t> read(char* buf, size_t n) override {
    const size_t k = std::min({n, size_t{7}, data_.size() - pos_});
    std::memcpy(buf, data_.data() + pos_, k);
    pos_ += k;
    return k;
  }

 private:
  std::string data_;
  size_t pos_ = 0;
};

// Lines read with a limit of `max_line` bytes; the error text after them.
std::vector<std::string> read_limited(const std::string& text, size_t max_line,
                                      std::string* error) {
  ChunkSource src(text);
  io::LineReader reader(src, 64, max_line);
  std::vector<std::string> lines;
  std::string_view line;
  for (;;) {
    auto more = reader.next(&line);
    if (!more.ok()) {
      *error = more.error().message();
      return lines;
    }
    if (!*more) return lines;
    lines.emplace_back(line);
  }
}

TEST(LineLimit, LongLinesFailWithTheirNumber) {
  std::string error;
  const std::string at_limit(99, 'a');  // 100 bytes with its "\n"
  EXPECT_EQ(read_limited("x\n" + at_limit + "\n" + at_limit, 100, &error),
            (std::vector<std::string>{"x", at_limit, at_limit}));
  EXPECT_EQ(error, "");
  // Longer than the block, found before the limit is reached...
  EXPECT_EQ(read_limited("x\ny\n" + std::string(100, 'b') + "\nz\n", 100, &error),
            (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(error, "line 3 is longer than 100 bytes");
  // ... found in one buffer, a last line without "\n", and no end at all.
  EXPECT_EQ(read_limited("x\n" + std::string(150, 'c') + "\n", 100, &error).size(), 1u);
  EXPECT_EQ(error, "line 2 is longer than 100 bytes");
  EXPECT_EQ(read_limited(std::string(101, 'd'), 100, &error).size(), 0u);
  EXPECT_EQ(error, "line 1 is longer than 100 bytes");
  EXPECT_EQ(read_limited(std::string(100, 'd'), 100, &error).size(), 1u);
  EXPECT_EQ(io::kMaxLineBytes, size_t{1} << 30);
}

// A poll that asks to stop from its `after`-th call on.
std::atomic<int> g_polls{0};
int g_stop_after = 0;
bool stop_after_polls() { return ++g_polls >= g_stop_after; }

struct Case {
  RankedList ranked;
  std::vector<Pathway> pathways;
};

// 400 genes and 150 pathways of 10-40 genes, enough for the parallel kernel.
Case make_case() {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  std::vector<std::string> genes;
  std::vector<double> scores;
  for (int i = 0; i < 400; ++i) {
    genes.push_back("G" + std::to_string(i));
    scores.push_back(normal(rng));
  }
  Case c{RankedList(genes, scores), {}};
  for (int p = 0; p < 150; ++p) {
    Pathway pw;
    pw.name = "P" + std::to_string(p);
    std::vector<std::string> pick = genes;
    std::shuffle(pick.begin(), pick.end(), rng);
    pick.resize(10 + p % 31);
    pw.genes = pick;
    c.pathways.push_back(pw);
  }
  return c;
}

std::vector<EnrichmentResult> run(const Case& c, bool multilevel) {
  return algo::run_gsea_internal(c.ranked, c.pathways, multilevel ? 1000 : 50000, 7, 1, 500,
                                 0.0, 1.0, ScoreType::kStd, multilevel, 101);
}

void expect_same(const std::vector<EnrichmentResult>& a, const std::vector<EnrichmentResult>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].pathway, b[i].pathway);
    EXPECT_EQ(a[i].es, b[i].es);
    EXPECT_EQ(a[i].nes, b[i].nes);
    EXPECT_TRUE(a[i].pval == b[i].pval || (a[i].pval != a[i].pval && b[i].pval != b[i].pval));
  }
}

TEST(Interrupt, StopUnwindsAParallelRunAndLeavesNoTrace) {
  const Case c = make_case();
  for (bool multilevel : {false, true}) {
    const auto reference = run(c, multilevel);
    for (int after : {1, 5, 40}) {
      g_polls = 0;
      g_stop_after = after;
      {
        interrupt::Scope scope(&stop_after_polls);
        EXPECT_THROW(run(c, multilevel), interrupt::Interrupted) << after;
        EXPECT_TRUE(interrupt::stop_requested());
      }
      EXPECT_FALSE(interrupt::stop_requested());
      expect_same(run(c, multilevel), reference);
    }
  }
}

TEST(Interrupt, RequestStopReachesEveryThreadOnlyInsideAScope) {
  interrupt::request_stop();  // no call running: nothing to stop
  EXPECT_FALSE(interrupt::stop_requested());
  g_polls = 0;
  g_stop_after = 1 << 30;
  interrupt::Scope scope(&stop_after_polls);
  std::atomic<int> stopped{0};
  interrupt::request_stop();
  pool::parallel_for_index(64, [&](size_t) {
    if (interrupt::stop_requested()) ++stopped;
  });
  EXPECT_EQ(stopped.load(), 64);
}

TEST(Threads, StartErrorNamesTheOsError) {
  EXPECT_NO_THROW(threads::check_can_start(3, 1 << 20));
  // Stacks larger than the address space cannot be mapped.
  if (std::getenv("TARVELO_SANITIZER_BUILD") != nullptr) GTEST_SKIP() << "sanitizers reserve the address space";
  try {
    threads::check_can_start(4, size_t{1} << 46);
    FAIL();
  } catch (const threads::StartError& e) {
    EXPECT_EQ(std::string(e.what()), "could not start worker threads: " + io::os_error_text(EAGAIN));
  }
}

}  // namespace
}  // namespace tarvelo
