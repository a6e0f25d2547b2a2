// The plotting font and text drawing.
//
// Text widths decide the plot layout (label positions, the axis title's
// place), so measuring is exact: one scale factor size / (ascender -
// descender) in f32, each character's advance added in f32, no kerning and no
// shaping. Glyph coverage comes from FreeType's anti-aliasing rasteriser on
// unhinted outlines placed at sub-pixel positions, clipped to the canvas.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvelo/base/error.hpp"
#include "tarvelo/plot/canvas.hpp"

namespace tarvelo::plot {

class Font {
 public:
  // Parses face 0 of an sfnt (TrueType or OpenType) font. `bytes` must outlive
  // the font unless `owned` holds them.
  static Result<std::shared_ptr<const Font>> parse(std::span<const uint8_t> bytes,
                                                   std::shared_ptr<const std::vector<uint8_t>> owned);
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

  // Unscaled ascender and descender (font units) used for the scale factor.
  int32_t ascender() const { return ascender_; }
  int32_t descender() const { return descender_; }

  // Width and height in pixels of `text` (UTF-8) at `size` pixels:
  // (1 + ceil(pen advance), ceil(size)); (0, 0) for the empty string.
  std::pair<uint32_t, uint32_t> text_size(float size, std::string_view text) const;

  // Draws `text` with its top-left corner at (x, y): glyph coverage becomes the
  // alpha of `color`, composited with blend_over.
  void draw_text(Canvas& canvas, Rgba color, int32_t x, int32_t y, float size,
                 std::string_view text) const;

  // Draws `text` in black turned 90 degrees counter-clockwise (reading bottom
  // to top). The text is laid out as if drawn at (8, 8) on a transparent
  // (box_w x box_h) scratch canvas that is then rotated and composited with
  // blend_over with its top-left corner at (left, top) of `canvas`. Only the
  // part of the rotated box on the canvas is ever allocated.
  void draw_text_rotated_ccw(Canvas& canvas, int64_t left, int64_t top, int64_t box_w,
                             int64_t box_h, float size, std::string_view text) const;

 private:
  struct Impl;
  explicit Font(std::unique_ptr<Impl> impl, int32_t ascender, int32_t descender);
  std::unique_ptr<Impl> impl_;
  int32_t ascender_;
  int32_t descender_;
};

using FontPtr = std::shared_ptr<const Font>;

inline constexpr const char* kFontLoadError =
    "failed to load a plotting font; set TARVELO_PLOT_FONT to a readable .ttf/.otf file";

// The bytes of the font embedded in the program.
std::span<const uint8_t> embedded_font_bytes();

// The font search: `embedded` if it parses, else the file named by
// TARVELO_PLOT_FONT (when set and valid UTF-8), else the first of
// `fallback_paths` that reads and parses; else kFontLoadError.
Result<FontPtr> load_font_from_sources(std::span<const uint8_t> embedded,
                                       std::span<const std::string> fallback_paths);

// The fixed system font locations tried after TARVELO_PLOT_FONT.
std::span<const std::string> system_font_paths();

// The process-wide plotting font, loaded on first use; a failed load is
// remembered and every later call returns the same error.
Result<FontPtr> load_plot_font();

// Draws `text` with top-left corner (cx - w / 2, y), w its measured width.
void draw_text_centered(Canvas& canvas, const Font& font, int32_t cx, int32_t y,
                        std::string_view text, Rgba color, float size);

// Draws "enrichment score" reading bottom to top, centred on (cx, cy).
void draw_vertical_text_centered(Canvas& canvas, const Font& font, int32_t cx, int32_t cy,
                                 float size);

}  // namespace tarvelo::plot
