// Results table plot: the Lanczos3 reduction (fixtures from
// tools/gen_lanczos_fixtures.py, an f32 emulation with the C library's sinf),
// the table's rows and weights, its layout arithmetic, the order of its
// checks, and pixel facts of a small rendered table.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "fixture_util.hpp"
#include "tarvelo/plot/plot.hpp"

namespace tarvelo::plot {
namespace {

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TEST(PlotResizeTest, Lanczos3MatchesReference) {
  std::ifstream in(fixture::path("lanczos3_resize.txt"));
  ASSERT_TRUE(in) << "missing fixture";
  uint32_t w, h, nw, nh;
  int cases = 0;
  while (in >> w >> h >> nw >> nh) {
    std::string src_hex, want_hex;
    in >> src_hex >> want_hex;
    const std::vector<uint8_t> src = from_hex(src_hex), want = from_hex(want_hex);
    ASSERT_EQ(src.size(), size_t{w} * h * 4);
    Canvas c = std::move(Canvas::create(w, h, Rgba{})).value();
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* p = &src[(size_t{y} * w + x) * 4];
        c.put(x, y, Rgba{p[0], p[1], p[2], p[3]});
      }
    auto out = resize_lanczos3(c, nw, nh);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out->width(), nw);
    ASSERT_EQ(out->height(), nh);
    const std::vector<uint8_t> got(out->data(), out->data() + size_t{nw} * nh * 4);
    EXPECT_EQ(got, want) << w << "x" << h << " -> " << nw << "x" << nh;
    ++cases;
  }
  EXPECT_EQ(cases, 5);
}

TEST(PlotResizeTest, TapsAtTheBorders) {
  // Halving 16 samples: output 0 is centred at 1 (taps clipped to 0..6),
  // an inner output at 2o + 1 has 12 taps; weights sum to about 1.
  const ResampleTaps t = lanczos3_taps(16, 8);
  EXPECT_EQ(t.first[0], 0u);
  EXPECT_EQ(t.offset[1] - t.offset[0], 7u);
  EXPECT_EQ(t.first[4], 3u);
  EXPECT_EQ(t.offset[5] - t.offset[4], 12u);
  float sum = 0;
  for (uint32_t k = t.offset[4]; k < t.offset[5]; ++k) sum += t.weights[k];
  EXPECT_NEAR(sum, 1.0f, 1e-6f);
  EXPECT_EQ(lanczos3_kernel(0.0f), 1.0f);
  EXPECT_EQ(lanczos3_kernel(3.0f), 0.0f);
  EXPECT_EQ(lanczos3_kernel(-3.5f), 0.0f);
  // A flat image stays flat, alpha included.
  Canvas flat = std::move(Canvas::create(10, 6, Rgba{200, 100, 50, 128})).value();
  auto half = resize_lanczos3(flat, 5, 3);
  ASSERT_TRUE(half.ok());
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 5; ++x) EXPECT_EQ(half->get(x, y), (Rgba{200, 100, 50, 128}));
}

TEST(TablePlotTest, Labels) {
  EXPECT_EQ(table_label("cell_cycle%GO:0007049"), "cell cycle");
  EXPECT_EQ(table_label("%GO:1"), "");
  EXPECT_EQ(table_label("a_b_c"), "a b c");
  EXPECT_EQ(table_label("x%y%z"), "x");
}

EnrichmentResult row(std::string name, double nes, double pval, double padj) {
  EnrichmentResult r;
  r.pathway = std::move(name);
  r.nes = nes;
  r.pval = pval;
  r.padj = padj;
  return r;
}

