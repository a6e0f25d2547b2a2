#include "tarvelo/base/io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/text.hpp"

namespace tarvelo::io {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns the text (in buf or a static string).
  const char* text = strerror_r(errnum, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

namespace {

// Runs a system call again while it fails with EINTR. A signal interrupts a
// blocking call (a FIFO waits in open() for its other end): it may be Ctrl-C,
// so the host is asked first, and a stop unwinds the call
// (interrupt::checkpoint() throws).
template <class Call>
auto retry_on_eintr(Call call) {
  for (;;) {
    const auto r = call();
    if (r >= 0 || errno != EINTR) return r;
    interrupt::checkpoint();
  }
}

}  // namespace

Result<File> File::open_read(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return Error::os("file name contained an unexpected NUL byte");
  const std::string p(path);
  const int fd = retry_on_eintr([&] { return ::open(p.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return os_error(errno);
  return File(fd);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<size_t> File::read(char* buf, size_t n) {
  const ssize_t got = retry_on_eintr([&] { return ::read(fd_, buf, n); });
  if (got < 0) return os_error(errno);
  return static_cast<size_t>(got);
}

LineReader::LineReader(ByteSource& source, size_t block_size, size_t max_line)
    : source_(source), max_line_(max_line), buf_(block_size < 64 ? 64 : block_size) {}

namespace {

// Validity check with a word-at-a-time pass over ASCII text, which is nearly
// all of what these files hold.
bool valid_utf8(std::string_view s) {
  const char* p = s.data();
  size_t n = s.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (w & 0x8080808080808080ULL) return text::is_valid_utf8(std::string_view(p, n));
    p += 8;
    n -= 8;
  }
  for (size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) >= 0x80)
      return text::is_valid_utf8(std::string_view(p + i, n - i));
  return true;
}

}  // namespace

Error LineReader::line_too_long() const {
  return Error("line " + std::to_string(line_number_ + 1) + " is longer than " +
               std::to_string(max_line_) + " bytes");
}

Result<bool> LineReader::next(std::string_view* line) {
  size_t line_end;  // index of the "\n", or end_ for a last line without one
  bool has_newline;
  for (;;) {
    const char* start = buf_.data() + begin_ + scanned_;
    const void* nl = std::memchr(start, '\n', end_ - begin_ - scanned_);
    if (nl) {
      line_end = static_cast<size_t>(static_cast<const char*>(nl) - buf_.data());
      has_newline = true;
      break;
    }
    scanned_ = end_ - begin_;
    if (eof_) {
      if (begin_ == end_) return false;
      line_end = end_;
      has_newline = false;
      break;
    }
    // Move the partial line to the front and read more, growing the buffer
    // only for a line longer than it.
    if (begin_ > 0) {
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    // More than max_line_ bytes without a "\n": too long, "\n" or not.
    if (end_ - begin_ > max_line_) return line_too_long();
    if (end_ == buf_.size()) buf_.resize(std::min(buf_.size() * 2, max_line_ + 1));
    TARVELO_ASSIGN_OR_RETURN(const size_t got, source_.read(buf_.data() + end_, buf_.size() - end_));
    if (got == 0) eof_ = true;
    end_ += got;
  }
  if (line_end - begin_ + (has_newline ? 1 : 0) > max_line_) return line_too_long();
  std::string_view l(buf_.data() + begin_, line_end - begin_);
  begin_ = has_newline ? line_end + 1 : line_end;
  scanned_ = 0;
  ++line_number_;
  if (!valid_utf8(l)) return Error::os("stream did not contain valid UTF-8");
  if (has_newline && !l.empty() && l.back() == '\r') l.remove_suffix(1);
  *line = l;
  return true;
}

bool is_blank(std::string_view line) {
  if (line.empty()) return true;
  const auto c = static_cast<unsigned char>(line.front());
  if (c < 0x80 && !text::is_ascii_white_space(c)) return false;
  return text::is_all_white_space(line);
}

void split_tabs(std::string_view line, std::vector<std::string_view>* fields) {
  fields->clear();
  const char* p = line.data();
  const size_t n = line.size();
  size_t start = 0;  // of the current field
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // GMT fields are a few bytes long, too short for a memchr call each to
    // pay off: eight bytes are tested at once instead.
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    for (; n - i >= 8; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      const uint64_t x = w ^ (kOnes * '\t');
      // The high bit of exactly the bytes of x that are zero (no borrows
      // between bytes, unlike the shorter test for "any zero byte").
      for (uint64_t m = ~(((x & kLow7) + kLow7) | x | kLow7); m != 0; m &= m - 1) {
        const size_t tab = i + static_cast<size_t>(std::countr_zero(m)) / 8;
        fields->emplace_back(p + start, tab - start);
        start = tab + 1;
      }
    }
  }
  for (; i < n; ++i) {
    if (p[i] == '\t') {
      fields->emplace_back(p + start, i - start);
      start = i + 1;
    }
  }
  fields->emplace_back(p + start, n - start);
}

// ---- Paths, directories and output files ----

namespace {

constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

struct Component {
  size_t begin, end;
};

// Components of a path the way path libraries split it: empty pieces (from
// repeated or trailing slashes) and "." pieces other than a leading one are
// dropped.
std::vector<Component> components(std::string_view path) {
  std::vector<Component> out;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    const std::string_view piece = path.substr(i, j - i);
    if (!piece.empty() && (piece != "." || i == 0))
      out.push_back({i, j});
    i = j + 1;
  }
  return out;
}

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<std::string_view> file_name(std::string_view path) {
  const auto comps = components(path);
  if (comps.empty()) return std::nullopt;
  const std::string_view last = path.substr(comps.back().begin, comps.back().end - comps.back().begin);
  if (last == "." || last == "..") return std::nullopt;
  return last;
}

std::string_view parent_dir(std::string_view path) {
  const auto comps = components(path);
  if (comps.size() <= 1) return (!path.empty() && path.front() == '/') ? path.substr(0, 1) : std::string_view();
  return path.substr(0, comps[comps.size() - 2].end);
}

bool has_gz_extension(std::string_view path) {
  const auto name = file_name(path);
  if (!name) return false;
  const size_t dot = name->rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return name->substr(dot + 1) == "gz";
}

Status create_dir_all(std::string_view dir) {
  if (dir.empty()) return ok_status();
  if (has_nul(dir)) return Error::os(kNulInPath);
  const std::string p(dir);
  if (::mkdir(p.c_str(), 0777) == 0) return ok_status();
  const int e = errno;
  if (e != ENOENT) {
    if (is_dir(p)) return ok_status();
    return os_error(e);
  }
  const std::string_view parent = parent_dir(dir);
  if (parent.size() >= dir.size()) return Error::os("failed to create whole tree");
  TARVELO_TRY(create_dir_all(parent));
  if (::mkdir(p.c_str(), 0777) == 0) return ok_status();
  const int e2 = errno;
  if (is_dir(p)) return ok_status();
  return os_error(e2);
}

Result<OutFile> OutFile::create_no_follow(std::string_view path) {
  if (has_nul(path)) return Error::os(kNulInPath);
  const std::string p(path);
  const int fd = retry_on_eintr([&] {
    return ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  });
  if (fd < 0) return os_error(errno);
  return OutFile(fd);
}

Result<OutFile> OutFile::open_existing(std::string_view path) {
  if (has_nul(path)) return Error::os(kNulInPath);
  const std::string p(path);
  const int fd = retry_on_eintr([&] { return ::open(p.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC); });
  if (fd < 0) return os_error(errno);
  return OutFile(fd);
}

OutFile::OutFile(OutFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OutFile::~OutFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status OutFile::write_all(const char* data, size_t n) {
  while (n > 0) {
    const ssize_t put = retry_on_eintr([&] { return ::write(fd_, data, n); });
    if (put < 0) return os_error(errno);
    if (put == 0) return Error::os("failed to write whole buffer");
    data += put;
    n -= static_cast<size_t>(put);
  }
  return ok_status();
}

Status OutFile::sync() {
  for (;;) {
#ifdef __APPLE__
    const int rc = ::fcntl(fd_, F_FULLFSYNC);
#else
    const int rc = ::fsync(fd_);
#endif
    if (rc == 0) return ok_status();
    if (errno != EINTR) return os_error(errno);
  }
}

Status OutFile::close() {
  const int fd = std::exchange(fd_, -1);
  // On Linux the descriptor is released even when close reports EINTR.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return os_error(errno);
  return ok_status();
}

BufferedSink::BufferedSink(OutFile& file, size_t capacity) : file_(file), capacity_(capacity) {
  buf_.reserve(capacity_);
}

Status BufferedSink::write(std::string_view data) {
  if (buf_.size() + data.size() > capacity_) {
    TARVELO_TRY(file_.write_all(buf_.data(), buf_.size()));
    buf_.clear();
    if (data.size() >= capacity_) return file_.write_all(data.data(), data.size());
  }
  buf_.append(data);
  return ok_status();
}

Status BufferedSink::finish() {
  TARVELO_TRY(file_.write_all(buf_.data(), buf_.size()));
  buf_.clear();
  return ok_status();
}

Status rename_path(std::string_view from, std::string_view to) {
  if (has_nul(from) || has_nul(to)) return Error::os(kNulInPath);
  if (::rename(std::string(from).c_str(), std::string(to).c_str()) != 0) return os_error(errno);
  return ok_status();
}

Status remove_file(std::string_view path) {
  if (has_nul(path)) return Error::os(kNulInPath);
  if (::unlink(std::string(path).c_str()) != 0) return os_error(errno);
  return ok_status();
}

std::optional<FileIdentity> file_identity(std::string_view path) {
  if (has_nul(path)) return std::nullopt;
  struct stat st;
  if (::stat(std::string(path).c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

void sync_dir_best_effort(std::string_view dir) {
  if (has_nul(dir)) return;
  const std::string p = dir.empty() ? std::string(".") : std::string(dir);
  const int fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

// ---- Atomic replacement ----

namespace {

// Writers of one temporary file within this process take turns. The key is
// the directory's identity plus the temporary's name, so that different
// spellings of one directory share a lock.
class PathLocks {
 public:
  static PathLocks& instance() {
    static PathLocks* locks = new PathLocks();  // never destroyed: used at exit
    return *locks;
  }
  void lock(const std::string& key) {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [&] { return held_.find(key) == held_.end(); });
    held_.insert(key);
  }
  void unlock(const std::string& key) {
    {
      std::lock_guard<std::mutex> g(mu_);
      held_.erase(key);
    }
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::set<std::string> held_;
};

std::string lock_key(std::string_view dir, const std::string& tmp_path) {
  const auto id = file_identity(dir.empty() ? std::string_view(".") : dir);
  if (!id) return "path:" + tmp_path;
  const auto name = file_name(tmp_path);
  return "dir:" + std::to_string(id->dev) + ":" + std::to_string(id->ino) + "/" +
         std::string(name ? *name : std::string_view(tmp_path));
}

// The directory the temporary goes into: the parent, or the path itself when
// it has no final component.
std::string_view temp_dir_for(std::string_view path) {
  return file_name(path) ? parent_dir(path) : path;
}

// True when the path names (through links) something that exists and is
// neither a regular file nor a directory.
bool is_special_file(std::string_view path) {
  if (has_nul(path)) return false;
  struct stat st;
  if (::stat(std::string(path).c_str(), &st) != 0) return false;
  return !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

}  // namespace

class AtomicFile::Lock {
 public:
  explicit Lock(std::string key) : key_(std::move(key)) { PathLocks::instance().lock(key_); }
  ~Lock() { PathLocks::instance().unlock(key_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  std::string key_;
};

AtomicFile::AtomicFile() = default;

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : path_(std::move(other.path_)),
      temp_path_(std::move(other.temp_path_)),
      temp_dir_(std::move(other.temp_dir_)),
      lock_(std::move(other.lock_)),
      file_(std::move(other.file_)),
      published_(std::exchange(other.published_, true)) {
  other.temp_path_.clear();
}

AtomicFile::~AtomicFile() {
  if (file_) (void)file_->close();
  if (!published_ && !temp_path_.empty()) (void)remove_file(temp_path_);
}

std::string AtomicFile::temp_path_for(std::string_view path, std::string_view fallback_name) {
  const auto name = file_name(path);
  std::string tmp_name = name && text::is_valid_utf8(*name) ? std::string(*name)
                                                            : std::string(fallback_name);
  tmp_name += ".tmp." + std::to_string(static_cast<long long>(::getpid()));
  const std::string_view dir = temp_dir_for(path);
  std::string tmp_path;
  if (!dir.empty()) {
    tmp_path.assign(dir);
    if (tmp_path.back() != '/') tmp_path += '/';
  }
  tmp_path += tmp_name;
  return tmp_path;
}

Result<AtomicFile> AtomicFile::create(std::string_view path, std::string_view fallback_name,
                                      Special special) {
  if (has_nul(path)) return Error::os(kNulInPath);
  AtomicFile out;
  out.path_.assign(path);
  if (special == Special::kWriteInPlace && is_special_file(path)) {
    TARVELO_ASSIGN_OR_RETURN(OutFile file, OutFile::open_existing(path));
    out.file_ = std::make_unique<OutFile>(std::move(file));
    return out;
  }
  out.temp_path_ = temp_path_for(path, fallback_name);
  out.temp_dir_.assign(temp_dir_for(path));
  out.lock_ = std::make_unique<Lock>(lock_key(out.temp_dir_, out.temp_path_));
  auto created = OutFile::create_no_follow(out.temp_path_);
  if (!created.ok()) return std::move(created).error();  // out removes the temporary
  out.file_ = std::make_unique<OutFile>(std::move(created).value());
  return out;
}

Status AtomicFile::finish() {
  if (!file_) internal_fault("atomic file finished twice");
  // A FIFO or terminal written in place cannot be synced (EINVAL), and there
  // is nothing durable to wait for.
  if (!temp_path_.empty()) TARVELO_TRY(file_->sync());
  Status closed = file_->close();
  file_.reset();
  return closed;
}

Status AtomicFile::publish() {
  if (file_) internal_fault("atomic file published before it was finished");
  if (temp_path_.empty()) {
    published_ = true;
    return ok_status();
  }
  TARVELO_TRY(rename_path(temp_path_, path_));
  published_ = true;
  sync_dir_best_effort(temp_dir_);
  return ok_status();
}

}  // namespace tarvelo::io
