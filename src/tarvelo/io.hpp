// File input shared by every reader: OS error text, a file handle, and the line
// reader that the GMT, decor cache and expression matrix readers all use.
//
// Line rules: a line ends at "\n"; the "\n" and one "\r" just before it are
// removed (a final "\r" without "\n" stays); lines are numbered from 1,
// blank lines included; each line must be valid UTF-8, checked in line order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarvelo/core.hpp"
#include "tarvelo/error.hpp"

namespace tarvelo::io {

// "{strerror} (os error {n})", e.g. "No such file or directory (os error 2)".
std::string os_error_text(int errnum);
inline Error os_error(int errnum) { return Error::os(os_error_text(errnum)); }

// Something bytes are read from (a file; a decompressor may stand in).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to n bytes into buf; 0 at the end. Interrupted reads are retried.
  virtual Result<size_t> read(char* buf, size_t n) = 0;
};

// A file opened read-only; closed on destruction.
class File final : public ByteSource {
 public:
  // A path holding a NUL byte is refused rather than silently cut short.
  static Result<File> open_read(std::string_view path);
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() override;

  Result<size_t> read(char* buf, size_t n) override;
  int fd() const { return fd_; }

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Reads lines from a source in large blocks. The returned view is valid until
// the next call of next().
class LineReader {
 public:
  explicit LineReader(ByteSource& source, size_t block_size = 1 << 18);

  // Stores the next line in *line and returns true, or returns false at the
  // end. Errors: the source's read error, or "stream did not contain valid
  // UTF-8".
  Result<bool> next(std::string_view* line);
  // Number of the line last returned (1-based).
  uint64_t line_number() const { return line_number_; }

 private:
  ByteSource& source_;
  std::vector<char> buf_;
  size_t begin_ = 0;  // first unread byte
  size_t end_ = 0;    // end of the bytes read so far
  size_t scanned_ = 0;  // bytes from begin_ known to hold no "\n"
  bool eof_ = false;
  uint64_t line_number_ = 0;
};

// True when the (valid UTF-8) line holds only White_Space characters.
bool is_blank(std::string_view line);

// Splits at every tab, keeping empty fields.
void split_tabs(std::string_view line, std::vector<std::string_view>* fields);

// Reads a GMT file: per line the pathway name, its description (empty = none)
// and gene names, tab-separated. Names and descriptions are kept as they
// stand; gene names are trimmed of White_Space, empty ones dropped, duplicates
// kept. Blank lines are skipped; a line with fewer than three fields fails.
Result<PathwayDb> read_gmt(std::string_view path);

}  // namespace tarvelo::io
