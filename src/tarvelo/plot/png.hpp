// PNG output of a plot canvas.
#pragma once

#include <cstdint>
#include <string>

#include "tarvelo/base/error.hpp"
#include "tarvelo/plot/canvas.hpp"

namespace tarvelo::plot {

// Pixels per metre recorded for `dpi`: max(round(dpi / 0.0254), 1), rounded
// half away from zero (72 -> 2835, 300 -> 11811, 1 -> 39).
uint32_t pixels_per_metre(uint32_t dpi);

// Writes the canvas as an 8-bit RGBA PNG holding exactly IHDR, pHYs (metre
// unit), IDAT (adaptive filters, zlib level 6) and IEND, through an 8192-byte
// buffer into a temporary beside the path (mode 0666 before umask) that is
// synced and renamed over the path (io::AtomicFile): a failure leaves any old
// file untouched and no temporary. An existing FIFO or device at the path is
// written directly. Errors: "{message} (os error N)" for a failed create,
// write, flush, sync, close or rename; the PNG library's message for an
// encoder failure. A path holding a NUL byte is rejected (an OSError-kind
// error) before anything is created.
Status save_png_with_dpi(const Canvas& canvas, const std::string& path, uint32_t dpi);

}  // namespace tarvelo::plot
