// Results table plot at 300 dpi: 10 and 50 pathways of 50 to 400 genes on
// 20,000 ranked genes, rendered (drawing at double size plus the Lanczos3
// reduction) and written as PNG. Prints the median of several runs of the
// whole call and of its parts, and the reduction alone on a blank canvas of
// the same double size.
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
  constexpr size_t kGenes = 20000, kRuns = 11;
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<size_t> pick(0, kGenes - 1), size(50, 400);
  const auto [genes, scores] = bench::normal_gene_scores(kGenes, rng, "GENE");
  const RankedList ranked(genes, scores);
  const std::string path = "/tmp/tarvelo_bench_table_" + std::to_string(::getpid()) + ".png";

  for (size_t count : {size_t{10}, size_t{50}}) {
    std::vector<Pathway> pathways;
    std::vector<EnrichmentResult> results;
    for (size_t p = 0; p < count; ++p) {
      Pathway pw;
      pw.name = "benchmark_pathway_number_" + std::to_string(p) + "%GO:" + std::to_string(p);
      for (size_t k = size(rng); k > 0; --k) pw.genes.push_back(genes[pick(rng)]);
      EnrichmentResult r;
      r.pathway = pw.name;
      r.nes = normal(rng) * 2;
      r.pval = 1e-3 / static_cast<double>(p + 1);
      r.padj = 1e-2 / static_cast<double>(p + 1);
      pathways.push_back(std::move(pw));
      results.push_back(std::move(r));
    }
    const plot::TablePlotOptions options;
    if (!plot::write_gsea_table_plot_png(ranked, pathways, results, path, options).ok()) {
      std::fprintf(stderr, "plot failed\n");
      return 1;
    }
    std::vector<double> total, render, png, resize;
    uint32_t w = 0, h = 0;
    for (size_t r = 0; r < kRuns; ++r) {
      total.push_back(time_ms(
          [&] { (void)plot::write_gsea_table_plot_png(ranked, pathways, results, path, options); }));
      Result<plot::Canvas> canvas = plot::Canvas();
      render.push_back(
          time_ms([&] { canvas = plot::render_gsea_table_plot(ranked, pathways, results, options); }));
      png.push_back(time_ms([&] { (void)plot::save_png_with_dpi(*canvas, path, options.dpi); }));
      w = canvas->width();
      h = canvas->height();
      const plot::Canvas big = std::move(plot::Canvas::create(2 * w, 2 * h, plot::Rgba{255, 255, 255, 255})).value();
      resize.push_back(time_ms([&] { (void)plot::resize_lanczos3(big, w, h); }));
    }
    std::printf("table plot, %zu pathways, %zu genes, 300 dpi (%ux%u), 1 thread, %zu runs\n", count,
                kGenes, w, h, kRuns);
    std::printf("  whole call: median %.2f ms (min %.2f, max %.2f)\n", median(total),
                *std::min_element(total.begin(), total.end()),
                *std::max_element(total.begin(), total.end()));
    std::printf("  render:     median %.2f ms (of which Lanczos3 %ux%u -> %ux%u: %.2f ms)\n",
                median(render), 2 * w, 2 * h, w, h, median(resize));
    std::printf("  PNG write:  median %.2f ms\n", median(png));
  }
  std::remove(path.c_str());
  return 0;
}
