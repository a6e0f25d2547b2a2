#include "tarvelo/plot/text.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H
#include FT_ADVANCES_H

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

#include "tarvelo/base/numeric.hpp"
#include "tarvelo/base/text.hpp"

extern "C" const uint8_t tarvelo_plot_font_begin[];
extern "C" const uint8_t tarvelo_plot_font_end[];

namespace tarvelo::plot {

namespace {

// Decodes the next scalar value of UTF-8 text; malformed bytes decode as
// U+FFFD one at a time so that measuring never stops early.
char32_t next_char(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 ? 2 : 0;
  if (len == 0 || i + len > s.size() || b0 > 0xF4) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = b0 & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3F);
  }
  const char32_t min_for_len[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < min_for_len[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return c;
}

// Glyphs are rasterised in tiles no larger than this so that span coordinates
// fit FreeType's 16-bit span fields whatever the canvas size.
constexpr int64_t kTile = 8192;
// Glyphs larger than this (pixels) are not drawn: no plot gets near it, and it
// keeps 26.6 coordinates far from overflow.
constexpr double kMaxGlyphExtent = double{1 << 22};

// Maps a point of the text's own frame (x right, y down, pixels) to the canvas.
struct Placement {
  bool rotated = false;  // counter-clockwise quarter turn
  double left = 0, top = 0, box_w = 0;
  void map(double x, double y, double* cx, double* cy) const {
    if (!rotated) {
      *cx = x;
      *cy = y;
    } else {
      *cx = left + y;
      *cy = top + box_w - x;
    }
  }
};

// Where spans go: the canvas directly (horizontal text) or an alpha scratch
// over a clipped region (rotated text).
struct SpanSink {
  Canvas* canvas = nullptr;
  Rgba color;
  std::vector<uint8_t>* scratch = nullptr;
  int64_t scratch_x0 = 0, scratch_y0 = 0, scratch_w = 0;
  // Current tile: span x + tile_x0 is the canvas column, row = tile_y1 - 1 - y.
  int64_t tile_x0 = 0, tile_y1 = 0;
};

void span_callback(int y, int count, const FT_Span* spans, void* user) {
  auto* sink = static_cast<SpanSink*>(user);
  const int64_t row = sink->tile_y1 - 1 - y;
  for (int i = 0; i < count; ++i) {
    const FT_Span& sp = spans[i];
    if (sp.coverage == 0) continue;
    const int64_t x0 = sink->tile_x0 + sp.x;
    for (int64_t x = x0; x < x0 + sp.len; ++x) {
      if (sink->scratch != nullptr) {
        uint8_t& a = (*sink->scratch)[static_cast<size_t>((row - sink->scratch_y0) * sink->scratch_w +
                                                          (x - sink->scratch_x0))];
        a = blend_over(Rgba{0, 0, 0, a}, Rgba{0, 0, 0, sp.coverage}).a;
      } else {
        Rgba src = sink->color;
        src.a = static_cast<uint8_t>(unsigned{sp.coverage} * sink->color.a / 255u);
        const auto ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(row);
        sink->canvas->put(ux, uy, blend_over(sink->canvas->get(ux, uy), src));
      }
    }
  }
}

}  // namespace

struct Font::Impl {
  std::shared_ptr<const std::vector<uint8_t>> owned;
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  // FreeType objects are not thread-safe; every use goes through this lock.
  mutable std::mutex mu;
  // Scratch outline storage, reused under the lock.
  mutable std::vector<double> px, py;
  mutable std::vector<FT_Vector> points;

  ~Impl() {
    if (face != nullptr) FT_Done_Face(face);
    if (library != nullptr) FT_Done_FreeType(library);
  }

  FT_UInt glyph_index(char32_t c) const { return FT_Get_Char_Index(face, c); }

  float advance(FT_UInt gid) const {
    FT_Fixed adv = 0;
    if (FT_Get_Advance(face, gid, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING, &adv) != 0) return 0.0f;
    return static_cast<float>(adv);
  }

