#include "tarvelo/blitz/pyset_compat.hpp"

#include <cstring>

#include "tarvelo/base/error.hpp"

namespace tarvelo::blitz::compat {
namespace {

constexpr uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0 = 0x736f6d6570736575ULL;  // the zero key XORed in changes nothing
  uint64_t v1 = 0x646f72616e646f6dULL;
  uint64_t v2 = 0x6c7967656e657261ULL;
  uint64_t v3 = 0x7465646279746573ULL;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void word(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint64_t siphash13_zero_key(const void* data, size_t len) {
  const auto* in = static_cast<const unsigned char*>(data);
  SipState s;
  const size_t whole = len & ~size_t{7};
  for (size_t off = 0; off < whole; off += 8) s.word(load_le64(in + off));
  uint64_t last = static_cast<uint64_t>(len) << 56;
  for (size_t i = 0; i < (len & 7); ++i) last |= static_cast<uint64_t>(in[whole + i]) << (8 * i);
  s.word(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

uint64_t python_string_hash(std::string_view name) {
  const uint64_t h = siphash13_zero_key(name.data(), name.size());
  return h == UINT64_MAX ? UINT64_MAX - 1 : h;
}

uint64_t python_set_resized_size(uint64_t used) {
  // used never approaches 2^62 (every entry occupies memory), so no overflow.
  const uint64_t min_used = used > 50000 ? used * 2 : used * 4;
  uint64_t size = 8;
  while (size <= min_used) size <<= 1;
  return size;
}

void python_set_table_full() { internal_fault("python set table is full"); }

std::vector<std::string_view> PythonStringSet::names() const {
  std::vector<std::string_view> out;
  out.reserve(used());
  for (const Slot& s : slots()) {
    if (s.full) out.push_back(s.name);
  }
  return out;
}

std::vector<uint64_t> PythonIntSet::values() const {
  std::vector<uint64_t> out;
  out.reserve(used());
  for (const Slot& s : slots()) {
    if (s.full) out.push_back(s.value);
  }
  return out;
}

}  // namespace tarvelo::blitz::compat
