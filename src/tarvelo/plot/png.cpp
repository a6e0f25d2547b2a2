#include "tarvelo/plot/png.hpp"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tarvelo/base/io.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/numeric.hpp"

namespace tarvelo::plot {

uint32_t pixels_per_metre(uint32_t dpi) {
  const double ppm = round_half_away(static_cast<double>(dpi) / 0.0254);
  const uint32_t v = saturating_cast<uint32_t>(ppm);
  return v < 1 ? 1 : v;
}

namespace {

// Everything the encoder callbacks touch: plain data only, because libpng
// reports errors by longjmp.
struct PngSink {
  int fd;
  size_t used;
  int io_errno;        // errno of the failed write, 0 if none
  char message[256];   // libpng's error text
  unsigned char buffer[8192];
};

// io::OutFile::write_all's loop without its exception: this runs inside
// libpng's callbacks, which must not be unwound through.
bool write_all(int fd, const unsigned char* p, size_t n, int* err) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      const int e = errno;
      // Retried unless the host asked to stop; that write then fails with
      // EINTR, and the caller unwinds once outside libpng.
      if (e == EINTR && !interrupt::stop_requested()) continue;
      *err = e;
      return false;
    }
    if (w == 0) {
      *err = EIO;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool flush_sink(PngSink* s) {
  if (s->used == 0) return true;
  int err = 0;
  if (!write_all(s->fd, s->buffer, s->used, &err)) {
    s->io_errno = err;
    return false;
  }
  s->used = 0;
  return true;
}

void png_write_cb(png_structp png, png_bytep data, size_t length) {
  auto* s = static_cast<PngSink*>(png_get_io_ptr(png));
  while (length > 0) {
    if (s->used == sizeof s->buffer && !flush_sink(s)) png_error(png, "write failed");
    const size_t room = sizeof s->buffer - s->used;
    const size_t take = length < room ? length : room;
    std::memcpy(s->buffer + s->used, data, take);
    s->used += take;
    data += take;
    length -= take;
  }
}

void png_flush_cb(png_structp png) {
  auto* s = static_cast<PngSink*>(png_get_io_ptr(png));
  if (!flush_sink(s)) png_error(png, "write failed");
}

void png_error_cb(png_structp png, png_const_charp msg) {
  auto* s = static_cast<PngSink*>(png_get_error_ptr(png));
  std::snprintf(s->message, sizeof s->message, "%s", msg != nullptr ? msg : "PNG encoding failed");
  png_longjmp(png, 1);
}

void png_warning_cb(png_structp, png_const_charp) {}

// The only function that calls setjmp: it holds no object with a destructor,
// so a longjmp out of libpng skips nothing. Returns false after an error.
bool encode(png_structp png, png_infop info, const uint8_t* pixels, uint32_t width,
            uint32_t height, uint32_t ppm, PngSink* sink) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, sink, png_write_cb, png_flush_cb);
  png_set_user_limits(png, 0x7fffffffu, 0x7fffffffu);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_pHYs(png, info, ppm, ppm, PNG_RESOLUTION_METER);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
  png_set_compression_level(png, 6);
  png_write_info(png, info);
  const size_t stride = size_t{width} * 4;
  for (uint32_t y = 0; y < height; ++y) png_write_row(png, pixels + stride * y);
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

Status save_png_with_dpi(const Canvas& canvas, const std::string& path, uint32_t dpi) {
  if (path.find('\0') != std::string::npos) {
    return Error::os("file name contained an unexpected NUL byte");
  }
  if (canvas.width() == 0 || canvas.height() == 0) {
    return Error("cannot encode an empty image");
  }
  auto sink = std::make_unique<PngSink>();
  sink->fd = -1;
  sink->used = 0;
  sink->io_errno = 0;
  sink->message[0] = '\0';

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, sink.get(), png_error_cb,
                                            png_warning_cb);
  if (png == nullptr) return Error::memory();
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return Error::memory();
  }
  // The image goes to a temporary beside the target, renamed over it only
  // once complete: a full disk or an encoder failure leaves any old file as
  // it was. A FIFO or device at the path is written directly.
  auto created = io::AtomicFile::create(path, "plot.png", io::AtomicFile::Special::kWriteInPlace);
  if (!created.ok()) {
    png_destroy_write_struct(&png, &info);
    return Error(created.error().message());
  }
  io::AtomicFile file = std::move(created).value();
  sink->fd = file.file().fd();
  bool ok = encode(png, info, canvas.data(), canvas.width(), canvas.height(),
                   pixels_per_metre(dpi), sink.get());
  png_destroy_write_struct(&png, &info);
  // IEND sits in the buffer until this flush; its failure is a failed write.
  if (ok && !flush_sink(sink.get())) ok = false;
  if (!ok) {
    if (sink->io_errno == EINTR) throw interrupt::Interrupted();
    if (sink->io_errno != 0) return Error(io::os_error_text(sink->io_errno));
    return Error(sink->message[0] != '\0' ? std::string(sink->message) : "PNG encoding failed");
  }
  if (auto s = file.finish(); !s.ok()) return Error(s.error().message());
  if (auto s = file.publish(); !s.ok()) return Error(s.error().message());
  return ok_status();
}

}  // namespace tarvelo::plot