  // Rasterises glyph `gid` with its origin at (ox, oy) of the text frame.
  // `clip` is the canvas region [x0, x1) x [y0, y1) that may receive spans.
  void render_glyph(FT_UInt gid, double ox, double oy, double scale, const Placement& place,
                    const int64_t clip[4], SpanSink& sink) const {
    if (FT_Load_Glyph(face, gid, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0) {
      return;
    }
    FT_GlyphSlot slot = face->glyph;
    if (slot->format != FT_GLYPH_FORMAT_OUTLINE || slot->outline.n_points <= 0) return;
    const FT_Outline& src = slot->outline;
    const size_t n = static_cast<size_t>(src.n_points);
    px.resize(n);
    py.resize(n);
    double min_x = INFINITY, min_y = INFINITY, max_x = -INFINITY, max_y = -INFINITY;
    for (size_t i = 0; i < n; ++i) {
      // Font units grow upward; the text frame grows downward.
      const double tx = ox + scale * static_cast<double>(src.points[i].x);
      const double ty = oy - scale * static_cast<double>(src.points[i].y);
      place.map(tx, ty, &px[i], &py[i]);
      min_x = std::min(min_x, px[i]);
      max_x = std::max(max_x, px[i]);
      min_y = std::min(min_y, py[i]);
      max_y = std::max(max_y, py[i]);
    }
    if (!(max_x - min_x <= kMaxGlyphExtent) || !(max_y - min_y <= kMaxGlyphExtent)) return;
    // Conic and cubic control points lie inside the point hull, so the hull
    // bounds the glyph.
    const int64_t gx0 = std::max<int64_t>(clip[0], static_cast<int64_t>(std::floor(min_x)));
    const int64_t gy0 = std::max<int64_t>(clip[1], static_cast<int64_t>(std::floor(min_y)));
    const int64_t gx1 = std::min<int64_t>(clip[2], static_cast<int64_t>(std::ceil(max_x)) + 1);
    const int64_t gy1 = std::min<int64_t>(clip[3], static_cast<int64_t>(std::ceil(max_y)) + 1);
    if (gx0 >= gx1 || gy0 >= gy1) return;

    points.resize(n);
    FT_Outline outline = src;
    outline.points = points.data();
    outline.flags = src.flags & ~FT_OUTLINE_OWNER;
    for (int64_t ty0 = gy0; ty0 < gy1; ty0 += kTile) {
      const int64_t ty1 = std::min(ty0 + kTile, gy1);
      for (int64_t tx0 = gx0; tx0 < gx1; tx0 += kTile) {
        const int64_t tx1 = std::min(tx0 + kTile, gx1);
        // Tile-relative 26.6 coordinates with y flipped to FreeType's upward axis.
        for (size_t i = 0; i < n; ++i) {
          points[i].x = static_cast<FT_Pos>(std::lround((px[i] - static_cast<double>(tx0)) * 64.0));
          points[i].y = static_cast<FT_Pos>(std::lround((static_cast<double>(ty1) - py[i]) * 64.0));
        }
        sink.tile_x0 = tx0;
        sink.tile_y1 = ty1;
        FT_Raster_Params params{};
        params.source = &outline;
        params.flags = FT_RASTER_FLAG_AA | FT_RASTER_FLAG_DIRECT | FT_RASTER_FLAG_CLIP;
        params.gray_spans = span_callback;
        params.user = &sink;
        params.clip_box.xMin = 0;
        params.clip_box.yMin = 0;
        params.clip_box.xMax = static_cast<FT_Pos>(tx1 - tx0);
        params.clip_box.yMax = static_cast<FT_Pos>(ty1 - ty0);
        FT_Outline_Render(library, &outline, &params);
      }
    }
  }

  // Lays out `text` from the text-frame origin (x, y) and renders each glyph.
  void render_text(float size, float x, float y, float ascender, float height,
                   std::string_view text, const Placement& place, const int64_t clip[4],
                   SpanSink& sink) const {
    const float sf = size / height;
    const float baseline = y + sf * ascender;
    float pen = 0.0f;
    for (size_t i = 0; i < text.size();) {
      const FT_UInt gid = glyph_index(next_char(text, i));
      render_glyph(gid, static_cast<double>(x) + static_cast<double>(pen),
                   static_cast<double>(baseline), static_cast<double>(sf), place, clip, sink);
      pen += sf * advance(gid);
    }
  }
};

Font::Font(std::unique_ptr<Impl> impl, int32_t ascender, int32_t descender)
    : impl_(std::move(impl)), ascender_(ascender), descender_(descender) {}

Font::~Font() = default;

Result<std::shared_ptr<const Font>> Font::parse(std::span<const uint8_t> bytes,
                                                std::shared_ptr<const std::vector<uint8_t>> owned) {
  auto impl = std::make_unique<Impl>();
  impl->owned = std::move(owned);
  const Error bad("not a usable sfnt font");
  if (FT_Init_FreeType(&impl->library) != 0) {
    impl->library = nullptr;
    return Error::memory("failed to initialise FreeType");
  }
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) return bad;
  if (FT_New_Memory_Face(impl->library, bytes.data(), static_cast<FT_Long>(bytes.size()), 0,
                         &impl->face) != 0) {
    impl->face = nullptr;
    return bad;
  }
  FT_Face face = impl->face;
  if (!FT_IS_SFNT(face) || !FT_IS_SCALABLE(face)) return bad;
  const auto* hhea = static_cast<const TT_HoriHeader*>(FT_Get_Sfnt_Table(face, FT_SFNT_HHEA));
  if (hhea == nullptr) return bad;
  const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  if (os2 != nullptr && os2->version == 0xFFFF) os2 = nullptr;
  // Ascender and descender as TrueType parsers conventionally pick them: the
  // typographic values when OS/2 (version 4 or later) asks for them, else
  // hhea, falling back to OS/2 when hhea holds 0.
  const bool use_typo = os2 != nullptr && os2->version >= 4 && (os2->fsSelection & (1u << 7)) != 0;
  int32_t asc, desc;
  if (use_typo) {
    asc = os2->sTypoAscender;
    desc = os2->sTypoDescender;
  } else {
    asc = hhea->Ascender;
    desc = hhea->Descender;
    if (asc == 0 && os2 != nullptr) {
      asc = os2->sTypoAscender != 0 ? os2->sTypoAscender : static_cast<int16_t>(os2->usWinAscent);
    }
    if (desc == 0 && os2 != nullptr) {
      desc = os2->sTypoDescender != 0 ? os2->sTypoDescender
                                      : -static_cast<int32_t>(static_cast<int16_t>(os2->usWinDescent));
    }
  }
  if (asc - desc == 0) return bad;
  return std::shared_ptr<const Font>(new Font(std::move(impl), asc, desc));
}

std::pair<uint32_t, uint32_t> Font::text_size(float size, std::string_view text) const {
  if (text.empty()) return {0, 0};
  const float height = static_cast<float>(ascender_) - static_cast<float>(descender_);
  const float sf = size / height;
  float w = 0.0f;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (size_t i = 0; i < text.size();) {
      const FT_UInt gid = impl_->glyph_index(next_char(text, i));
      w += sf * impl_->advance(gid);
    }
  }
  const uint32_t width = saturating_cast<uint32_t>(std::ceil(w) + 1.0f);
  const uint32_t h = saturating_cast<uint32_t>(std::ceil(size));
  return {width, h};
}

