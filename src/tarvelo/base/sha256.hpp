// SHA-256 (FIPS 180-4), incremental, with lowercase hex output.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvelo {

class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t len);
  void update(std::string_view s) { update(s.data(), s.size()); }
  // Finishes the digest; the object must not be updated afterwards.
  std::array<uint8_t, 32> finish();
  std::string finish_hex();

  static std::string hex(std::string_view data);

 private:
  void compress(const uint8_t* block);

  std::array<uint32_t, 8> h_;
  std::array<uint8_t, 64> buf_{};
  size_t buf_len_ = 0;
  uint64_t total_ = 0;
};

}  // namespace tarvelo
