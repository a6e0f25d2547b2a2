// Gzip decoding (every member) and encoding (one member) over zlib's raw
// deflate, with the header, trailer and checksums handled here so that each
// failure maps to one fixed message.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "tarvelo/base/io.hpp"

namespace tarvelo::io {
namespace {

constexpr size_t kInputBuffer = 32 * 1024;
constexpr size_t kOutputBuffer = 32 * 1024;
// zlib counts in uInt; larger requests are served in pieces.
constexpr size_t kMaxChunk = size_t{1} << 30;

Error invalid_header() { return Error::os("invalid gzip header"); }
Error unexpected_eof() { return Error::os("unexpected end of file"); }
Error bad_checksum() { return Error::os("corrupt gzip stream does not have a matching checksum"); }
Error corrupt_deflate() { return Error::os("corrupt deflate stream"); }

constexpr unsigned kFlagHcrc = 0x02, kFlagExtra = 0x04, kFlagName = 0x08, kFlagComment = 0x10;

}  // namespace

struct GzipSource::State {
  explicit State(ByteSource& src) : inner(src), in(kInputBuffer) {
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~State() { inflateEnd(&zs); }

  enum class Phase { kHeader, kBody, kDone };

  ByteSource& inner;
  std::vector<unsigned char> in;
  size_t pos = 0, len = 0;
  bool inner_eof = false;
  z_stream zs{};
  Phase phase = Phase::kHeader;
  bool first_member = true;
  uLong crc = 0;
  uint32_t size = 0;  // uncompressed length modulo 2^32, as the trailer has it

  // Refills the input buffer once it is used up; sets inner_eof at the end.
  Status fill() {
    if (pos < len || inner_eof) return ok_status();
    TARVELO_ASSIGN_OR_RETURN(const size_t got,
                             inner.read(reinterpret_cast<char*>(in.data()), in.size()));
    pos = 0;
    len = got;
    if (got == 0) inner_eof = true;
    return ok_status();
  }

  // The next input byte, or -1 at the end of input.
  Result<int> byte() {
    TARVELO_TRY(fill());
    if (pos == len) return -1;
    return static_cast<int>(in[pos++]);
  }

  Result<int> need_byte(uLong* hcrc) {
    TARVELO_ASSIGN_OR_RETURN(const int b, byte());
    if (b < 0) return unexpected_eof();
    if (hcrc) {
      const unsigned char c = static_cast<unsigned char>(b);
      *hcrc = crc32(*hcrc, &c, 1);
    }
    return b;
  }

  // Parses a member header. Returns false when the input ended cleanly
  // before a later member (only zero padding, or nothing, followed).
  Result<bool> header() {
    if (!first_member) {
      for (;;) {
        TARVELO_TRY(fill());
        if (pos == len) return false;
        if (in[pos] != 0) break;
        ++pos;
      }
    }
    uLong hcrc = crc32(0L, Z_NULL, 0);
    unsigned char h[10];
    for (unsigned char& c : h) {
      TARVELO_ASSIGN_OR_RETURN(const int b, need_byte(&hcrc));
      c = static_cast<unsigned char>(b);
    }
    if (h[0] != 0x1f || h[1] != 0x8b || h[2] != 8 || (h[3] & 0xE0) != 0) return invalid_header();
    const unsigned flags = h[3];
    if (flags & kFlagExtra) {
      TARVELO_ASSIGN_OR_RETURN(const int lo, need_byte(&hcrc));
      TARVELO_ASSIGN_OR_RETURN(const int hi, need_byte(&hcrc));
      for (int n = lo | (hi << 8); n > 0; --n) TARVELO_TRY(need_byte(&hcrc));
    }
    for (const unsigned f : {kFlagName, kFlagComment}) {
      if (!(flags & f)) continue;
      for (;;) {
        TARVELO_ASSIGN_OR_RETURN(const int b, need_byte(&hcrc));
        if (b == 0) break;
      }
    }
    if (flags & kFlagHcrc) {
      const uLong want = hcrc & 0xFFFF;
      TARVELO_ASSIGN_OR_RETURN(const int lo, need_byte(nullptr));
      TARVELO_ASSIGN_OR_RETURN(const int hi, need_byte(nullptr));
      if (static_cast<uLong>(lo | (hi << 8)) != want) return bad_checksum();
    }
    if (inflateReset(&zs) != Z_OK) return corrupt_deflate();
    crc = crc32(0L, Z_NULL, 0);
    size = 0;
    first_member = false;
    return true;
  }

  Status trailer() {
    uint32_t v[2] = {0, 0};
    for (uint32_t& word : v) {
      for (int k = 0; k < 4; ++k) {
        TARVELO_ASSIGN_OR_RETURN(const int b, need_byte(nullptr));
        word |= static_cast<uint32_t>(b) << (8 * k);
      }
    }
    if (v[0] != static_cast<uint32_t>(crc) || v[1] != size) return bad_checksum();
    return ok_status();
  }
};

GzipSource::GzipSource(ByteSource& inner) : s_(std::make_unique<State>(inner)) {}
GzipSource::~GzipSource() = default;

Result<size_t> GzipSource::read(char* buf, size_t n) {
  State& s = *s_;
  n = std::min(n, kMaxChunk);
  if (n == 0) return size_t{0};
  for (;;) {
    switch (s.phase) {
      case State::Phase::kDone:
        return size_t{0};
      case State::Phase::kHeader: {
        TARVELO_ASSIGN_OR_RETURN(const bool more, s.header());
        s.phase = more ? State::Phase::kBody : State::Phase::kDone;
        continue;
      }
      case State::Phase::kBody:
        break;
    }
    TARVELO_TRY(s.fill());
    const size_t avail = s.len - s.pos;
    s.zs.next_in = s.in.data() + s.pos;
    s.zs.avail_in = static_cast<uInt>(avail);
    s.zs.next_out = reinterpret_cast<Bytef*>(buf);
    s.zs.avail_out = static_cast<uInt>(n);
    const int rc = inflate(&s.zs, Z_NO_FLUSH);
    s.pos += avail - s.zs.avail_in;
    const size_t produced = n - s.zs.avail_out;
    if (produced > 0) {
      s.crc = crc32(s.crc, reinterpret_cast<const Bytef*>(buf), static_cast<uInt>(produced));
      s.size += static_cast<uint32_t>(produced);
    }
    switch (rc) {
      case Z_STREAM_END:
        TARVELO_TRY(s.trailer());
        s.phase = State::Phase::kHeader;
        break;
      case Z_OK:
        break;
      case Z_BUF_ERROR:
        // No progress possible: the input ran out inside the deflate data.
        if (s.inner_eof && s.pos == s.len) return unexpected_eof();
        break;
      case Z_MEM_ERROR:
        throw std::bad_alloc();
      default:  // Z_DATA_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
        return corrupt_deflate();
    }
    if (produced > 0) return produced;
    if (rc == Z_OK && s.inner_eof && s.pos == s.len && avail == 0) return unexpected_eof();
  }
}

Result<InputFile> InputFile::open(std::string_view path) {
  auto opened = File::open_read(path);
  if (!opened.ok()) {
    return std::move(opened).error().context("Failed to open '" + std::string(path) + "'");
  }
  InputFile out;
  out.file_ = std::make_unique<File>(std::move(opened).value());
  if (has_gz_extension(path)) out.gzip_ = std::make_unique<GzipSource>(*out.file_);
  return out;
}

struct GzipSink::State {
  State(OutFile& f, int level) : file(f), out(kOutputBuffer) {
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::bad_alloc();
  }
  ~State() { deflateEnd(&zs); }

