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

// The probe sequence shared by both sets: calls visit(i) for every slot in
// probe order until it returns true.
template <class Visit>
inline void probe(uint64_t hash, size_t mask, Visit&& visit) {
  uint64_t perturb = hash;
  uint64_t i = hash & mask;
  for (;;) {
    const uint64_t p = (i + 9 <= mask) ? 9 : 0;
    for (uint64_t j = i; j <= i + p; ++j) {
      if (visit(static_cast<size_t>(j))) return;
    }
    perturb >>= 5;
    i = ((i + p) * 5 + 1 + perturb) & mask;
  }
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

// ---------------------------------------------------------------------------
// PythonStringSet

bool PythonStringSet::insert_no_resize(uint64_t hash, std::string_view name, uint64_t tag) {
  if (fill_ >= table_.size()) internal_fault("python string set table is full");
  bool added = false;
  probe(hash, table_.size() - 1, [&](size_t j) {
    Slot& s = table_[j];
    if (!s.full) {
      s = Slot{hash, name, tag, true};
      ++used_;
      ++fill_;
      added = true;
      return true;
    }
    return s.hash == hash && s.name == name;
  });
  return added;
}

bool PythonStringSet::insert_hashed(uint64_t hash, std::string_view name, uint64_t tag) {
  const uint64_t mask = table_.size() - 1;
  if (!insert_no_resize(hash, name, tag)) return false;
  if (fill_ * 5 >= mask * 3) resize();
  return true;
}

const PythonStringSet::Slot* PythonStringSet::find(uint64_t hash, std::string_view name) const {
  const Slot* found = nullptr;
  probe(hash, table_.size() - 1, [&](size_t j) {
    const Slot& s = table_[j];
    if (!s.full) return true;
    if (s.hash == hash && s.name == name) {
      found = &s;
      return true;
    }
    return false;
  });
  return found;
}

void PythonStringSet::resize() {
  std::vector<Slot> old(python_set_resized_size(used_));
  old.swap(table_);
  used_ = fill_ = 0;
  for (const Slot& s : old) {
    if (s.full) insert_no_resize(s.hash, s.name, s.tag);
  }
}

std::vector<std::string_view> PythonStringSet::names() const {
  std::vector<std::string_view> out;
  out.reserve(used_);
  for (const Slot& s : table_) {
    if (s.full) out.push_back(s.name);
  }
  return out;
}

// ---------------------------------------------------------------------------
// PythonIntSet

bool PythonIntSet::insert_no_resize(uint64_t value) {
  if (fill_ >= table_.size()) internal_fault("python int set table is full");
  bool added = false;
  probe(value, table_.size() - 1, [&](size_t j) {
    Slot& s = table_[j];
    if (!s.full) {
      s = Slot{value, true};
      ++used_;
      ++fill_;
      added = true;
      return true;
    }
    return s.value == value;
  });
  return added;
}

bool PythonIntSet::insert(uint64_t value) {
  const uint64_t mask = table_.size() - 1;
  if (!insert_no_resize(value)) return false;
  if (fill_ * 5 >= mask * 3) resize();
  return true;
}

bool PythonIntSet::contains(uint64_t value) const {
  bool found = false;
  probe(value, table_.size() - 1, [&](size_t j) {
    const Slot& s = table_[j];
    if (!s.full) return true;
    if (s.value == value) {
      found = true;
      return true;
    }
    return false;
  });
  return found;
}

void PythonIntSet::reset() {
  table_.assign(8, Slot{});
  used_ = fill_ = 0;
}

void PythonIntSet::resize() {
  scratch_.clear();
  for (const Slot& s : table_) {
    if (s.full) scratch_.push_back(s.value);
  }
  table_.assign(python_set_resized_size(used_), Slot{});
  used_ = fill_ = 0;
  for (uint64_t v : scratch_) insert_no_resize(v);
}

std::vector<uint64_t> PythonIntSet::values() const {
  std::vector<uint64_t> out;
  out.reserve(used_);
  for (const Slot& s : table_) {
    if (s.full) out.push_back(s.value);
  }
  return out;
}

}  // namespace tarvelo::blitz::compat