TEST(TablePlotTest, RowsAndWeights) {
  // Scores 4, 2, -1, -3 (already ranked) with p = 1: weights divided by 4.
  const RankedList ranked({"a", "b", "c", "d"}, {4, 2, -1, -3});
  const std::vector<Pathway> pathways{
      {"UP_ONE%x", {"b", "a", "zz", "a"}, {}},
      {"NONE", {"zz"}, {}},  // no ranked gene: skipped, needs no result row
      {"DOWN", {"d"}, {}},
  };
  const std::vector<EnrichmentResult> results{row("UP_ONE%x", 1.5, 0.01, 0.02),
                                              row("DOWN", -1.0, 0.5, 0.6),
                                              row("UP_ONE%x", 2.5, 0.001, 0.003)};
  auto d = build_gsea_table_plot_data(ranked, pathways, results, 1.0);
  ASSERT_TRUE(d.ok()) << d.error().message();
  EXPECT_EQ(d->n, 4u);
  EXPECT_EQ(d->wmin, -0.75);
  EXPECT_EQ(d->wmax, 1.0);
  EXPECT_EQ(d->ticks, (std::array<uint64_t, 5>{0, 1, 2, 3, 4}));
  ASSERT_EQ(d->rows.size(), 2u);
  const GseaTablePlotRow& up = d->rows[0];
  EXPECT_EQ(up.label, "UP ONE");
  EXPECT_EQ(up.hits, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(up.weights, (std::vector<double>{1.0, 0.5}));
  EXPECT_EQ(up.nes, 2.5);  // the later row of the same name wins
  EXPECT_EQ(up.pval, 0.001);
  EXPECT_EQ(up.padj, 0.003);
  EXPECT_EQ(d->rows[1].hits, (std::vector<uint64_t>{4}));
  EXPECT_EQ(d->rows[1].weights, (std::vector<double>{-0.75}));

  // gseaParam 0: every weight is +-1 by sign, -0.0 included; NaN stays NaN
  // and is left out of M, wmin and wmax.
  const RankedList odd({"a", "b", "c"}, {0.5, -0.0, NAN});
  auto z = build_gsea_table_plot_data(odd, std::vector<Pathway>{{"P", {"a", "b", "c"}, {}}},
                                      std::vector<EnrichmentResult>{row("P", 1, 1, 1)}, 0.0);
  ASSERT_TRUE(z.ok());
  const auto& w = z->rows[0].weights;
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(z->wmin, -1.0);
  EXPECT_EQ(z->wmax, 1.0);
  EXPECT_EQ(std::count_if(w.begin(), w.end(), [](double v) { return std::isnan(v); }), 1);
  // Only NaN scores: M stays 0 and nothing is divided.
  const RankedList nan_only({"a"}, {NAN});
  EXPECT_TRUE(build_gsea_table_plot_data(nan_only, std::vector<Pathway>{{"P", {"a"}, {}}},
                                         std::vector<EnrichmentResult>{row("P", 1, 1, 1)}, 1.0)
                  .ok());
}

std::string message_of(const Result<Canvas>& c) { return c.ok() ? "ok" : c.error().message(); }

TEST(TablePlotTest, ChecksInOrder) {
  const RankedList ranked({"a", "b", "c", "d"}, {4, 2, -1, -3});
  const std::vector<Pathway> pathways{{"P", {"a", "c"}, {}}};
  const std::vector<EnrichmentResult> results{row("P", 1.2, 0.01, 0.04)};
  const std::vector<Pathway> no_pathways;
  auto msg = [&](const RankedList& r, std::span<const Pathway> p, std::span<const EnrichmentResult> res,
                 auto tweak) {
    TablePlotOptions o;
    tweak(o);
    return message_of(render_gsea_table_plot(r, p, res, o));
  };
  auto none = [](TablePlotOptions&) {};
  EXPECT_EQ(msg(ranked, pathways, results, none), "ok");
  const std::string size = "plot size in inches and dpi must be finite positive values";
  EXPECT_EQ(msg(RankedList(), no_pathways, {}, [](auto& o) { o.dpi = 0; }), size);
  EXPECT_EQ(msg(RankedList(), no_pathways, {}, [](auto& o) { o.width_inches = INFINITY; }), size);
  EXPECT_EQ(msg(RankedList(), no_pathways, {}, [](auto& o) { o.height_inches = 0.0; }), size);
  EXPECT_EQ(msg(RankedList(), no_pathways, {}, [](auto& o) { o.height_inches = NAN; }), size);
  EXPECT_EQ(msg(RankedList(), no_pathways, {}, none), "ranks must not be empty");
  EXPECT_EQ(msg(ranked, no_pathways, {}, [](auto& o) { o.gsea_param = -1; }),
            "pathways must not be empty");
  EXPECT_EQ(msg(ranked, pathways, {}, [](auto& o) { o.gsea_param = NAN; }),
            "gsea_param must be a finite value greater than or equal to 0");
  const RankedList inf({"a", "b"}, {INFINITY, 1.0});
  EXPECT_EQ(msg(inf, pathways, {}, none), "failed to compute finite adjusted stats");
  // With p = 0 the infinite score weighs 1 like any other.
  EXPECT_EQ(msg(inf, pathways, {}, [](auto& o) { o.gsea_param = 0; }),
            "pathway 'P' missing from ruvex results");
  EnrichmentResult no_nes = row("P", 0, 0, 0);
  no_nes.nes.reset();
  EXPECT_EQ(msg(ranked, pathways, std::vector<EnrichmentResult>{no_nes}, none),
            "pathway 'P' is missing NES in ruvex results");
  EnrichmentResult no_padj = row("P", 0, 0, 0);
  no_padj.padj.reset();
  EXPECT_EQ(msg(ranked, pathways, std::vector<EnrichmentResult>{no_padj}, none),
            "pathway 'P' is missing padj in ruvex results");
  const std::vector<Pathway> unranked{{"Q", {"zz"}, {}}};
  EXPECT_EQ(msg(ranked, unranked, {}, none),
            "none of the requested pathways have genes present in the ranked list");
  EXPECT_EQ(msg(ranked, pathways, results, [](auto& o) { o.dpi = 100; }),
            "plot height must be at least 180 pixels");
  EXPECT_EQ(msg(ranked, pathways, results, [](auto& o) { o.height_inches = 0.59; }),
            "plot height must be at least 180 pixels");
  EXPECT_EQ(msg(ranked, pathways, results, [](auto& o) { o.height_inches = 0.6; }), "ok");
  // The table is drawn at twice its size, so a quarter of the pixel budget
  // is left for the image the caller asked for; the message names that image.
  EXPECT_EQ(msg(ranked, pathways, results, [](auto& o) { o.width_inches = 100; o.height_inches = 100; }),
            "plot of 30000x30000 pixels exceeds the limit of 67108864 pixels");
  // A huge dpi saturates the layout lengths instead of overflowing them.
  EXPECT_NE(msg(ranked, pathways, results, [](auto& o) { o.dpi = 4000000000u; })
                .find("x2800000000 pixels exceeds the limit"),
            std::string::npos);
}

TEST(TablePlotTest, LayoutArithmetic) {
  TablePlotOptions o;
  // Height from the row count: 132 + 48 per extra row at 300 dpi, at least
  // 0.7 inches.
  auto one = compute_table_layout(1, 21, o);
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(one->height, 210);
  EXPECT_EQ(compute_table_layout(3, 21, o)->height, 228);
  EXPECT_EQ(compute_table_layout(10, 21, o)->height, 564);
  o.dpi = 100;
  EXPECT_EQ(compute_table_layout(1, 21, o).error().message(),
            "plot height must be at least 180 pixels");
  o.dpi = 300;
  // Default width: Wreq 1680, fixed 262 + labelw, gene0 350, pad 18.
  for (int64_t labelw : {0, 21, 1050}) {
    auto g = compute_table_layout(1, labelw, o);
    ASSERT_TRUE(g.ok());
    EXPECT_EQ(g->width, 1680);
    EXPECT_EQ(g->pad, 18);
    EXPECT_EQ(g->gene_left, 18 + labelw + 40);
    const int64_t extra = 1680 - (350 + 262 + labelw);
    EXPECT_EQ(g->gene_width, 350 + extra - 18);
    // Columns sum to the width: gene area, three 70-pixel value columns and
    // the right margin follow gl.
    EXPECT_EQ(g->gene_left + g->gene_width + 3 * 70 + 12, g->width);
    EXPECT_EQ(g->rows_bottom, 94);
  }
  // A label too wide for the requested width widens the image.
  auto wide = compute_table_layout(1, 1300, o);
  EXPECT_EQ(wide->width, 220 + 262 + 1300);
  EXPECT_EQ(wide->pad, 0);
  EXPECT_EQ(wide->gene_width, 220);
  // A tiny requested width still gives at least 520 pixels.
  o.width_inches = 0.5;
  auto narrow = compute_table_layout(1, 0, o);
  EXPECT_EQ(narrow->width, 520);
  EXPECT_EQ(narrow->pad, 18);  // extra = 520 - 482 = 38
  EXPECT_EQ(narrow->gene_width, 220 + 38 - 18);
  // At 600 dpi every length doubles.
  o.width_inches = 5.6;
  o.dpi = 600;
  auto big = compute_table_layout(1, 42, o);
  EXPECT_EQ(big->height, 420);
  EXPECT_EQ(big->width, 3360);
  EXPECT_EQ(big->gene_left, 36 + 42 + 80);
}

TEST(TablePlotTest, BarcodePixels) {
  // Weights 1, 0.5, -0.25, -0.75; the pathway holds ranks 1 and 4. On the 2x
  // canvas row 0 spans y 92..188 with its baseline at 140; the label "P" is
  // 13 pixels wide at 22 px, so gl = 71 and gw = 1387, rank 1 lies at x 835.5
  // and rank 4 at 2916. In the final image the first bar covers
  // x 416.5..419.5 from y 46 to 70 and the second x 1456.5..1459.5 from y 70
  // to 88.
  const RankedList ranked({"a", "b", "c", "d"}, {4, 2, -1, -3});
  const std::vector<Pathway> pathways{{"P", {"a", "d"}, {}}};
  const std::vector<EnrichmentResult> results{row("P", 1.2, 0.01, 0.04)};
  TablePlotOptions o;
  auto font = load_plot_font();
  ASSERT_TRUE(font.ok());
  ASSERT_EQ((*font)->text_size(22.0f, "P").first, 13u);
  auto c = render_gsea_table_plot(ranked, pathways, results, o);
  ASSERT_TRUE(c.ok()) << c.error().message();
  ASSERT_EQ(c->width(), 1680u);
  ASSERT_EQ(c->height(), 210u);
  auto dark = [&](uint32_t x, uint32_t y) { return c->get(x, y).r < 80; };
  auto light = [&](uint32_t x, uint32_t y) { return c->get(x, y).r > 230; };
  EXPECT_TRUE(dark(418, 48));
  EXPECT_TRUE(dark(418, 68));
  EXPECT_TRUE(light(418, 43));
  EXPECT_TRUE(light(418, 73));
  EXPECT_TRUE(dark(1458, 72));
  EXPECT_TRUE(dark(1458, 86));
  EXPECT_TRUE(light(1458, 66));
  EXPECT_TRUE(light(1458, 91));
  // Nothing between the bars but the rank axis below the row (2x y 198).
  for (uint32_t y = 40; y < 95; ++y) EXPECT_TRUE(light(900, y)) << y;
  EXPECT_TRUE(c->get(900, 99).r < 200);
  EXPECT_EQ(c->get(0, 0), (Rgba{255, 255, 255, 255}));
  EXPECT_EQ(c->get(1679, 209), (Rgba{255, 255, 255, 255}));

  o.transparent_background = true;
  auto t = render_gsea_table_plot(ranked, pathways, results, o);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->get(0, 0), (Rgba{255, 255, 255, 0}));
  EXPECT_EQ(t->get(418, 60).a, 255);
}

}  // namespace
}  // namespace tarvelo::plot
