#include "tarvelo/plot/enrichment.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tarvelo/engine/algo_support.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/plot/format.hpp"
#include "tarvelo/plot/png.hpp"
#include "tarvelo/plot/text.hpp"

namespace tarvelo::plot {

EnrichmentPlotData build_enrichment_plot_data(std::span<const double> scores,
                                              std::span<const uint64_t> hits, double gsea_param,
                                              ScoreType score_type, std::string pathway_name) {
  const uint64_t n = scores.size();
  const size_t k = hits.size();
  std::vector<double> w(k);
  double nr = 0.0;
  for (size_t j = 0; j < k; ++j) {
    w[j] = std::pow(std::fabs(scores[hits[j]]), gsea_param);
    nr += w[j];
  }
  if (nr == 0.0) {
    std::fill(w.begin(), w.end(), 1.0);
    nr = static_cast<double>(k);
  }
  const double miss = 1.0 / static_cast<double>(n - k);

  EnrichmentPlotData d;
  d.pathway_name = std::move(pathway_name);
  d.points.reserve(n + 1);
  d.points.emplace_back(0, 0.0);
  double running = 0.0;
  double max = -std::numeric_limits<double>::infinity();
  double min = std::numeric_limits<double>::infinity();
  size_t j = 0;
  for (uint64_t i = 1; i <= n; ++i) {
    if (j < k && hits[j] == i - 1) {
      running += w[j] / nr;
      ++j;
    } else {
      running -= miss;
    }
    d.points.emplace_back(i, running);
    max = std::fmax(max, running);
    min = std::fmin(min, running);
  }
  switch (score_type) {
    case ScoreType::kPos:
      d.es = max;
      break;
    case ScoreType::kNeg:
      d.es = min;
      break;
    case ScoreType::kStd:
      d.es = max > -min ? max : (max < -min ? min : 0.0);
      break;
  }
  d.hits.reserve(k);
  for (uint64_t h : hits) d.hits.push_back(h + 1);
  return d;
}

// Powers of ten come from pow, which is exact for the integer exponents used
// here; glibc's exp10 is off by an ulp for many negative exponents, which
// would show up in the step and in every tick value.
double nice_step(double range) {
  const double p = std::pow(10.0, std::floor(std::log10(range)));
  const double f = range / p;
  const double b = f <= 1.0 ? 1.0 : f <= 2.0 ? 2.0 : f <= 5.0 ? 5.0 : 10.0;
  const double raw = p * b / 5.0;
  const double p2 = std::pow(10.0, std::floor(std::log10(std::fabs(raw))));
  const double q = raw / p2;
  const double m = q < 1.5 ? 1.0 : q < 3.0 ? 2.0 : q < 7.0 ? 5.0 : 10.0;
  return p2 * m;
}

AxisTicks compute_axis_ticks(double ymin, double ymax) {
  AxisTicks a;
  auto from_zero = [&] {
    a.step = nice_step(std::fmax(ymax, 1e-12));
    a.lo = 0.0;
    a.hi = a.step * std::ceil(ymax / a.step);
  };
  auto to_zero = [&] {
    a.step = nice_step(std::fmax(-ymin, 1e-12));
    a.lo = a.step * std::floor(ymin / a.step);
    a.hi = 0.0;
  };
  if (ymin >= 0.0) {
    from_zero();
  } else if (ymax <= 0.0) {
    to_zero();
  } else if (-ymin / ymax <= 0.05) {
    from_zero();
  } else if (ymax / -ymin <= 0.05) {
    to_zero();
  } else {
    a.step = nice_step(ymax - ymin);
    a.lo = a.step * std::floor(ymin / a.step);
    a.hi = a.step * std::ceil(ymax / a.step);
  }
  const double limit = a.hi + a.step / 2.0;
  const double tiny = a.step * 1e-6;
  for (double t = a.lo; t <= limit;) {
    a.ticks.push_back(std::fabs(t) < tiny ? 0.0 : t);
    const double next = t + a.step;
    if (!(next > t)) break;  // cannot happen for a finite range; never loop forever
    t = next;
  }
  return a;
}

std::vector<std::string> tick_labels(const AxisTicks& axis) {
  int decimals = 0;
  if (axis.step < 1.0) {
    decimals = saturating_cast<int>(std::fmax(std::ceil(-std::log10(std::fabs(axis.step))), 0.0));
  }
  std::vector<std::string> labels;
  labels.reserve(axis.ticks.size());
  const double tiny = std::fabs(axis.step) * 1e-6;
  for (double t : axis.ticks) labels.push_back(format_fixed(std::fabs(t) < tiny ? 0.0 : t, decimals));
  return labels;
}

namespace {

// Layout and pixel geometry of one plot, in the units the drawing expects.
struct Layout {
  float s;
  int64_t W, H, L, top, plot_w, plot_h, right, bottom;
  uint64_t n;
  double lo, hi;
  int32_t R(float k) const { return round_to_i32(k * s); }
  float xmap(uint64_t i) const { return rank_to_x(i, n, plot_w, L); }
  float ymap(double v) const {
    const auto ratio = static_cast<float>((hi - v) / (hi - lo));
    return static_cast<float>(plot_h) * ratio + static_cast<float>(top);
  }
};

int32_t to_i32(int64_t v) { return saturating_cast<int32_t>(static_cast<double>(v)); }

}  // namespace

Result<Canvas> render_enrichment_plot(const RankedList& ranked,
                                      std::span<const std::string> pathway_genes,
                                      const EnrichmentPlotOptions& o) {
  if (!std::isfinite(o.width_inches) || !(o.width_inches > 0.0) ||
      !std::isfinite(o.height_inches) || !(o.height_inches > 0.0) || o.dpi == 0) {
    return Error("plot size in inches and dpi must be finite positive values");
  }
  auto pixels = [&](double inches) {
    const uint32_t v = saturating_cast<uint32_t>(round_half_away(inches * static_cast<double>(o.dpi)));
    return v < 1 ? uint32_t{1} : v;
  };
  const uint32_t W = pixels(o.width_inches);
  const uint32_t H = pixels(o.height_inches);
  if (W < 320 || H < 240) return Error("plot dimensions must be at least 320x240 pixels");
  if (ranked.empty()) return Error("ranks must not be empty");
  TARVELO_TRY(check_gsea_param(o.gsea_param));
  const algo_support::GeneIndex index = algo_support::build_gene_index(ranked);
  const std::vector<uint64_t> hits = algo_support::extract_pathway_hits(index, pathway_genes);
  const uint64_t n = ranked.size();
  if (hits.empty()) {
    return Error("pathway '" + o.pathway_name + "' has no genes present in the ranked list");
  }
  if (hits.size() == n) {
    return Error("pathway '" + o.pathway_name +
                 "' covers the full ranked list and cannot produce an enrichment curve");
  }
  const EnrichmentPlotData data =
      build_enrichment_plot_data(ranked.scores(), hits, o.gsea_param, o.score_type, o.pathway_name);

  // Value bounds. Non-finite points (infinite scores, an overflowing weight
  // sum) would slip through NaN-ignoring min/max and poison the layout.
  double ymin = std::fmin(0.0, data.es), ymax = std::fmax(0.0, data.es);
  bool finite = std::isfinite(data.es);
  for (const auto& [i, v] : data.points) {
    finite = finite && std::isfinite(v);
    ymin = std::fmin(ymin, v);
    ymax = std::fmax(ymax, v);
  }
  if (!finite || !std::isfinite(ymin) || !std::isfinite(ymax)) {
    return Error("failed to compute finite plot bounds");
  }
  if (std::fabs(ymax - ymin) < 1e-12) {
    ymin -= 0.1;
    ymax += 0.1;
  }
  const AxisTicks axis = compute_axis_ticks(ymin, ymax);
  const std::vector<std::string> labels = tick_labels(axis);

  Layout g;
  g.s = static_cast<float>(o.dpi) / 300.0f;
  g.W = W;
  g.H = H;
  g.L = g.R(122);
  g.top = g.R(90);
  g.plot_w = g.W - g.L - g.R(20);
  g.plot_h = g.H - g.top - g.R(80);
  if (g.plot_w < 1 || g.plot_h < 1) return Error("plot dimensions leave no drawable area");
  g.right = g.L + g.plot_w;
  g.bottom = g.top + g.plot_h;
  g.n = n;
  g.lo = axis.lo;
  g.hi = axis.hi;
  const float s = g.s;
  const float t_grey = std::clamp((static_cast<float>(o.dpi) - 300.0f) / 900.0f, 0.0f, 1.0f);
  const float grey_f = std::round(230.0f - 70.0f * t_grey);
  const auto grey_v = static_cast<uint8_t>(std::min(grey_f, 255.0f));
  const Rgba grey{grey_v, grey_v, grey_v, 255};
  const Rgba border{230, 230, 230, 255};
  const auto fL = static_cast<float>(g.L), fTop = static_cast<float>(g.top),
             fRight = static_cast<float>(g.right), fBottom = static_cast<float>(g.bottom);

  // 1. Background.
  TARVELO_ASSIGN_OR_RETURN(
      Canvas canvas,
      Canvas::create(W, H, o.transparent_background ? Rgba{255, 255, 255, 0} : Rgba{255, 255, 255, 255}));

  // 2. Axes and borders.
  draw_line_segment(canvas, fL, fTop, fL, fBottom, kBlack);
  draw_line_segment(canvas, fL, fBottom, fRight, fBottom, kBlack);
  draw_line_segment(canvas, fL, fTop, fRight, fTop, border);
  draw_line_segment(canvas, fRight, fTop, fRight, fBottom, border);

  // 3. Font and tick label widths.
  TARVELO_ASSIGN_OR_RETURN(FontPtr font, load_plot_font());
  const float label_size = 26.0f * s;
  const float title_size = 28.0f * s;
  std::vector<int64_t> label_w(labels.size());
  int64_t maxw = 0;
  for (size_t i = 0; i < labels.size(); ++i) {
    label_w[i] = font->text_size(label_size, labels[i]).first;
    maxw = std::max(maxw, label_w[i]);
  }

  const uint64_t x_ticks[5] = {0, n >> 2, n >> 1, (3 * n) >> 2, n};

  // 4. Vertical grid lines.
  for (uint64_t p : x_ticks) {
    draw_thick_line_segment(canvas, 0, grey, g.xmap(p), fTop, g.xmap(p), fBottom);
  }
  // 5. Horizontal grid lines.
  for (double t : axis.ticks) {
    if (std::fabs(t) >= 1e-12) {
      draw_thick_line_segment(canvas, 0, grey, fL, g.ymap(t), fRight, g.ymap(t));
    }
  }
  // 6. Zero line.
  draw_line_segment(canvas, fL, g.ymap(0.0), fRight, g.ymap(0.0), kBlack);

  // 7. Dashed enrichment-score line.
  const int32_t line_hw = g.R(1);
  {
    const Rgba red{220, 40, 40, 255};
    const float y = g.ymap(data.es);
    const float dash = 12.0f * s;
    const float gap = 8.0f * s;
    float x0 = fL;
    while (x0 < fRight) {
      const float x1 = std::fmin(x0 + dash, fRight);
      draw_thick_line_segment(canvas, line_hw, red, x0, y, x1, y);
      const float next = x1 + gap;
      if (!(next > x0)) break;  // the position stopped advancing in f32
      x0 = next;
    }
  }

  // 8. Running curve.
  {
    const Rgba green{0, 180, 0, 255};
    float px = g.xmap(0), py = g.ymap(data.points[0].second);
    for (uint64_t i = 0; i < n; ++i) {
      const float qx = g.xmap(i + 1), qy = g.ymap(data.points[i + 1].second);
      draw_thick_line_segment(canvas, line_hw, green, px, py, qx, qy);
      px = qx;
      py = qy;
    }
  }

  // 9. Hit bars straddling the bottom axis.
  {
    const Rgba bar{70, 70, 70, 255};
    const int64_t bw = std::max<int64_t>(g.R(2), 1);
    const float bar_top = fBottom - 24.0f * s;
    const float bar_bottom = fBottom + 18.0f * s;
    const int64_t top_y = round_to_i32(bar_top);
    const int64_t height = std::max<int64_t>(round_to_i32(bar_bottom - bar_top), 1);
    for (uint64_t h : data.hits) {
      const int64_t left = int64_t{round_to_i32(g.xmap(h))} - (bw >> 1);
      draw_filled_rect(canvas, left, top_y, static_cast<uint64_t>(bw), static_cast<uint64_t>(height),
                       bar);
    }
  }

  // 10. Y ticks and their labels, right-aligned left of the axis.
  const int64_t r7 = g.R(7), r12 = g.R(12);
  for (size_t i = 0; i < axis.ticks.size(); ++i) {
    const float y = g.ymap(axis.ticks[i]);
    draw_line_segment(canvas, static_cast<float>(g.L - r7), y, fL, y, kBlack);
    const int64_t lx = g.L - (r12 + label_w[i]);
    const int64_t ly = int64_t{round_to_i32(y)} - r12;
    font->draw_text(canvas, kBlack, to_i32(lx), to_i32(ly), label_size, labels[i]);
  }

  // 11. X ticks at 0, n/4, n/2, 3n/4 and n.
  {
    const int64_t r22 = g.R(22), r8 = g.R(8);
    const auto y0 = static_cast<float>(g.bottom + r22);
    const auto y1 = static_cast<float>(g.bottom + r22 + r7);
    const int64_t label_y = g.bottom + r22 + r7 + r8;
    for (uint64_t p : x_ticks) {
      const float x = g.xmap(p);
      draw_line_segment(canvas, x, y0, x, y1, kBlack);
      const std::string label = std::to_string(p);
      const int64_t lw = font->text_size(label_size, label).first;
      int64_t lx;
      if (p == 0) {
        lx = g.L;
      } else if (p == n) {
        lx = g.right - lw;
      } else {
        lx = int64_t{round_to_i32(x)} - lw / 2;
      }
      font->draw_text(canvas, kBlack, to_i32(lx), to_i32(label_y), label_size, label);
    }
  }

  // 12-13. Title and the horizontal axis title.
  const auto cx = to_i32(g.W / 2);
  if (o.title) draw_text_centered(canvas, *font, cx, g.R(24), *o.title, kBlack, title_size);
  draw_text_centered(canvas, *font, cx, to_i32(g.H - g.R(28)), "rank", kBlack, title_size);

  // 14. The vertical axis title.
  draw_vertical_text_centered(canvas, *font, to_i32(g.L - maxw - g.R(30)),
                              to_i32(g.top + (g.plot_h >> 1)), title_size);
  return canvas;
}

Status write_enrichment_plot_png(const RankedList& ranked,
                                 std::span<const std::string> pathway_genes,
                                 const std::string& output_path,
                                 const EnrichmentPlotOptions& options) {
  TARVELO_ASSIGN_OR_RETURN(Canvas canvas, render_enrichment_plot(ranked, pathway_genes, options));
  return save_png_with_dpi(canvas, output_path, options.dpi);
}

}  // namespace tarvelo::plot
