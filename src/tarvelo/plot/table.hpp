// The results table plot: one row per pathway with its label, a barcode of its
// genes along the ranking, and its NES, p-value and adjusted p-value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/base/error.hpp"
#include "tarvelo/plot/canvas.hpp"
#include "tarvelo/plot/text.hpp"

namespace tarvelo::plot {

struct TablePlotOptions {
  double gsea_param = 1.0;
  double width_inches = 5.6;
  std::optional<double> height_inches;  // absent: derived from the number of rows
  uint32_t dpi = 300;
  bool transparent_background = false;
};

struct GseaTablePlotRow {
  std::string pathway;
  std::string label;             // displayed name
  std::vector<uint64_t> hits;    // 1-based ranks, ascending
  std::vector<double> weights;   // adjusted weight of each hit, in [-1, 1] or NaN
  double nes = 0.0, pval = 0.0, padj = 0.0;
};

struct GseaTablePlotData {
  std::vector<GseaTablePlotRow> rows;  // in the order of the requested pathways
  uint64_t n = 0;                      // length of the ranked list
  double wmin = 0.0, wmax = 0.0;       // weight range, widened to include 0
  std::array<uint64_t, 5> ticks{};     // 0, n/4, n/2, 3n/4, n (rounded down)
};

// The display label of a pathway name: the part before the first '%', with
// every '_' turned into a space ("cell_cycle%GO:0007049" -> "cell cycle").
std::string table_label(std::string_view pathway_name);

// The rows of the requested pathways. Checks, in order: empty ranked list,
// empty `pathways`, gsea_param (finite, not negative), a finite largest
// adjusted weight, then per pathway with at least one ranked gene a result
// row by that name (the last one when names repeat) carrying NES and padj,
// and finally at least one row. Pathways without ranked genes are skipped.
Result<GseaTablePlotData> build_gsea_table_plot_data(const RankedList& ranked,
                                                     std::span<const Pathway> pathways,
                                                     std::span<const EnrichmentResult> results,
                                                     double gsea_param);

// Pixel layout of the final (1x) image. The drawing happens on a canvas twice
// as large in each direction, with every length doubled.
struct TableLayout {
  float s = 1.0f;          // dpi / 300
  int64_t width = 0;       // W
  int64_t height = 0;      // H
  int64_t pad = 0;         // left space
  int64_t label_width = 0; // widest label at the 1x label size
  int64_t gene_left = 0;   // gl, left edge of the gene ranks area
  int64_t gene_width = 0;  // gw
  int64_t rows_bottom = 0;
  int32_t R(float k) const;
};

// The height and width rules for `rows` rows whose widest label measures
// `label_width` pixels. Fails with "plot height must be at least 180 pixels".
Result<TableLayout> compute_table_layout(size_t rows, int64_t label_width,
                                         const TablePlotOptions& options);

// Checks the options and data (size and dpi first), then lays out and draws
// the table at double size and reduces it with Lanczos3; returns the final
// canvas without writing it.
Result<Canvas> render_gsea_table_plot(const RankedList& ranked, std::span<const Pathway> pathways,
                                      std::span<const EnrichmentResult> results,
                                      const TablePlotOptions& options);

// render_gsea_table_plot, then the PNG at `output_path` with the plot's dpi.
// Nothing is created when a check fails.
Status write_gsea_table_plot_png(const RankedList& ranked, std::span<const Pathway> pathways,
                                 std::span<const EnrichmentResult> results,
                                 const std::string& output_path, const TablePlotOptions& options);

}  // namespace tarvelo::plot
