// Plot raster primitives, text measuring, number formatting, PNG output and the
// enrichment-curve plot. Expected pixels are derived by hand from the line,
// blend and layout rules; the text widths come from the font's hmtx advances.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tarvelo/plot/plot.hpp"

namespace tarvelo::plot {
namespace {

constexpr Rgba kWhite{255, 255, 255, 255};

// The set of pixels that differ from `bg`.
std::set<std::pair<int, int>> touched(const Canvas& c, Rgba bg) {
  std::set<std::pair<int, int>> out;
  for (uint32_t y = 0; y < c.height(); ++y) {
    for (uint32_t x = 0; x < c.width(); ++x) {
      if (!(c.get(x, y) == bg)) out.insert({static_cast<int>(x), static_cast<int>(y)});
    }
  }
  return out;
}

Canvas white(uint32_t w, uint32_t h) { return std::move(Canvas::create(w, h, kWhite)).value(); }

std::string temp_path(const char* name) {
  return testing::TempDir() + "tarvelo_plot_" + std::to_string(::getpid()) + "_" + name;
}

std::vector<unsigned char> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TEST(PlotLineTest, BresenhamTruncatesEndPoints) {
  Canvas c = white(8, 8);
  draw_line_segment(c, 0.7f, 0.2f, 5.9f, 2.9f, kBlack);
  // Start (0, 0), end column trunc(5.9) = 5, error 2.6 decreasing by 2.7.
  const std::set<std::pair<int, int>> want{{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3}};
  EXPECT_EQ(touched(c, kWhite), want);

  // Reversed end points walk the same pixels.
  Canvas r = white(8, 8);
  draw_line_segment(r, 5.9f, 2.9f, 0.7f, 0.2f, kBlack);
  EXPECT_EQ(touched(r, kWhite), want);
}

TEST(PlotLineTest, BresenhamSteepAndClipped) {
  Canvas c = white(8, 8);
  draw_line_segment(c, 1.0f, 0.0f, 3.0f, 6.5f, kBlack);
  const std::set<std::pair<int, int>> want{{1, 0}, {1, 1}, {2, 2}, {2, 3}, {2, 4}, {3, 5}, {3, 6}};
  EXPECT_EQ(touched(c, kWhite), want);

  // A line mostly off the canvas draws only its on-canvas pixels.
  Canvas d = white(8, 8);
  draw_line_segment(d, -100.0f, 3.0f, 100.0f, 3.0f, kBlack);
  EXPECT_EQ(touched(d, kWhite).size(), 8u);
  draw_line_segment(d, -1e4f, -5.0f, 1e4f, -5.0f, kBlack);
  EXPECT_EQ(touched(d, kWhite).size(), 8u);
}

TEST(PlotLineTest, WuWeightsTruncate) {
  Canvas c = white(8, 8);
  draw_antialiased_line_segment(c, 0, 0, 4, 1, kBlack);
  auto v = [&](uint32_t x, uint32_t y) { return c.get(x, y).r; };
  // fy steps by 0.25; 255 * 0.25 = 63.75 truncates to 63.
  EXPECT_EQ(v(0, 0), 0);
  EXPECT_EQ(v(0, 1), 255);
  EXPECT_EQ(v(1, 0), 63);
  EXPECT_EQ(v(1, 1), 191);
  EXPECT_EQ(v(2, 0), 127);
  EXPECT_EQ(v(2, 1), 127);
  EXPECT_EQ(v(3, 0), 191);
  EXPECT_EQ(v(3, 1), 63);
  EXPECT_EQ(v(4, 1), 0);
  EXPECT_EQ(v(4, 2), 255);
  EXPECT_EQ(c.get(1, 0).a, 255);

  // Steep lines are the transposed walk.
  Canvas t = white(8, 8);
  draw_antialiased_line_segment(t, 0, 0, 1, 4, kBlack);
  for (uint32_t y = 0; y < 8; ++y) {
    for (uint32_t x = 0; x < 8; ++x) EXPECT_EQ(t.get(x, y), c.get(y, x)) << x << "," << y;
  }

  // Alpha mixes like a colour; NaN weights saturate.
  EXPECT_EQ(interpolate(Rgba{0, 0, 0, 255}, Rgba{255, 255, 255, 0}, 0.5f),
            (Rgba{127, 127, 127, 127}));
  EXPECT_EQ(interpolate(kBlack, kWhite, std::nanf("")), kWhite);
  EXPECT_EQ(interpolate(kBlack, kWhite, 1.5f), (Rgba{0, 0, 0, 255}));
}

TEST(PlotLineTest, ThickLineBundles) {
  // Zero length: one pixel in the line colour whatever the half-width.
  Canvas z = white(8, 8);
  draw_thick_line_segment(z, 3, kBlack, 3.4f, 3.6f, 3.4f, 3.6f);
  EXPECT_EQ(touched(z, kWhite), (std::set<std::pair<int, int>>{{3, 4}}));
  EXPECT_EQ(z.get(3, 4), kBlack);

  // Horizontal, half-width 1: rows 3, 4, 5 (normal (0, 1)), end points rounded
  // half away from zero (0.5 -> 1, 5.5 -> 6).
  Canvas h = white(8, 8);
  draw_thick_line_segment(h, 1, kBlack, 0.5f, 4.0f, 5.5f, 4.0f);
  std::set<std::pair<int, int>> want;
  for (int y = 3; y <= 5; ++y) {
    for (int x = 1; x <= 6; ++x) want.insert({x, y});
  }
  EXPECT_EQ(touched(h, kWhite), want);

  // A negative half-width draws nothing; zero draws the centre line only.
  Canvas n = white(8, 8);
  draw_thick_line_segment(n, -1, kBlack, 0.0f, 0.0f, 7.0f, 7.0f);
  EXPECT_TRUE(touched(n, kWhite).empty());
  draw_thick_line_segment(n, 0, kBlack, 0.0f, 0.0f, 7.0f, 7.0f);
  EXPECT_EQ(touched(n, kWhite).size(), 8u);

  // Overlapping lines of one bundle blend with each other: the diagonal's
  // neighbours get several partial hits.
  Canvas d = white(16, 16);
  draw_thick_line_segment(d, 1, Rgba{0, 180, 0, 255}, 2.0f, 2.0f, 12.0f, 6.0f);
  EXPECT_FALSE(touched(d, kWhite).empty());
}

TEST(PlotCanvasTest, RectangleClippingAndBudget) {
  Canvas c = white(8, 8);
  draw_filled_rect(c, -2, 5, 4, 10, kBlack);
  std::set<std::pair<int, int>> want;
  for (int y = 5; y < 8; ++y) {
    for (int x = 0; x < 2; ++x) want.insert({x, y});
  }
  EXPECT_EQ(touched(c, kWhite), want);
  draw_filled_rect(c, 9, 0, 4, 4, kBlack);
  draw_filled_rect(c, 0, -10, 8, 10, kBlack);
  EXPECT_EQ(touched(c, kWhite), want);

  auto big = Canvas::create(1u << 15, (1u << 13) + 1, kWhite);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().message(), "plot of 32768x8193 pixels exceeds the limit of 268435456 pixels");
  EXPECT_TRUE(check_pixel_budget(1u << 14, 1u << 14).ok());
  EXPECT_FALSE(check_pixel_budget(UINT32_MAX, UINT32_MAX).ok());
}

TEST(PlotCanvasTest, SourceOverBlend) {
  EXPECT_EQ(blend_over(kWhite, Rgba{0, 0, 0, 0}), kWhite);
  EXPECT_EQ(blend_over(kWhite, kBlack), kBlack);
  // On an opaque background the f32 alpha sometimes lands just below 1.
  int alpha_254 = 0;
  for (int a = 1; a < 255; ++a) {
    const Rgba out = blend_over(kWhite, Rgba{0, 0, 0, static_cast<uint8_t>(a)});
    EXPECT_GE(out.a, 254);
    alpha_254 += out.a == 254;
  }
  EXPECT_EQ(alpha_254, 32);
  EXPECT_EQ(blend_over(Rgba{0, 0, 0, 0}, Rgba{0, 0, 0, 128}).a, 128);
}

TEST(PlotTextTest, MeasuringMatchesFontAdvances) {
  auto font = load_plot_font();
  ASSERT_TRUE(font.ok()) << font.error().message();
  const Font& f = **font;
  EXPECT_EQ(f.ascender(), 1984);
  EXPECT_EQ(f.descender(), -494);
  const struct {
    float size;
    const char* text;
    uint32_t w, h;
  } cases[] = {{26, "0.0", 35, 26},  {26, "0.2", 34, 26},         {26, "-0.2", 44, 26},
               {26, "20000", 69, 26}, {28, "enrichment score", 193, 28}, {22, "P1", 21, 22},
               {22, "cell cycle", 82, 22}, {44, "cell cycle", 163, 44}, {52, "Pathway", 176, 52}};
  for (const auto& c : cases) {
    EXPECT_EQ(f.text_size(c.size, c.text), std::make_pair(c.w, c.h)) << c.text << " @" << c.size;
  }
  EXPECT_EQ(f.text_size(26, ""), std::make_pair(0u, 0u));
  // Unmapped characters measure with glyph 0.
  EXPECT_GT(f.text_size(26, "\xee\x80\x80").first, 1u);
  // The same font object is returned every time.
  EXPECT_EQ(load_plot_font()->get(), font->get());
}

TEST(PlotTextTest, TextIsClippedAndComposited) {
  const Font& f = **load_plot_font();
  Canvas c = white(120, 60);
  f.draw_text(c, kBlack, -10, -5, 40, "Wg");
  f.draw_text(c, kBlack, 100, 50, 40, "Wg");
  f.draw_text(c, kBlack, 100000, 100000, 40, "Wg");
  bool dark = false;
  for (uint32_t y = 0; y < c.height(); ++y) {
    for (uint32_t x = 0; x < c.width(); ++x) {
      EXPECT_GE(c.get(x, y).a, 254);
      dark = dark || c.get(x, y).r == 0;
    }
  }
  EXPECT_TRUE(dark);

  // The rotated title composites like horizontal text: nothing below alpha
  // 254 on an opaque canvas, and it reads vertically (taller than wide).
  Canvas v = white(100, 300);
  draw_vertical_text_centered(v, f, 50, 150, 28);
  int min_x = 1000, max_x = -1, min_y = 1000, max_y = -1;
  for (uint32_t y = 0; y < v.height(); ++y) {
    for (uint32_t x = 0; x < v.width(); ++x) {
      const Rgba p = v.get(x, y);
      EXPECT_GE(p.a, 254);
      if (p.r < 128) {
        min_x = std::min<int>(min_x, x);
        max_x = std::max<int>(max_x, x);
        min_y = std::min<int>(min_y, y);
        max_y = std::max<int>(max_y, y);
      }
    }
  }
  EXPECT_GT(max_y - min_y, 150);
  EXPECT_LT(max_x - min_x, 35);
  // The 209 x 44 scratch box centred on (50, 150) spans rows 46..254.
  EXPECT_GE(min_y, 46);
  EXPECT_LE(max_y, 254);

  // Near and past every edge: only the visible part is drawn.
  for (auto [cx, cy] : {std::pair{0, 0}, {99, 299}, {-30, 150}, {130, 150}, {-100000, 5}}) {
    Canvas e = white(100, 300);
    draw_vertical_text_centered(e, f, cx, cy, 28);
  }
  // A transparent canvas receives straight black with coverage alpha.
  Canvas t = std::move(Canvas::create(100, 300, Rgba{255, 255, 255, 0})).value();
  draw_vertical_text_centered(t, f, 50, 150, 28);
  EXPECT_EQ(t.get(0, 0), (Rgba{255, 255, 255, 0}));
}

TEST(PlotTextTest, FontFallbackOrder) {
  const std::vector<unsigned char> garbage(1000, 0x5a);
  const std::span<const uint8_t> bad(garbage.data(), garbage.size());
  const std::string copy = temp_path("font.ttf");
  {
    std::ofstream out(copy, std::ios::binary);
    const auto bytes = embedded_font_bytes();
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  const std::string junk = temp_path("junk.ttf");
  std::ofstream(junk) << "not a font";
  const char* old = std::getenv("TARVELO_PLOT_FONT");
  const std::string saved = old != nullptr ? old : "";

  // Intact embedded bytes win without looking at the environment.
  ::setenv("TARVELO_PLOT_FONT", "/nonexistent/font.ttf", 1);
  EXPECT_TRUE(load_font_from_sources(embedded_font_bytes(), {}).ok());

  // A corrupt embedded font falls back to the environment's file...
  ::setenv("TARVELO_PLOT_FONT", copy.c_str(), 1);
  auto from_env = load_font_from_sources(bad, {});
  ASSERT_TRUE(from_env.ok());
  EXPECT_EQ((*from_env)->text_size(26, "0.0").first, 35u);
  // ...then to the fixed list, skipping unreadable and unparsable files...
  ::setenv("TARVELO_PLOT_FONT", junk.c_str(), 1);
  const std::vector<std::string> paths{"/nonexistent/a.ttf", junk, copy};
  EXPECT_TRUE(load_font_from_sources(bad, paths).ok());
  // ...and finally to the fixed error text.
  ::unsetenv("TARVELO_PLOT_FONT");
  auto none = load_font_from_sources(bad, std::span(paths).first(2));
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().message(),
            "failed to load a plotting font; set TARVELO_PLOT_FONT to a readable .ttf/.otf file");

  if (old != nullptr) ::setenv("TARVELO_PLOT_FONT", saved.c_str(), 1);
  std::remove(copy.c_str());
  std::remove(junk.c_str());
}

TEST(PlotFormatTest, ScientificValues) {
  const std::pair<double, const char*> cases[] = {
      {0.00012, "1.2e-4"}, {12000, "1.2e4"},      {5, "5.0e0"},     {1.5e-12, "1.5e-12"},
      {3.4e15, "3.4e15"},  {-0.003, "-3.0e-3"},   {1e-100, "1.0e-100"}, {0.0996, "10.0e-2"},
      {9.96, "10.0e0"},    {1, "1.0e0"},          {0.05, "5.0e-2"}, {2.5e-10, "2.5e-10"},
      {0.0, "0"},          {-0.0, "0"},           {NAN, "NA"},      {INFINITY, "NA"},
      {-INFINITY, "NA"},   {1.7976931348623157e308, "1.8e308"},
      // Subnormal and near-subnormal p-values keep a correct mantissa.
      {5e-324, "4.9e-324"}, {1e-310, "1.0e-310"}, {2.5e-308, "2.5e-308"}, {-3e-320, "-3.0e-320"},
      // Down to 1e-308 the reciprocal power of ten is still finite and is
      // used as is, rounding of the subnormal 1e-308 included (1.45e-308 is
      // stored as 1.4500...02e-308 yet divides to 1.4499...).
      {1.35e-308, "1.3e-308"}, {1.45e-308, "1.4e-308"},
  };
  for (const auto& [v, want] : cases) EXPECT_EQ(format_scientific_value(v), want) << v;
}

TEST(PlotFormatTest, TicksAndLabels) {
  // pow(10, k) is the exact power of ten the step rule relies on.
  for (int k = -20; k <= 20; ++k) {
    EXPECT_EQ(std::pow(10.0, static_cast<double>(k)), std::strtod(("1e" + std::to_string(k)).c_str(), nullptr)) << k;
  }
  AxisTicks two = compute_axis_ticks(-0.2, 0.6);
  EXPECT_DOUBLE_EQ(two.step, 0.2);
  EXPECT_DOUBLE_EQ(two.lo, -0.2);
  EXPECT_DOUBLE_EQ(two.hi, 0.6000000000000001);
  EXPECT_EQ(tick_labels(two), (std::vector<std::string>{"-0.2", "0.0", "0.2", "0.4", "0.6"}));
  EXPECT_EQ(two.ticks[1], 0.0);

  // Small negative excursions keep the axis at zero; the cases are tested in order.
  AxisTicks from_zero = compute_axis_ticks(-0.04, 1.0);
  EXPECT_EQ(from_zero.lo, 0.0);
  EXPECT_EQ(tick_labels(from_zero).front(), "0.0");
  AxisTicks to_zero = compute_axis_ticks(-0.7, 0.01);
  EXPECT_EQ(to_zero.hi, 0.0);
  EXPECT_EQ(tick_labels(to_zero), (std::vector<std::string>{"-0.8", "-0.6", "-0.4", "-0.2", "0.0"}));
  EXPECT_EQ(tick_labels(compute_axis_ticks(0.0, 0.12)).back(), "0.15");
  EXPECT_EQ(tick_labels(compute_axis_ticks(0.0, 4.0)), (std::vector<std::string>{"0", "1", "2", "3", "4"}));
}

// Chunk types of a PNG file, in order, after checking the signature.
std::vector<std::string> chunk_types(const std::vector<unsigned char>& b, uint32_t* ppm_x,
                                     uint32_t* ppm_y, int* unit) {
  std::vector<std::string> out;
  EXPECT_GE(b.size(), 8u);
  EXPECT_EQ(std::memcmp(b.data(), "\x89PNG\r\n\x1a\n", 8), 0);
  auto u32 = [&](size_t i) {
    return (uint32_t{b[i]} << 24) | (uint32_t{b[i + 1]} << 16) | (uint32_t{b[i + 2]} << 8) | b[i + 3];
  };
  for (size_t i = 8; i + 12 <= b.size();) {
    const uint32_t len = u32(i);
    const std::string type(reinterpret_cast<const char*>(&b[i + 4]), 4);
    if (type == "pHYs") {
      *ppm_x = u32(i + 8);
      *ppm_y = u32(i + 12);
      *unit = b[i + 16];
    }
    out.push_back(type);
    i += 12 + size_t{len};
  }
  return out;
}

TEST(PlotPngTest, ChunksPhysAndPixels) {
  Canvas c = std::move(Canvas::create(5, 3, Rgba{255, 255, 255, 0})).value();
  c.put(0, 0, Rgba{1, 2, 3, 4});
  c.put(4, 2, Rgba{250, 0, 128, 255});
  const std::string path = temp_path("chunks.png");
  for (auto [dpi, want] : {std::pair{300u, 11811u}, {1u, 39u}, {72u, 2835u}, {96u, 3780u}}) {
    ASSERT_TRUE(save_png_with_dpi(c, path, dpi).ok());
    uint32_t px = 0, py = 0;
    int unit = -1;
    const auto types = chunk_types(read_file(path), &px, &py, &unit);
    ASSERT_GE(types.size(), 4u);
    EXPECT_EQ(types[0], "IHDR");
    EXPECT_EQ(types[1], "pHYs");
    EXPECT_EQ(types.back(), "IEND");
    for (size_t i = 2; i + 1 < types.size(); ++i) EXPECT_EQ(types[i], "IDAT");
    EXPECT_EQ(px, want);
    EXPECT_EQ(py, want);
    EXPECT_EQ(unit, 1);
  }
  EXPECT_EQ(pixels_per_metre(UINT32_MAX), UINT32_MAX);

  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&img, path.c_str()));
  EXPECT_EQ(img.width, 5u);
  EXPECT_EQ(img.height, 3u);
  img.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> px(PNG_IMAGE_SIZE(img));
  ASSERT_TRUE(png_image_finish_read(&img, nullptr, px.data(), 0, nullptr));
  EXPECT_EQ(std::vector<uint8_t>(px.begin(), px.end()), std::vector<uint8_t>(c.data(), c.data() + px.size()));
  std::remove(path.c_str());
}