void Font::draw_text(Canvas& canvas, Rgba color, int32_t x, int32_t y, float size,
                     std::string_view text) const {
  if (text.empty()) return;
  SpanSink sink;
  sink.canvas = &canvas;
  sink.color = color;
  const int64_t clip[4] = {0, 0, canvas.width(), canvas.height()};
  const float height = static_cast<float>(ascender_) - static_cast<float>(descender_);
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->render_text(size, static_cast<float>(x), static_cast<float>(y),
                     static_cast<float>(ascender_), height, text, Placement{}, clip, sink);
}

void Font::draw_text_rotated_ccw(Canvas& canvas, int64_t left, int64_t top, int64_t box_w,
                                 int64_t box_h, float size, std::string_view text) const {
  if (text.empty() || box_w <= 0 || box_h <= 0) return;
  // The rotated box is box_h wide and box_w tall on the canvas.
  const int64_t x0 = std::max<int64_t>(left, 0);
  const int64_t y0 = std::max<int64_t>(top, 0);
  const int64_t x1 = std::min<int64_t>(left + box_h, canvas.width());
  const int64_t y1 = std::min<int64_t>(top + box_w, canvas.height());
  if (x0 >= x1 || y0 >= y1) return;
  std::vector<uint8_t> scratch(static_cast<size_t>((x1 - x0) * (y1 - y0)), 0);
  SpanSink sink;
  sink.scratch = &scratch;
  sink.scratch_x0 = x0;
  sink.scratch_y0 = y0;
  sink.scratch_w = x1 - x0;
  const int64_t clip[4] = {x0, y0, x1, y1};
  Placement place;
  place.rotated = true;
  place.left = static_cast<double>(left);
  place.top = static_cast<double>(top);
  place.box_w = static_cast<double>(box_w);
  const float height = static_cast<float>(ascender_) - static_cast<float>(descender_);
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->render_text(size, 8.0f, 8.0f, static_cast<float>(ascender_), height, text, place, clip,
                       sink);
  }
  // Composite the scratch row by row, left to right.
  size_t k = 0;
  for (int64_t y = y0; y < y1; ++y) {
    for (int64_t x = x0; x < x1; ++x, ++k) {
      const uint8_t a = scratch[k];
      if (a == 0) continue;
      const auto ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(y);
      canvas.put(ux, uy, blend_over(canvas.get(ux, uy), Rgba{0, 0, 0, a}));
    }
  }
}