  OutFile& file;
  std::vector<unsigned char> out;
  z_stream zs{};
  uLong crc = crc32(0L, Z_NULL, 0);
  uint32_t size = 0;
  bool header_written = false;

  Status write_header() {
    if (header_written) return ok_status();
    header_written = true;
    static constexpr char kHeader[10] = {'\x1f', '\x8b', '\x08', 0, 0, 0, 0, 0, 0, '\xff'};
    return file.write_all(kHeader, sizeof kHeader);
  }

  // Runs deflate over the pending input with `flush`, writing full output
  // buffers, until the input is consumed (or the stream ends for Z_FINISH).
  Status pump(int flush) {
    for (;;) {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      const int rc = deflate(&zs, flush);
      if (rc == Z_STREAM_ERROR) return Error::internal("deflate stream state broken");
      const size_t produced = out.size() - zs.avail_out;
      if (produced > 0) {
        TARVELO_TRY(file.write_all(reinterpret_cast<const char*>(out.data()), produced));
      }
      if (flush == Z_FINISH) {
        if (rc == Z_STREAM_END) return ok_status();
      } else if (zs.avail_in == 0 && zs.avail_out != 0) {
        return ok_status();
      }
    }
  }
};

GzipSink::GzipSink(OutFile& file, int level) : s_(std::make_unique<State>(file, level)) {}
GzipSink::~GzipSink() = default;

Status GzipSink::write(std::string_view data) {
  State& s = *s_;
  TARVELO_TRY(s.write_header());
  while (!data.empty()) {
    const size_t k = std::min(data.size(), kMaxChunk);
    s.crc = crc32(s.crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(k));
    s.size += static_cast<uint32_t>(k);
    s.zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.zs.avail_in = static_cast<uInt>(k);
    TARVELO_TRY(s.pump(Z_NO_FLUSH));
    data.remove_prefix(k);
  }
  return ok_status();
}

Status GzipSink::finish() {
  State& s = *s_;
  TARVELO_TRY(s.write_header());
  s.zs.next_in = nullptr;
  s.zs.avail_in = 0;
  TARVELO_TRY(s.pump(Z_FINISH));
  char trailer[8];
  const uint32_t words[2] = {static_cast<uint32_t>(s.crc), s.size};
  for (int w = 0; w < 2; ++w)
    for (int k = 0; k < 4; ++k) trailer[4 * w + k] = static_cast<char>((words[w] >> (8 * k)) & 0xFF);
  return s.file.write_all(trailer, sizeof trailer);
}

}  // namespace tarvelo::io
