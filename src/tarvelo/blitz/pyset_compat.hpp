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

// The table both sets below share: CPython's open addressing over slots that
// carry their own hash and equality (Traits::hash, Traits::same). Inserting an
// entry equal to one met first on the probe sequence changes nothing.
template <class Slot, class Traits>
class PythonSetTable {
 public:
  PythonSetTable() : table_(8) {}

  // Inserts by the probe sequence without resizing. True when added.
  bool insert_no_resize(const Slot& entry);
  // insert_no_resize, then a resize when the table is three fifths full.
  bool insert(const Slot& entry) {
    const uint64_t mask = table_.size() - 1;
    if (!insert_no_resize(entry)) return false;
    if (fill_ * 5 >= mask * 3) resize();
    return true;
  }
  // The slot equal to `key`, or null.
  const Slot* find(const Slot& key) const;
  // Back to 8 empty slots, keeping the buffers' capacity.
  void reset() {
    table_.assign(8, Slot{});
    used_ = fill_ = 0;
  }

  const std::vector<Slot>& slots() const { return table_; }
  uint64_t used() const { return used_; }
  uint64_t fill() const { return fill_; }
  size_t table_size() const { return table_.size(); }
  // Releases the resize buffer.
  void clear_scratch() { std::vector<Slot>().swap(scratch_); }
  size_t scratch_capacity() const { return scratch_.capacity(); }

 private:
  // Calls visit(i) for every slot in probe order until it returns true.
  template <class Visit>
  static void probe(uint64_t hash, size_t mask, Visit&& visit) {
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
  void resize();

  std::vector<Slot> table_;
  std::vector<Slot> scratch_;  // the occupied slots during a resize
  uint64_t used_ = 0;
  uint64_t fill_ = 0;
};

// Reports a broken table invariant (defined out of line: the header stays
// free of the error machinery).
[[noreturn]] void python_set_table_full();

template <class Slot, class Traits>
bool PythonSetTable<Slot, Traits>::insert_no_resize(const Slot& entry) {
  if (fill_ >= table_.size()) python_set_table_full();
  bool added = false;
  probe(Traits::hash(entry), table_.size() - 1, [&](size_t j) {
    Slot& s = table_[j];
    if (!s.full) {
      s = entry;
      s.full = true;
      ++used_;
      ++fill_;
      added = true;
      return true;
    }
    return Traits::same(s, entry);
  });
  return added;
}

template <class Slot, class Traits>
const Slot* PythonSetTable<Slot, Traits>::find(const Slot& key) const {
  const Slot* found = nullptr;
  probe(Traits::hash(key), table_.size() - 1, [&](size_t j) {
    const Slot& s = table_[j];
    if (!s.full) return true;
    if (Traits::same(s, key)) {
      found = &s;
      return true;
    }
    return false;
  });
  return found;
}

template <class Slot, class Traits>
void PythonSetTable<Slot, Traits>::resize() {
  scratch_.clear();
  for (const Slot& s : table_)
    if (s.full) scratch_.push_back(s);
  table_.assign(python_set_resized_size(used_), Slot{});
  used_ = fill_ = 0;
  for (const Slot& s : scratch_) insert_no_resize(s);
}

struct StringSetSlot {
  uint64_t hash = 0;
  std::string_view name;
  uint64_t tag = 0;
  bool full = false;
};
struct StringSetTraits {
  static uint64_t hash(const StringSetSlot& s) { return s.hash; }
  static bool same(const StringSetSlot& a, const StringSetSlot& b) {
    return a.hash == b.hash && a.name == b.name;
  }
};

// A set of names. The set stores views: the names must outlive it. Each entry
// carries a caller-defined tag (the gene position in mode "blitz") that plays
// no part in the table order.
class PythonStringSet : public PythonSetTable<StringSetSlot, StringSetTraits> {
  using Table = PythonSetTable<StringSetSlot, StringSetTraits>;

 public:
  using Slot = StringSetSlot;

  // Hashes the name and inserts it; resizes after an addition when the table
  // is three fifths full. Returns true when the name was added.
  bool insert(std::string_view name, uint64_t tag = 0) {
    return insert_hashed(python_string_hash(name), name, tag);
  }
  // As insert(), with a hash computed before (it must be python_string_hash).
  bool insert_hashed(uint64_t hash, std::string_view name, uint64_t tag = 0) {
    return Table::insert(Slot{hash, name, tag, true});
  }
  // Inserts by the probe sequence without resizing.
  bool insert_no_resize(uint64_t hash, std::string_view name, uint64_t tag = 0) {
    return Table::insert_no_resize(Slot{hash, name, tag, true});
  }

  // The slot holding `name` (whose hash is `hash`), or null.
  const Slot* find(uint64_t hash, std::string_view name) const {
    return Table::find(Slot{hash, name, 0, true});
  }
  const Slot* find(std::string_view name) const { return find(python_string_hash(name), name); }

  // Names in iteration (slot) order.
  std::vector<std::string_view> names() const;
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

struct IntSetSlot {
  uint64_t value = 0;
  bool full = false;
};
struct IntSetTraits {
  static uint64_t hash(const IntSetSlot& s) { return s.value; }
  static bool same(const IntSetSlot& a, const IntSetSlot& b) { return a.value == b.value; }
};

// A set of unsigned 64-bit values; a value is its own hash.
class PythonIntSet : public PythonSetTable<IntSetSlot, IntSetTraits> {
  using Table = PythonSetTable<IntSetSlot, IntSetTraits>;

 public:
  using Slot = IntSetSlot;

  bool insert(uint64_t value) { return Table::insert(Slot{value, true}); }
  bool insert_no_resize(uint64_t value) { return Table::insert_no_resize(Slot{value, true}); }
  bool contains(uint64_t value) const { return Table::find(Slot{value, true}) != nullptr; }
  // Values in iteration (slot) order.
  std::vector<uint64_t> values() const;
};

}  // namespace tarvelo::blitz::compat
