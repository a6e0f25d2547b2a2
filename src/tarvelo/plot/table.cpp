#include "tarvelo/plot/table.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "tarvelo/engine/algo_support.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/plot/format.hpp"
#include "tarvelo/plot/png.hpp"
#include "tarvelo/plot/resize.hpp"

namespace tarvelo::plot {

std::string table_label(std::string_view pathway_name) {
  std::string label(pathway_name.substr(0, pathway_name.find('%')));
  std::replace(label.begin(), label.end(), '_', ' ');
  return label;
}

Result<GseaTablePlotData> build_gsea_table_plot_data(const RankedList& ranked,
                                                     std::span<const Pathway> pathways,
                                                     std::span<const EnrichmentResult> results,
                                                     double gsea_param) {
  if (ranked.empty()) return Error("ranks must not be empty");
  if (pathways.empty()) return Error("pathways must not be empty");
  TARVELO_TRY(check_gsea_param(gsea_param));
  const algo_support::GeneIndex index = algo_support::build_gene_index(ranked);

  // Signed weights sign(r) * |r|^p scaled so the largest magnitude is 1. M
  // starts at 0 and skips NaN, so a ranking of NaN scores alone scales
  // nothing; NaN weights are later drawn as 0.
  const std::vector<double>& scores = ranked.scores();
  const uint64_t n = ranked.size();
  std::vector<double> weights(n);
  double largest = 0.0;
  for (uint64_t i = 0; i < n; ++i) {
    const double r = scores[i];
    const double sign = std::isnan(r) ? r : std::copysign(1.0, r);
    weights[i] = sign * std::pow(std::fabs(r), gsea_param);
    largest = std::fmax(largest, std::fabs(weights[i]));
  }
  if (!std::isfinite(largest)) return Error("failed to compute finite adjusted stats");
  GseaTablePlotData data;
  data.n = n;
  for (double& w : weights) {
    if (largest > 0.0) w /= largest;
    data.wmin = std::fmin(data.wmin, w);
    data.wmax = std::fmax(data.wmax, w);
  }
  data.ticks = {0, n >> 2, n >> 1, (3 * n) >> 2, n};

  std::unordered_map<std::string_view, size_t> by_name;
  by_name.reserve(results.size());
  for (size_t i = 0; i < results.size(); ++i) by_name[results[i].pathway] = i;  // later wins

  for (const Pathway& p : pathways) {
    std::vector<uint64_t> hits = algo_support::extract_pathway_hits(index, p.genes);
    if (hits.empty()) continue;
    const auto found = by_name.find(p.name);
    if (found == by_name.end()) {
      return Error("pathway '" + p.name + "' missing from ruvex results");
    }
    const EnrichmentResult& r = results[found->second];
    if (!r.nes) return Error("pathway '" + p.name + "' is missing NES in ruvex results");
    if (!r.padj) return Error("pathway '" + p.name + "' is missing padj in ruvex results");
    GseaTablePlotRow row;
    row.pathway = p.name;
    row.label = table_label(p.name);
    row.weights.reserve(hits.size());
    for (uint64_t& h : hits) {
      row.weights.push_back(weights[h]);
      h += 1;
    }
    row.hits = std::move(hits);
    row.nes = *r.nes;
    row.pval = r.pval;
    row.padj = *r.padj;
    data.rows.push_back(std::move(row));
  }
  if (data.rows.empty()) {
    return Error("none of the requested pathways have genes present in the ranked list");
  }
  return data;
}

int32_t TableLayout::R(float k) const { return round_to_i32(k * s); }

Result<TableLayout> compute_table_layout(size_t rows, int64_t label_width,
                                         const TablePlotOptions& o) {
  TableLayout g;
  g.s = static_cast<float>(o.dpi) / 300.0f;
  const double dpi = static_cast<double>(o.dpi);
  // R() saturates at 2^31 and a row count is far below 2^32, so every sum
  // and product below stays exact in 64 bits.
  const int64_t row_h = g.R(48);
  const int64_t body = static_cast<int64_t>(std::min<size_t>(rows, uint64_t{1} << 32)) * row_h;
  const int64_t rows_h = int64_t{g.R(30)} + g.R(34) + g.R(8) + g.R(12) + body;
  const double height_in =
      o.height_inches ? *o.height_inches : std::fmax(static_cast<double>(rows_h) / dpi, 0.7);
  g.height = saturating_cast<uint32_t>(round_half_away(height_in * dpi));
  if (g.height < 180) return Error("plot height must be at least 180 pixels");

  const int64_t wreq =
      std::max<int64_t>(saturating_cast<uint32_t>(round_half_away(o.width_inches * dpi)), 1);
  const int64_t fixed = int64_t{g.R(8)} + g.R(12) + g.R(8) + 3 * (int64_t{g.R(4)} + g.R(66)) +
                        label_width + g.R(24);
  const int64_t gene0 =
      std::max<int64_t>(g.R(220), std::min<int64_t>(g.R(350), std::max<int64_t>(wreq - fixed, 0)));
  g.width = std::max({wreq, gene0 + fixed, int64_t{520}});
  const int64_t extra = g.width - (gene0 + fixed);
  g.pad = std::min<int64_t>(g.R(18), extra);
  g.label_width = label_width;
  g.gene_width = gene0 + extra - g.pad;
  g.gene_left = g.pad + label_width + g.R(24) + g.R(8) + g.R(8);
  g.rows_bottom = int64_t{g.R(12)} + g.R(34) + body;
  return g;
}

namespace {

int32_t to_i32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// Draws `text` so that its right edge is at x = right.
void draw_text_right(Canvas& canvas, const Font& font, int64_t right, int64_t y,
                     std::string_view text, float size) {
  const int64_t w = font.text_size(size, text).first;
  font.draw_text(canvas, kBlack, to_i32(right - w), to_i32(y), size, text);
}

// Draws the table at twice the final size: every layout length of `g` is
// doubled, text sizes and a few offsets derive from the scale directly.
void draw_table(Canvas& canvas, const Font& font, const GseaTablePlotData& data,
                const TableLayout& g) {
  const float s = g.s;
  const Rgba ink{20, 20, 20, 255};
  const int64_t r4 = g.R(4), r8 = g.R(8), r12 = g.R(12), r24 = g.R(24), r34 = g.R(34),
                r48 = g.R(48), r66 = g.R(66);
  const int64_t xr = 2 * (g.pad + g.label_width + r24 + r8) - g.R(12);
  const int64_t gl2 = 2 * g.gene_left, gw2 = 2 * g.gene_width;
  const int64_t nes_left = g.gene_left + g.gene_width + r4;
  const int64_t pval_left = nes_left + r66 + r4;
  const int64_t padj_left = pval_left + r66 + r4;
  const int32_t cn = to_i32(2 * nes_left + r66), cp = to_i32(2 * pval_left + r66),
                cq = to_i32(2 * padj_left + r66);

  // Headers.
  const float header_size = 52.0f * s;
  const int32_t header_y = to_i32(2 * r12);
  draw_text_right(canvas, font, xr, header_y, "Pathway", header_size);
  draw_text_centered(canvas, font, to_i32(gl2 + gw2 / 2), header_y, "Gene ranks", kBlack,
                     header_size);
  draw_text_centered(canvas, font, cn, header_y, "NES", kBlack, header_size);
  draw_text_centered(canvas, font, cp, header_y, "pval", kBlack, header_size);
  draw_text_centered(canvas, font, cq, header_y, "padj", kBlack, header_size);

  // Rows. Weights lie in [wmin, wmax]; the barcode spans [lo, hi] vertically
  // with its baseline at 0, so positive weights rise and negative ones hang.
  const float row_size = 44.0f * s;
  const double hi = std::fmax(data.wmax, 1.0);
  const double lo = std::fmin(data.wmin, -1.0);
  const auto row_span = static_cast<float>(2 * r48);
  const int64_t bw = std::max<int64_t>(g.R(6), 1);
  const int64_t text_dy = r48 - g.R(18);
  for (size_t i = 0; i < data.rows.size(); ++i) {
    const GseaTablePlotRow& row = data.rows[i];
    const int64_t t = 2 * r12 + 2 * r34 + static_cast<int64_t>(i) * 2 * r48;
    const int64_t text_y = t + text_dy;
    draw_text_right(canvas, font, xr, text_y, row.label, row_size);

    const auto ft = static_cast<float>(t);
    const float yb = ft + row_span * static_cast<float>(hi / (hi - lo));
    for (size_t j = 0; j < row.hits.size(); ++j) {
      const double w = std::isnan(row.weights[j]) ? 0.0 : row.weights[j];
      const float y = ft + row_span * static_cast<float>((hi - w) / (hi - lo));
      const int64_t left =
          int64_t{round_to_i32(rank_to_x(row.hits[j], data.n, gw2, gl2))} - (bw >> 1);
      const int64_t top = round_to_i32(std::fmin(yb, y));
      const int64_t height = std::max<int64_t>(round_to_i32(std::fabs(yb - y)), 1);
      draw_filled_rect(canvas, left, top, static_cast<uint64_t>(bw), static_cast<uint64_t>(height),
                       ink);
    }

    draw_text_centered(canvas, font, cn, to_i32(text_y), format_fixed(row.nes, 2), kBlack,
                       row_size);
    draw_text_centered(canvas, font, cp, to_i32(text_y), format_scientific_value(row.pval),
                       kBlack, row_size);
    draw_text_centered(canvas, font, cq, to_i32(text_y), format_scientific_value(row.padj),
                       kBlack, row_size);
  }

  // The rank axis with its five ticks; the tick marks are 1x lengths.
  const int64_t axis_y = 2 * g.rows_bottom + g.R(10);
  const auto fy = static_cast<float>(axis_y);
  draw_thick_line_segment(canvas, 0, kBlack, static_cast<float>(gl2), fy,
                          static_cast<float>(gl2 + gw2), fy);
  const Rgba tick_grey{70, 70, 70, 255};
  const float tick_size = 38.0f * s;
  const int32_t label_y = to_i32(2 * g.rows_bottom + g.R(16));
  for (uint64_t p : data.ticks) {
    const float x = rank_to_x(p, data.n, gw2, gl2);
    draw_line_segment(canvas, x, fy, x, static_cast<float>(axis_y + r4), kBlack);
    draw_text_centered(canvas, font, round_to_i32(x), label_y, std::to_string(p), tick_grey,
                       tick_size);
  }
}

}  // namespace

Result<Canvas> render_gsea_table_plot(const RankedList& ranked, std::span<const Pathway> pathways,
                                      std::span<const EnrichmentResult> results,
                                      const TablePlotOptions& o) {
  const bool height_ok =
      !o.height_inches || (std::isfinite(*o.height_inches) && *o.height_inches > 0.0);
  if (!std::isfinite(o.width_inches) || !(o.width_inches > 0.0) || o.dpi == 0 || !height_ok) {
    return Error("plot size in inches and dpi must be finite positive values");
  }
  TARVELO_ASSIGN_OR_RETURN(GseaTablePlotData data,
                           build_gsea_table_plot_data(ranked, pathways, results, o.gsea_param));
  TARVELO_ASSIGN_OR_RETURN(FontPtr font, load_plot_font());

  const float label_size = 22.0f * (static_cast<float>(o.dpi) / 300.0f);
  int64_t label_width = 0;
  for (const GseaTablePlotRow& row : data.rows) {
    label_width = std::max<int64_t>(label_width, font->text_size(label_size, row.label).first);
  }
  TARVELO_ASSIGN_OR_RETURN(TableLayout g, compute_table_layout(data.rows.size(), label_width, o));

  // The double-size drawing canvas is the largest allocation and must fit the
  // pixel budget, which leaves a quarter of it for the image itself. The limit
  // is stated in the size the caller asked for, not the internal one.
  TARVELO_TRY(check_pixel_budget(static_cast<uint64_t>(g.width), static_cast<uint64_t>(g.height),
                                 kMaxCanvasPixels / 4));
  const auto width = static_cast<uint32_t>(g.width);
  const auto height = static_cast<uint32_t>(g.height);
  const Rgba fill = o.transparent_background ? Rgba{255, 255, 255, 0} : Rgba{255, 255, 255, 255};
  TARVELO_ASSIGN_OR_RETURN(Canvas big, Canvas::create(2 * width, 2 * height, fill));
  draw_table(big, *font, data, g);
  return resize_lanczos3(big, width, height);
}

Status write_gsea_table_plot_png(const RankedList& ranked, std::span<const Pathway> pathways,
                                 std::span<const EnrichmentResult> results,
                                 const std::string& output_path, const TablePlotOptions& options) {
  TARVELO_ASSIGN_OR_RETURN(Canvas canvas,
                           render_gsea_table_plot(ranked, pathways, results, options));
  return save_png_with_dpi(canvas, output_path, options.dpi);
}

}  // namespace tarvelo::plot
