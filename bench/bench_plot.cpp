// Enrichment-curve plot at 300 dpi: a 500-gene pathway on 20,000 ranked genes,
// rendered and written as PNG. Prints the median of several runs of the whole
// call and of its render and PNG parts.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_util.hpp"
#include "tarvelo/plot/plot.hpp"

using namespace tarvelo;
using bench::median;
using bench::time_ms;

int main() {
  constexpr size_t kGenes = 20000, kPathway = 500, kRuns = 15;
  std::mt19937_64 rng(7);
  auto [genes, scores] = bench::normal_gene_scores(kGenes, rng, "GENE");
  // A pathway enriched toward the top: genes drawn with a bias to low indices
  // of the score-sorted list.
  const RankedList ranked(genes, scores);
  std::vector<std::string> pathway;
  std::vector<bool> taken(kGenes);
  std::uniform_real_distribution<double> unit;
  while (pathway.size() < kPathway) {
    const auto i = static_cast<size_t>(unit(rng) * unit(rng) * kGenes);
    if (!taken[i]) {
      taken[i] = true;
      pathway.push_back(ranked.genes()[i]);
    }
  }
  plot::EnrichmentPlotOptions options;
  options.title = "benchmark pathway";
  const std::string path = "/tmp/tarvelo_bench_plot_" + std::to_string(::getpid()) + ".png";

  // Warm-up: loads the font once.
  if (!plot::write_enrichment_plot_png(ranked, pathway, path, options).ok()) {
    std::fprintf(stderr, "plot failed\n");
    return 1;
  }
  std::vector<double> total, render, png;
  for (size_t r = 0; r < kRuns; ++r) {
    total.push_back(time_ms([&] { (void)plot::write_enrichment_plot_png(ranked, pathway, path, options); }));
    Result<plot::Canvas> canvas = plot::Canvas();
    render.push_back(time_ms([&] { canvas = plot::render_enrichment_plot(ranked, pathway, options); }));
    png.push_back(time_ms([&] { (void)plot::save_png_with_dpi(*canvas, path, options.dpi); }));
  }
  std::remove(path.c_str());
  std::printf("enrichment plot, %zu genes, %zu-gene pathway, 300 dpi (900x660), 1 thread, %zu runs\n",
              kGenes, kPathway, kRuns);
  std::printf("  whole call: median %.2f ms (min %.2f, max %.2f)\n", median(total),
              *std::min_element(total.begin(), total.end()),
              *std::max_element(total.begin(), total.end()));
  std::printf("  render:     median %.2f ms\n", median(render));
  std::printf("  PNG write:  median %.2f ms\n", median(png));
  return 0;
}
