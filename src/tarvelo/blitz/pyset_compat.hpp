// CPython-style hash sets whose slot order decides the order of the gene lists
// of mode "blitz", and the SipHash-1-3 string hash they use.
//
// The reference computation builds Python sets of gene names and of gene
// positions and iterates them; the order of that iteration decides the order
// of floating-point sums, so it has to be reproduced slot for slot. The tables
// use CPython's constants (8 initial slots, 9 linear probes, perturbation shift
// 5, growth at three fifths of the mask), with the next probe group computed
// from the last slot of the previous group.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarvelo::blitz::compat {

// SipHash-1-3 of `data` under the all-zero key.
uint64_t siphash13_zero_key(const void* data, size_t len);

// The hash of a name: SipHash-1-3 of its UTF-8 bytes under the zero key, with
// 2^64-1 (that is -1 as a signed value) replaced by 2^64-2. The empty name is
// hashed like any other (CPython maps it to 0 instead).
uint64_t python_string_hash(std::string_view name);

// Smallest power of two >= 8 that exceeds `used` * 4 (or `used` * 2 above
// 50000 entries): the table size after a resize.
uint64_t python_set_resized_size(uint64_t used);

// A set of names. The set stores views: the names must outlive it. Each entry
// carries a caller-defined tag (the gene position in mode "blitz") that plays
// no part in the table order.
class PythonStringSet {
 public:
  struct Slot {
    uint64_t hash = 0;
    std::string_view name;
    uint64_t tag = 0;
    bool full = false;
  };

  PythonStringSet() : table_(8) {}

  // Hashes the name and inserts it; resizes after an addition when the table
  // is three fifths full. Returns true when the name was added.
  bool insert(std::string_view name, uint64_t tag = 0) {
    return insert_hashed(python_string_hash(name), name, tag);
  }
  // As insert(), with a hash computed before (it must be python_string_hash).
  bool insert_hashed(uint64_t hash, std::string_view name, uint64_t tag = 0);
  // Inserts by the probe sequence without resizing.
  bool insert_no_resize(uint64_t hash, std::string_view name, uint64_t tag = 0);

  // The slot holding `name` (whose hash is `hash`), or null.
  const Slot* find(uint64_t hash, std::string_view name) const;
  const Slot* find(std::string_view name) const { return find(python_string_hash(name), name); }

  const std::vector<Slot>& slots() const { return table_; }
  uint64_t used() const { return used_; }
  uint64_t fill() const { return fill_; }
  size_t table_size() const { return table_.size(); }

  // Names in iteration (slot) order.
  std::vector<std::string_view> names() const;

 private:
  void resize();

  std::vector<Slot> table_;
  uint64_t used_ = 0;
  uint64_t fill_ = 0;
};

// The intersection as CPython builds it: the occupied slots of `iterated` are
// visited in slot order and each name that `contains` accepts goes into a new
// set; the result is that new set (read its slots for the order). `contains`
// receives the slot (hash, name, tag) and a tag to store with the name (preset
// to the slot's own tag), and returns whether the other side holds the name.
template <class Contains>
PythonStringSet intersection_new_set(const std::vector<PythonStringSet::Slot>& iterated,
                                     uint64_t other_used, Contains&& contains) {
  PythonStringSet out;
  if (other_used == 0) return out;
  for (const auto& s : iterated) {
    if (!s.full) continue;
    uint64_t tag = s.tag;
    if (contains(s, tag)) out.insert_hashed(s.hash, s.name, tag);
  }
  return out;
}

// A set of unsigned 64-bit values; a value is its own hash.
class PythonIntSet {
 public:
  struct Slot {
    uint64_t value = 0;
    bool full = false;
  };

  PythonIntSet() : table_(8) {}

  bool insert(uint64_t value);
  bool insert_no_resize(uint64_t value);
  bool contains(uint64_t value) const;
  // Back to 8 empty slots, keeping the buffers' capacity.
  void reset();

  const std::vector<Slot>& slots() const { return table_; }
  uint64_t used() const { return used_; }
  uint64_t fill() const { return fill_; }
  size_t table_size() const { return table_.size(); }
  // Values in iteration (slot) order.
  std::vector<uint64_t> values() const;
  // Releases the resize buffer.
  void clear_scratch() { std::vector<uint64_t>().swap(scratch_); }
  size_t scratch_capacity() const { return scratch_.capacity(); }

 private:
  void resize();

  std::vector<Slot> table_;
  std::vector<uint64_t> scratch_;  // old entries during a resize
  uint64_t used_ = 0;
  uint64_t fill_ = 0;
};

}  // namespace tarvelo::blitz::compat
