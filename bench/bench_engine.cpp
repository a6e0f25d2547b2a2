// Wall time of the classic engine on real data: mode "simple" with 10,000
// permutations and mode "ruvex" with its defaults (1,000 permutations plus
// multilevel refinement, eps 1e-50, sampleSize 101), each on one thread and on
// all threads, with the median time of every stage.
//
// Usage: bench_engine [runs=3] [ranks.tsv] [pathways.gmt] [threads=0 (all)] [modes=all]
// Defaults read a_ranks.tsv and go_bp.gmt from examples/data. `threads` is
// either one count T (runs on 1 and T threads) or a comma-separated list of
// counts (runs on exactly those); `modes` is "simple", "ruvex" or "all". An
// empty path argument keeps the default file.
#include <tbb/task_arena.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/engine/algo.hpp"
#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/pool.hpp"

namespace {

using tarvelo::Pathway;
using tarvelo::RankedList;

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return out;
}

// Captures what the engine writes to standard error during f().
template <class F>
std::string capture_stderr(F&& f) {
  std::fflush(stderr);
  char name[] = "/tmp/bench_engine_XXXXXX";
  const int fd = mkstemp(name);
  const int saved = dup(2);
  dup2(fd, 2);
  f();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text;
  if (FILE* file = std::fopen(name, "r")) {
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, got);
    std::fclose(file);
  }
  close(fd);
  unlink(name);
  return text;
}

struct Config {
  const char* label;
  bool simple;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string data = bench::kDataDir;
  const std::string ranks_path = argc > 2 && *argv[2] ? argv[2] : data + "/a_ranks.tsv";
  const std::string gmt_path = argc > 3 && *argv[3] ? argv[3] : data + "/go_bp.gmt";
  const std::string threads_arg = argc > 4 ? argv[4] : "0";
  const std::string modes = argc > 5 ? argv[5] : "all";
  std::vector<size_t> thread_counts;
  if (threads_arg.find(',') != std::string::npos) {
    std::istringstream list(threads_arg);
    std::string item;
    while (std::getline(list, item, ',')) {
      thread_counts.push_back(std::max<size_t>(1, std::strtoull(item.c_str(), nullptr, 10)));
    }
  } else {
    size_t all = std::strtoull(threads_arg.c_str(), nullptr, 10);
    if (all == 0) all = std::max(1u, std::thread::hardware_concurrency());
    thread_counts.push_back(1);
    if (all > 1) thread_counts.push_back(all);
  }

  auto [genes, scores] = bench::load_ranks(ranks_path);
  const RankedList ranked(std::move(genes), std::move(scores));
  const std::vector<Pathway> pathways = bench::load_gmt(gmt_path);
  std::printf("%zu genes, %zu pathways, %d runs per configuration (median)\n", ranked.size(),
              pathways.size(), runs);
  setenv("TARVELO_STAGE_TIMING", "1", 1);

  const Config configs[] = {{"simple nperm=10000", true}, {"ruvex default", false}};
  for (const Config& cfg : configs) {
    if (modes != "all" && modes != (cfg.simple ? "simple" : "ruvex")) continue;
    for (size_t threads : thread_counts) {
      tbb::task_arena arena(static_cast<int>(threads));
      std::vector<double> wall;
      std::map<std::string, std::vector<double>> stages;
      std::vector<std::string> stage_order;
      size_t rows = 0, significant = 0;
      for (int r = 0; r < runs; ++r) {
        std::vector<tarvelo::EnrichmentResult> res;
        const auto t0 = std::chrono::steady_clock::now();
        const std::string err = capture_stderr([&] {
          res = tarvelo::pool::execute_in(arena, [&] {
            if (cfg.simple) {
              return tarvelo::algo::run_gsea_internal(ranked, pathways, 10000, 1, 1,
                                                      ranked.size() - 1, 1e-50, 1.0,
                                                      tarvelo::ScoreType::kStd, false, 101);
            }
            return tarvelo::algo::ruvex_with_sample_size_and_kind(
                ranked, pathways, std::nullopt, 1000, 1, 1, ranked.size() - 1, 1e-50, 1.0,
                tarvelo::ScoreType::kStd, 101);
          });
        });
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        std::istringstream lines(err);
        std::string line;
        while (std::getline(lines, line)) {
          auto f = split_tabs(line);
          if (f.size() != 3 || f[0] != "TARVELO_STAGE") continue;
          if (!stages.count(f[1])) stage_order.push_back(f[1]);
          stages[f[1]].push_back(std::strtod(f[2].c_str(), nullptr));
        }
        rows = res.size();
        significant = 0;
        for (const auto& x : res) significant += x.padj.has_value() && *x.padj < 0.05 ? 1 : 0;
      }
      std::printf("%-20s threads=%-3zu wall %8.3f s  (%zu results, %zu with padj < 0.05)\n",
                  cfg.label, threads, bench::median(wall), rows, significant);
      for (const auto& name : stage_order) {
        std::printf("    %-24s %8.3f s\n", name.c_str(), bench::median(stages[name]));
      }
      std::fflush(stdout);
    }
  }
  return 0;
}