TEST(PlotPngTest, ErrorTexts) {
  Canvas c = white(4, 4);
  auto missing = save_png_with_dpi(c, "/nonexistent-dir/x.png", 300);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");

  auto nul = save_png_with_dpi(c, std::string("a\0b.png", 7), 300);
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().kind(), Error::Kind::kOs);
  EXPECT_EQ(nul.error().message(), "file name contained an unexpected NUL byte");
  EXPECT_FALSE(std::ifstream("a").good());

  // The whole small PNG sits in the buffer until the final flush, which must
  // not fail silently.
  if (std::ifstream("/dev/full").good()) {
    auto full = save_png_with_dpi(c, "/dev/full", 300);
    ASSERT_FALSE(full.ok());
    EXPECT_EQ(full.error().message(), "No space left on device (os error 28)");
  }
}

RankedList ranked_of(size_t n) {
  std::vector<std::string> genes;
  std::vector<double> scores;
  for (size_t i = 0; i < n; ++i) {
    genes.push_back("g" + std::to_string(i));
    scores.push_back(static_cast<double>(n - i) - static_cast<double>(n) / 2.0);
  }
  return RankedList(std::move(genes), std::move(scores));
}

TEST(EnrichmentPlotTest, RunningSum) {
  // Hits at ranked positions 0 and 2 of 4 with scores 3, 2, 1, 0 (|s|^1).
  const std::vector<double> scores{3, 2, 1, 0};
  const std::vector<uint64_t> hits{0, 2};
  auto d = build_enrichment_plot_data(scores, hits, 1.0, ScoreType::kStd, "p");
  ASSERT_EQ(d.points.size(), 5u);
  EXPECT_EQ(d.points[1].second, 0.75);
  EXPECT_EQ(d.points[2].second, 0.25);
  EXPECT_EQ(d.points[3].second, 0.5);
  EXPECT_EQ(d.points[4].second, 0.0);
  EXPECT_EQ(d.es, 0.75);
  EXPECT_EQ(d.hits, (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(build_enrichment_plot_data(scores, hits, 1.0, ScoreType::kNeg, "p").es, 0.0);
  // All-zero weights: each hit steps by 1 / k.
  const std::vector<double> zeros{0, 0, 0};
  auto z = build_enrichment_plot_data(zeros, std::vector<uint64_t>{1}, 1.0, ScoreType::kStd, "p");
  EXPECT_EQ(z.points[2].second, 0.5);
  // max == -min gives 0 under std.
  const std::vector<double> sym{1, 1, 1};  // points -0.5, 0.5, 0
  EXPECT_EQ(build_enrichment_plot_data(sym, std::vector<uint64_t>{1}, 1.0, ScoreType::kStd, "p").es, 0.0);
}

TEST(EnrichmentPlotTest, ChecksInOrder) {
  const RankedList ranked = ranked_of(20);
  const std::vector<std::string> genes{"g1", "g5", "missing"};
  auto msg = [&](const RankedList& r, std::span<const std::string> g, EnrichmentPlotOptions o) {
    auto c = render_enrichment_plot(r, g, o);
    return c.ok() ? std::string("ok") : c.error().message();
  };
  EnrichmentPlotOptions o;
  EXPECT_EQ(msg(ranked, genes, o), "ok");
  auto with = [&](auto f) {
    EnrichmentPlotOptions x;
    f(x);
    return x;
  };
  const std::string size_msg = "plot size in inches and dpi must be finite positive values";
  EXPECT_EQ(msg(RankedList(), genes, with([](auto& x) { x.dpi = 0; })), size_msg);
  EXPECT_EQ(msg(ranked, genes, with([](auto& x) { x.width_inches = NAN; })), size_msg);
  EXPECT_EQ(msg(ranked, genes, with([](auto& x) { x.height_inches = -1; })), size_msg);
  const std::string small_msg = "plot dimensions must be at least 320x240 pixels";
  EXPECT_EQ(msg(RankedList(), genes, with([](auto& x) { x.width_inches = 1.0; x.dpi = 319; })), small_msg);
  EXPECT_EQ(msg(RankedList(), genes, o), "ranks must not be empty");
  EXPECT_EQ(msg(ranked, genes, with([](auto& x) { x.gsea_param = -0.5; })),
            "gsea_param must be a finite value greater than or equal to 0");
  EXPECT_EQ(msg(ranked, genes, with([](auto& x) { x.gsea_param = -0.0; x.width_inches = 1.0; x.dpi = 320; })), "ok");
  const std::vector<std::string> none{"x"};
  EXPECT_EQ(msg(ranked, none, with([](auto& x) { x.pathway_name = "P"; })),
            "pathway 'P' has no genes present in the ranked list");
  EXPECT_EQ(msg(ranked, ranked.genes(), with([](auto& x) { x.pathway_name = "P"; })),
            "pathway 'P' covers the full ranked list and cannot produce an enrichment curve");
  const RankedList inf({"a", "b", "c"}, {INFINITY, 1.0, 2.0});
  EXPECT_EQ(msg(inf, std::vector<std::string>{"a", "c"}, o), "failed to compute finite plot bounds");
  EXPECT_EQ(msg(ranked, genes, with([](auto& x) { x.width_inches = 0.05; x.dpi = 7000; })),
            "plot dimensions leave no drawable area");
  EXPECT_EQ(msg(ranked, genes, with([](auto& x) { x.width_inches = 400; x.height_inches = 400; })),
            "plot of 120000x120000 pixels exceeds the limit of 268435456 pixels");
}

TEST(EnrichmentPlotTest, LayoutPixels) {
  // Two genes, one hit: the curve rises to 1 then falls to 0 (from-zero case,
  // step 0.2, ticks 0..1). Default size: 900 x 660, L = 122, plot 758 x 490.
  const RankedList ranked({"a", "b"}, {2.0, 1.0});
  EnrichmentPlotOptions o;
  o.title = "T";
  auto c = render_enrichment_plot(ranked, std::vector<std::string>{"a"}, o);
  ASSERT_TRUE(c.ok()) << c.error().message();
  EXPECT_EQ(c->width(), 900u);
  EXPECT_EQ(c->height(), 660u);
  const int top = 90, bottom = 580, L = 122, right = 880;
  // Zero line (black) on the bottom axis; top border replaced by the grid
  // grey of the last tick (1.0 lies on ymap = top).
  EXPECT_EQ(c->get(300, bottom), kBlack);
  EXPECT_EQ(c->get(300, top), (Rgba{230, 230, 230, 255}));
  // Left axis turned grey by the grid line at p = 0, except the tick rows.
  EXPECT_EQ(c->get(L, 200), (Rgba{230, 230, 230, 255}));
  EXPECT_EQ(c->get(L - 3, top + 98), kBlack);  // y tick at 0.8: ymap = 188
  EXPECT_EQ(c->get(right, 300), (Rgba{230, 230, 230, 255}));
  // Hit bar at xmap(1) = 501: width 2, from bottom - 24 to bottom + 18.
  EXPECT_EQ(c->get(500, bottom + 10), (Rgba{70, 70, 70, 255}));
  EXPECT_EQ(c->get(501, bottom + 17), (Rgba{70, 70, 70, 255}));
  EXPECT_EQ(c->get(502, bottom + 10), kWhite);
  EXPECT_EQ(c->get(501, bottom + 18), kWhite);
  // Dashed line at the ES (= 1 = top): dashes of 12 px, gaps of 8.
  EXPECT_EQ(c->get(L + 5, top), (Rgba{220, 40, 40, 255}));
  EXPECT_EQ(c->get(L + 16, top), (Rgba{230, 230, 230, 255}));
  // Untouched background.
  EXPECT_EQ(c->get(5, 5), kWhite);

  o.transparent_background = true;
  o.dpi = 600;
  auto t = render_enrichment_plot(ranked, std::vector<std::string>{"a"}, o);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->width(), 1800u);
  EXPECT_EQ(t->get(5, 5), (Rgba{255, 255, 255, 0}));
  EXPECT_EQ(t->get(600, 376), (Rgba{207, 207, 207, 255}));  // grid grey at 600 dpi
}

TEST(EnrichmentPlotTest, WritesFileOnlyOnSuccess) {
  const RankedList ranked = ranked_of(50);
  const std::string path = temp_path("curve.png");
  std::remove(path.c_str());
  EnrichmentPlotOptions bad;
  bad.gsea_param = NAN;
  EXPECT_FALSE(write_enrichment_plot_png(ranked, std::vector<std::string>{"g3"}, path, bad).ok());
  EXPECT_FALSE(std::ifstream(path).good());
  ASSERT_TRUE(write_enrichment_plot_png(ranked, std::vector<std::string>{"g3", "g40"}, path, {}).ok());
  uint32_t px = 0, py = 0;
  int unit = 0;
  EXPECT_EQ(chunk_types(read_file(path), &px, &py, &unit).front(), "IHDR");
  EXPECT_EQ(px, 11811u);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarvelo::plot
