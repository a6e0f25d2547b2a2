// The line reader and the file helpers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <random>
#include <thread>
#include <fstream>
#include <string>
#include <vector>

#include "tarvelo/base/io.hpp"

namespace tarvelo {
namespace {

// Serves a string in pieces of `chunk` bytes, then optionally fails.
class StringSource : public io::ByteSource {
 public:
  StringSource(std::string data, size_t chunk, int fail_errno = 0)
      : data_(std::move(data)), chunk_(chunk), fail_errno_(fail_errno) {}
  Result<size_t> read(char* buf, size_t n) override {
    if (pos_ == data_.size() && fail_errno_) return io::os_error(fail_errno_);
    const size_t k = std::min({n, chunk_, data_.size() - pos_});
    std::memcpy(buf, data_.data() + pos_, k);
    pos_ += k;
    return k;
  }

 private:
  std::string data_;
  size_t chunk_;
  size_t pos_ = 0;
  int fail_errno_;
};

struct Line {
  uint64_t number;
  std::string text;
  bool operator==(const Line&) const = default;
};

// All lines, or the error message that stopped the reader (after the lines
// read before it).
std::pair<std::vector<Line>, std::string> read_all(const std::string& data, size_t chunk,
                                                   size_t block, int fail_errno = 0) {
  StringSource src(data, chunk, fail_errno);
  io::LineReader reader(src, block);
  std::vector<Line> lines;
  std::string_view line;
  for (;;) {
    auto more = reader.next(&line);
    if (!more.ok()) return {lines, more.error().message()};
    if (!*more) return {lines, ""};
    lines.push_back({reader.line_number(), std::string(line)});
  }
}

TEST(LineReaderTest, LineEndsAndNumberingDoNotDependOnBlockBoundaries) {
  const std::string data = "a\r\n\r\n  \nb\r\r\nlast\r";
  const std::vector<Line> want = {{1, "a"}, {2, ""}, {3, "  "}, {4, "b\r"}, {5, "last\r"}};
  for (size_t chunk : {1, 2, 3, 7, 100}) {
    for (size_t block : {64, 1 << 16}) {
      auto [lines, err] = read_all(data, chunk, block);
      EXPECT_EQ(err, "");
      EXPECT_EQ(lines, want) << "chunk " << chunk << " block " << block;
    }
  }
  EXPECT_TRUE(read_all("", 8, 64).first.empty());
  EXPECT_EQ(read_all("\n", 8, 64).first, (std::vector<Line>{{1, ""}}));
}

TEST(LineReaderTest, LinesLongerThanTheBufferGrowIt) {
  const std::string long_line(1000, 'x');
  auto [lines, err] = read_all(long_line + "\n" + long_line, 13, 64);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, long_line);
  EXPECT_EQ(lines[1].text, long_line);
}

TEST(LineReaderTest, InvalidUtf8StopsAtItsLineInOrder) {
  // Line 2 holds a lone continuation byte; line 3 an overlong form. The
  // first bad line ends the reading, whatever lies in the buffer after it.
  const std::string data = "ok\tg\xc3\xa9ne\nbad\x80\n\xc0\xaf\n";
  auto [lines, err] = read_all(data, 64, 64);
  EXPECT_EQ(lines, (std::vector<Line>{{1, "ok\tg\xc3\xa9ne"}}));
  EXPECT_EQ(err, "stream did not contain valid UTF-8");
  // A multi-byte character split across reads is still valid.
  auto [split, err2] = read_all("\xe2\x80\x83x\n", 1, 64);
  EXPECT_EQ(err2, "");
  EXPECT_EQ(split.size(), 1u);
  // A truncated sequence at the end of the file is not.
  EXPECT_EQ(read_all("abc\xe2\x80", 64, 64).second, "stream did not contain valid UTF-8");
}

TEST(LineReaderTest, ReadErrorsCarryTheOsErrorNumber) {
  auto [lines, err] = read_all("one\ntwo", 64, 64, EIO);
  EXPECT_EQ(lines, (std::vector<Line>{{1, "one"}}));
  EXPECT_EQ(err, "Input/output error (os error 5)");
}

TEST(LineReaderTest, BlankMeansOnlyWhiteSpaceCodePoints) {
  EXPECT_TRUE(io::is_blank(""));
  EXPECT_TRUE(io::is_blank(" \t\x0b\x0c\r"));
  EXPECT_TRUE(io::is_blank("\xc2\xa0\xe3\x80\x80\xe2\x80\xa8"));  // U+00A0 U+3000 U+2028
  EXPECT_FALSE(io::is_blank("\x1c"));                             // not White_Space
  EXPECT_FALSE(io::is_blank(" \xe2\x80\x8b "));                   // U+200B is not either
  std::vector<std::string_view> f;
  io::split_tabs("a\t\tb\t", &f);
  EXPECT_EQ(f, (std::vector<std::string_view>{"a", "", "b", ""}));
  io::split_tabs("", &f);
  EXPECT_EQ(f, (std::vector<std::string_view>{""}));
}

// Every placement of tabs in lines up to 20 bytes, around the 8-byte steps of
// the scan, among bytes one bit away from a tab (0x08, 0x0B, 0x89, 0x49).
TEST(LineReaderTest, SplitTabsFindsEveryTab) {
  auto reference = [](std::string_view line) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); ++i) {
      if (i == line.size() || line[i] == '\t') {
        out.push_back(line.substr(start, i - start));
        start = i + 1;
      }
    }
    return out;
  };
  const char fill[] = {'\x08', '\x0b', '\x89', '\x49', 'g', '\0'};
  std::mt19937 rng(5);
  std::vector<std::string_view> got;
  for (size_t len = 0; len <= 20; ++len) {
    for (int round = 0; round < 300; ++round) {
      std::string line(len, 'x');
      for (char& c : line) c = rng() % 3 == 0 ? '\t' : fill[rng() % std::size(fill)];
      io::split_tabs(line, &got);
      EXPECT_EQ(got, reference(line)) << len << " " << round;
    }
  }
}

class AtomicFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvelo-atomic-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { (void)std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void spit(const std::string& p, const std::string& data) {
    std::ofstream(p, std::ios::binary) << data;
  }
  std::vector<std::string> listing() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string dir_;
};

TEST_F(AtomicFileTest, TheOldFileStaysUntilTheNewOneIsComplete) {
  const std::string target = path("plot.png");
  spit(target, "old");
  const std::string tmp = io::AtomicFile::temp_path_for(target, "x");
  EXPECT_EQ(tmp, target + ".tmp." + std::to_string(::getpid()));
  {
    // Abandoned after a partial write (a failure or an exception).
    auto f = io::AtomicFile::create(target, "x");
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->file().write_all("new, but not finis", 18).ok());
    EXPECT_EQ(slurp(tmp), "new, but not finis");
    EXPECT_EQ(slurp(target), "old");
  }
  EXPECT_EQ(listing(), (std::vector<std::string>{"plot.png"}));
  EXPECT_EQ(slurp(target), "old");

  auto f = io::AtomicFile::create(target, "x");
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->file().write_all("new", 3).ok());
  ASSERT_TRUE(f->finish().ok());
  EXPECT_EQ(slurp(target), "old");
  ASSERT_TRUE(f->publish().ok());
  EXPECT_EQ(slurp(target), "new");
  EXPECT_EQ(listing(), (std::vector<std::string>{"plot.png"}));
}

TEST_F(AtomicFileTest, LinksAndSpecialFiles) {
  // A link at the path is replaced, its target left alone.
  spit(path("victim"), "precious");
  ASSERT_EQ(::symlink(path("victim").c_str(), path("out").c_str()), 0);
  auto f = io::AtomicFile::create(path("out"), "x");
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->file().write_all("new", 3).ok());
  ASSERT_TRUE(f->finish().ok());
  ASSERT_TRUE(f->publish().ok());
  EXPECT_EQ(slurp(path("victim")), "precious");
  EXPECT_EQ(slurp(path("out")), "new");

  // A FIFO is written in place when asked (renaming over it would replace
  // the pipe), and replaced otherwise.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = slurp(path("fifo")); });
  auto p = io::AtomicFile::create(path("fifo"), "x", io::AtomicFile::Special::kWriteInPlace);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p->temp_path(), "");
  ASSERT_TRUE(p->file().write_all("piped", 5).ok());
  ASSERT_TRUE(p->finish().ok());
  ASSERT_TRUE(p->publish().ok());
  reader.join();
  EXPECT_EQ(received, "piped");
  struct stat st;
  ASSERT_EQ(::stat(path("fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(listing(), (std::vector<std::string>{"fifo", "out", "victim"}));

  // A device likewise: /dev/null stays a device.
  auto n = io::AtomicFile::create("/dev/null", "x", io::AtomicFile::Special::kWriteInPlace);
  ASSERT_TRUE(n.ok());
  ASSERT_TRUE(n->file().write_all("x", 1).ok());
  ASSERT_TRUE(n->finish().ok());
  ASSERT_TRUE(n->publish().ok());
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  // A missing directory fails at creation with the bare OS error.
  auto missing = io::AtomicFile::create(path("no/such"), "x");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tarvelo