std::span<const uint8_t> embedded_font_bytes() {
  return {tarvelo_plot_font_begin,
          static_cast<size_t>(tarvelo_plot_font_end - tarvelo_plot_font_begin)};
}

namespace {

// Font files larger than this are skipped rather than read (a path such as
// /dev/zero must not exhaust memory).
constexpr size_t kMaxFontFileBytes = size_t{256} << 20;

std::shared_ptr<const std::vector<uint8_t>> read_font_file(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return nullptr;
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  bool ok = true;
  try {
    uint8_t buf[65536];
    for (;;) {
      const size_t got = std::fread(buf, 1, sizeof buf, f);
      if (got == 0) {
        ok = std::ferror(f) == 0;
        break;
      }
      if (bytes->size() + got > kMaxFontFileBytes) {
        ok = false;
        break;
      }
      bytes->insert(bytes->end(), buf, buf + got);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  std::fclose(f);
  if (!ok) return nullptr;
  return bytes;
}

Result<FontPtr> font_from_file(const std::string& path) {
  auto bytes = read_font_file(path);
  if (bytes == nullptr) return Error("unreadable font file");
  std::span<const uint8_t> view(bytes->data(), bytes->size());
  return Font::parse(view, std::move(bytes));
}

}  // namespace

Result<FontPtr> load_font_from_sources(std::span<const uint8_t> embedded,
                                       std::span<const std::string> fallback_paths) {
  if (auto f = Font::parse(embedded, nullptr); f.ok()) return std::move(f).value();
  if (const char* env = std::getenv("TARVELO_PLOT_FONT");
      env != nullptr && text::is_valid_utf8(env)) {
    if (auto f = font_from_file(env); f.ok()) return std::move(f).value();
  }
  for (const std::string& path : fallback_paths) {
    if (auto f = font_from_file(path); f.ok()) return std::move(f).value();
  }
  return Error(kFontLoadError);
}

std::span<const std::string> system_font_paths() {
  static const std::string paths[] = {
      "C:/Windows/Fonts/segoeui.ttf",
      "C:/Windows/Fonts/arial.ttf",
      "/Library/Fonts/Arial.ttf",
      "/System/Library/Fonts/Supplemental/Arial.ttf",
      "/System/Library/Fonts/Supplemental/Arial Unicode.ttf",
      "/usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf",
      "/usr/share/fonts/fonts-go/Go-Regular.ttf",
      "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
  };
  return paths;
}

Result<FontPtr> load_plot_font() {
  // Initialised once (concurrent first callers wait); the outcome, font or
  // error, is kept for the life of the process.
  static const Result<FontPtr> cell = [] {
    try {
      return load_font_from_sources(embedded_font_bytes(), system_font_paths());
    } catch (const std::bad_alloc&) {
      return Result<FontPtr>(Error(kFontLoadError));
    }
  }();
  return cell;
}

void draw_text_centered(Canvas& canvas, const Font& font, int32_t cx, int32_t y,
                        std::string_view text, Rgba color, float size) {
  const auto [w, h] = font.text_size(size, text);
  (void)h;
  const int64_t x = int64_t{cx} - int64_t{w} / 2;
  font.draw_text(canvas, color, saturating_cast<int32_t>(static_cast<double>(x)), y, size, text);
}

void draw_vertical_text_centered(Canvas& canvas, const Font& font, int32_t cx, int32_t cy,
                                 float size) {
  static constexpr std::string_view kText = "enrichment score";
  const auto [w, h] = font.text_size(size, kText);
  if (w == 0 || h == 0) return;
  const int64_t box_w = int64_t{w} + 16;
  const int64_t box_h = int64_t{h} + 16;
  const int64_t left = int64_t{cx} - box_h / 2;
  const int64_t top = int64_t{cy} - box_w / 2;
  font.draw_text_rotated_ccw(canvas, left, top, box_w, box_h, size, kText);
}

}  // namespace tarvelo::plot
