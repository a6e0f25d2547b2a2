// SHA-256 against the FIPS 180-4 examples and CPython's hashlib (chunked input).
#include <gtest/gtest.h>

#include <string>

#include "tarvelo/base/sha256.hpp"

namespace tarvelo {
namespace {

TEST(Sha256Test, KnownDigestsAndChunking) {
  EXPECT_EQ(Sha256::hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256::hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256::hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // hashlib.sha256(bytes(range(256)) * 40).hexdigest()
  std::string data;
  for (int r = 0; r < 40; ++r)
    for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>(i));
  const std::string expect = Sha256::hex(data);
  EXPECT_EQ(expect, "e96760a87768717bcebcfd25ddc7d46b4dbc95a4b0014def080c08539f7d90d0");
  for (size_t step : {1u, 7u, 63u, 64u, 65u, 1000u}) {
    Sha256 h;
    for (size_t i = 0; i < data.size(); i += step) h.update(data.data() + i, std::min(step, data.size() - i));
    EXPECT_EQ(h.finish_hex(), expect) << step;
  }
}

}  // namespace
}  // namespace tarvelo
