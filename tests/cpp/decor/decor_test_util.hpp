// Helpers of the decor tests: a scratch directory beside the test binary's
// working directory, whole-file reads and writes, and the fixture paths.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tarvelo::decor_test {

inline std::string fixture(const std::string& name) {
  return std::string(TARVELO_TEST_DATA) + "/decor/" + name;
}

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void spit(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline uint64_t inode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

// Inflates a whole gzip file (all members) with zlib's own gzip parsing.
inline std::string gunzip(const std::string& data) {
  std::string out;
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return "<init failed>";
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  char buf[16384];
  for (;;) {
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof buf;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    out.append(buf, sizeof buf - zs.avail_out);
    if (rc == Z_STREAM_END) {
      if (zs.avail_in == 0) break;
      inflateReset(&zs);
      continue;
    }
    if (rc != Z_OK) {
      out = "<inflate failed>";
      break;
    }
  }
  inflateEnd(&zs);
  return out;
}

// A fresh directory under the working directory, removed with its contents.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "decor_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::filesystem::absolute(tmpl).string();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Names in the directory (recursively), sorted; shows stray temporaries.
  std::vector<std::string> listing() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_))
      out.push_back(std::filesystem::relative(e.path(), dir_).string());
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string dir_;
};

}  // namespace tarvelo::decor_test
