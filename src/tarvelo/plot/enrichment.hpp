// The running enrichment-score plot of one pathway.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/plot/canvas.hpp"

namespace tarvelo::plot {

struct EnrichmentPlotOptions {
  std::string pathway_name = "pathway";  // only used in error messages
  ScoreType score_type = ScoreType::kStd;
  double gsea_param = 1.0;
  double width_inches = 3.0;
  double height_inches = 2.2;
  uint32_t dpi = 300;
  bool transparent_background = false;
  std::optional<std::string> title;
};

struct EnrichmentPlotData {
  std::string pathway_name;
  std::vector<uint64_t> hits;                         // 1-based ranks, ascending
  std::vector<std::pair<uint64_t, double>> points;    // (i, running sum), i = 0..n
  double es = 0.0;
};

// The running sum of the pathway's hits (0-based ranked positions, sorted and
// distinct, 0 < k < n) over a ranked list with `scores`.
EnrichmentPlotData build_enrichment_plot_data(std::span<const double> scores,
                                              std::span<const uint64_t> hits, double gsea_param,
                                              ScoreType score_type, std::string pathway_name);

// Axis ticks of the value range [ymin, ymax] (finite): step, lo, hi and the
// accumulated tick values.
struct AxisTicks {
  double step = 0, lo = 0, hi = 0;
  std::vector<double> ticks;
};
double nice_step(double range);
AxisTicks compute_axis_ticks(double ymin, double ymax);
// Tick labels with max(ceil(-log10|step|), 0) decimals when step < 1, else 0.
std::vector<std::string> tick_labels(const AxisTicks& axis);

// Checks the arguments (in the documented order), computes the curve and draws
// the plot; returns the canvas without writing it.
Result<Canvas> render_enrichment_plot(const RankedList& ranked,
                                      std::span<const std::string> pathway_genes,
                                      const EnrichmentPlotOptions& options);

// render_enrichment_plot, then the PNG at `output_path` with the plot's dpi.
// Nothing is created when a check fails.
Status write_enrichment_plot_png(const RankedList& ranked,
                                 std::span<const std::string> pathway_genes,
                                 const std::string& output_path,
                                 const EnrichmentPlotOptions& options);

}  // namespace tarvelo::plot
