// File input shared by every reader: OS error text, a file handle, and the line
// reader that the GMT, decor cache and expression matrix readers all use.
//
// Line rules: a line ends at "\n"; the "\n" and one "\r" just before it are
// removed (a final "\r" without "\n" stays); lines are numbered from 1,
// blank lines included; each line must be valid UTF-8, checked in line order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvelo/base/error.hpp"

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

// Longest line a LineReader accepts, "\n" included: far beyond any real
// file, yet a source that never ends a line (/dev/zero) fails long before it
// exhausts memory.
inline constexpr size_t kMaxLineBytes = size_t{1} << 30;

// Reads lines from a source in large blocks. The returned view is valid until
// the next call of next().
class LineReader {
 public:
  explicit LineReader(ByteSource& source, size_t block_size = 1 << 18,
                      size_t max_line = kMaxLineBytes);

  // Stores the next line in *line and returns true, or returns false at the
  // end. Errors: the source's read error, "stream did not contain valid
  // UTF-8", or "line {n} is longer than {max_line} bytes".
  Result<bool> next(std::string_view* line);
  // Number of the line last returned (1-based).
  uint64_t line_number() const { return line_number_; }

 private:
  Error line_too_long() const;

  ByteSource& source_;
  size_t max_line_;
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


// ---- Paths ----

// The final component of a path as std::path-like readers see it: repeated
// and trailing "/" and "." components are ignored; absent for "", "/", "."
// and a final "..". "a/b.gz/" -> "b.gz".
std::optional<std::string_view> file_name(std::string_view path);
// The directory part before the final component ("" when there is none):
// "a/b/c.gz" -> "a/b", "c.gz" -> "", "/c.gz" -> "/".
std::string_view parent_dir(std::string_view path);
// True when the final component's extension (the text after its last dot,
// a leading dot not counting) is exactly "gz".
bool has_gz_extension(std::string_view path);

// Creates dir and every missing ancestor (mode 0777 before umask); existing
// directories are accepted. The error is the OS error without context.
Status create_dir_all(std::string_view dir);

// ---- Gzip ----

// Decodes a gzip stream: every member in turn (concatenated and bgzip files),
// zero padding after a member ignored. Errors: "invalid gzip header",
// "corrupt deflate stream", "unexpected end of file",
// "corrupt gzip stream does not have a matching checksum", or the inner
// source's error.
class GzipSource final : public ByteSource {
 public:
  explicit GzipSource(ByteSource& inner);
  ~GzipSource() override;
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;

  Result<size_t> read(char* buf, size_t n) override;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// A file opened for reading, decompressed when its name has the "gz"
// extension. A failed open gives "Failed to open '{path}'" with the OS error
// as its cause.
class InputFile {
 public:
  static Result<InputFile> open(std::string_view path);
  ByteSource& source() { return gzip_ ? static_cast<ByteSource&>(*gzip_) : *file_; }

 private:
  std::unique_ptr<File> file_;
  std::unique_ptr<GzipSource> gzip_;
};

// ---- Output ----

// A file opened for writing; closed on destruction (errors ignored there:
// call close() to see them).
class OutFile {
 public:
  // Write-only, created with mode 0666 before umask, truncated; a symbolic
  // link at the path is refused (ELOOP) rather than followed.
  static Result<OutFile> create_no_follow(std::string_view path);
  OutFile(OutFile&& other) noexcept;
  OutFile& operator=(OutFile&&) = delete;
  OutFile(const OutFile&) = delete;
  ~OutFile();

  // An existing file that is not a regular file (a FIFO, a device), opened
  // write-only without creating or truncating anything.
  static Result<OutFile> open_existing(std::string_view path);

  Status write_all(const char* data, size_t n);
  int fd() const { return fd_; }
  // Flushes the file's data to stable storage (F_FULLFSYNC on Darwin).
  Status sync();
  Status close();

 private:
  explicit OutFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Something bytes are written to; finish() completes and flushes the stream
// (the underlying file is neither synced nor closed).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual Status write(std::string_view data) = 0;
  virtual Status finish() = 0;
};

// Buffers writes to a file in blocks of `capacity` bytes.
class BufferedSink final : public ByteSink {
 public:
  explicit BufferedSink(OutFile& file, size_t capacity = 8192);
  Status write(std::string_view data) override;
  Status finish() override;

 private:
  OutFile& file_;
  std::string buf_;
  size_t capacity_;
};

// Writes one gzip member (header 1f 8b 08 00, mtime 0, xfl 0, os 255; raw
// deflate at the given level; CRC-32 and length trailer) to a file.
class GzipSink final : public ByteSink {
 public:
  explicit GzipSink(OutFile& file, int level = 6);
  ~GzipSink() override;
  GzipSink(const GzipSink&) = delete;
  GzipSink& operator=(const GzipSink&) = delete;
  Status write(std::string_view data) override;
  Status finish() override;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// rename(2) and unlink(2); the error is the OS error without context. A path
// holding a NUL byte is refused.
Status rename_path(std::string_view from, std::string_view to);
Status remove_file(std::string_view path);

// Device and inode of the file a path names (symbolic links followed);
// absent when the path cannot be queried.
struct FileIdentity {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> file_identity(std::string_view path);

// Fsyncs a directory so that a rename inside it is durable; errors ignored.
void sync_dir_best_effort(std::string_view dir);

// ---- Atomic replacement ----

// A file written under a temporary name beside its final path and renamed over
// it once complete and synced. A reader never sees a partial file, and a
// failure at any step (a full disk, a write error, an exception) removes the
// temporary and leaves the old file at the path as it was.
//
// The temporary is "{name}.tmp.{pid}" in the path's directory, {name} being
// the final component (`fallback_name` when that is not valid UTF-8); for a
// path without a final component (ending in "..") it goes inside the path.
// It is created without following a symbolic link, so a link planted under
// that name is refused rather than written through. A symbolic link at the
// final path is replaced, not followed. Writers of one temporary within this
// process take turns: two threads writing the same path would otherwise share
// the temporary.
//
// Usage: create(), write to file(), finish(), publish(). Dropping the object
// before publish() discards the temporary.
class AtomicFile {
 public:
  enum class Special {
    kReplace,  // rename over whatever the path names
    // Write straight into an existing path that is not a regular file or a
    // directory (a FIFO, /dev/stdout, a device), following links: renaming
    // over it would replace the pipe or device node rather than write to it.
    kWriteInPlace,
  };

  // The temporary path used for `path`.
  static std::string temp_path_for(std::string_view path, std::string_view fallback_name);
  // Creates the temporary (truncating a stale one). The error is the OS error
  // without context; the temporary is then removed.
  static Result<AtomicFile> create(std::string_view path, std::string_view fallback_name,
                                   Special special = Special::kReplace);

  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  AtomicFile(const AtomicFile&) = delete;
  ~AtomicFile();

  OutFile& file() { return *file_; }
  const std::string& temp_path() const { return temp_path_; }

  // Flushes the temporary to stable storage and closes it.
  Status finish();
  // Renames the finished temporary over the path, then syncs the directory
  // (best effort). The error is the OS error without context.
  Status publish();

 private:
  class Lock;
  AtomicFile();

  std::string path_;
  std::string temp_path_;  // empty when writing in place
  std::string temp_dir_;
  std::unique_ptr<Lock> lock_;
  std::unique_ptr<OutFile> file_;
  bool published_ = false;
};

}  // namespace tarvelo::io
