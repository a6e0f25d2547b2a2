#include "tarvelo/engine/algo_support.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "tarvelo/engine/special_compat.hpp"

namespace tarvelo::algo_support {

namespace {

uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Folds the 128-bit product: every input bit reaches every output bit.
uint64_t mix(uint64_t a, uint64_t b) {
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}

constexpr uint64_t kSalt0 = 0xa0761d6478bd642full;
constexpr uint64_t kSalt1 = 0xe7037ed1a0b428dbull;
constexpr uint64_t kSalt2 = 0x8ebc6af09c88c6e3ull;

// Gene names are mostly under 16 bytes: those are read as two (possibly
// overlapping) words with no loop; longer ones fold 16 bytes at a time.
inline uint64_t hash_bytes(const char* p, size_t n) {
  uint64_t seed = kSalt0 ^ n;
  uint64_t a = 0, b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = (uint64_t{static_cast<unsigned char>(p[0])} << 16) |
          (uint64_t{static_cast<unsigned char>(p[n >> 1])} << 8) |
          uint64_t{static_cast<unsigned char>(p[n - 1])};
    }
  } else {
    for (size_t i = 0; n - i > 16; i += 16)
      seed = mix(load64(p + i) ^ kSalt1, load64(p + i + 8) ^ seed);
    a = load64(p + n - 16);
    b = load64(p + n - 8);
  }
  return mix(kSalt2 ^ n, mix(a ^ kSalt1, b ^ seed));
}

// Equality of n <= 16 bytes with the same overlapping reads as the hash,
// cheaper than a call to memcmp for such short names.
inline bool equal_short(const char* a, const char* b, size_t n) {
  if (n >= 8) return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
  if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  if (n > 0) return a[0] == b[0] && a[n >> 1] == b[n >> 1] && a[n - 1] == b[n - 1];
  return true;
}

}  // namespace

uint64_t GeneIndex::hash_name(std::string_view s) noexcept { return hash_bytes(s.data(), s.size()); }

// The slot holding `name`, or the empty slot where it would go.
inline size_t GeneIndex::probe(std::string_view name, uint64_t hash) const {
  const uint32_t tag = static_cast<uint32_t>(hash >> 32);
  const size_t n = name.size();
  for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Slot& s = slots_[i];
    if (s.position == kEmpty) return i;
    if (s.tag != tag || s.length != n) continue;
    if (n <= kInline) {
      if (equal_short(s.bytes, name.data(), n)) return i;
    } else {
      uint64_t offset;
      std::memcpy(&offset, s.bytes, sizeof offset);
      if (std::memcmp(long_names_.data() + offset, name.data(), n) == 0) return i;
    }
  }
}

GeneIndex::GeneIndex(const std::vector<std::string>& genes) {
  if (genes.empty()) return;
  // At most half full. Most probes then end at the first slot; a fuller
  // table measured slower in spite of its smaller size, as every extra slot
  // visited is a branch that mispredicts.
  size_t capacity = 16;
  while (capacity < genes.size() * 2) capacity *= 2;
  slots_.resize(capacity);
  mask_ = capacity - 1;
  for (size_t pos = 0; pos < genes.size(); ++pos) {
    const std::string_view name = genes[pos];
    // The length field is 32 bits; no real gene name comes near.
    if (name.size() > UINT32_MAX) throw std::length_error("gene name too long to index");
    const uint64_t h = hash_bytes(name.data(), name.size());
    Slot& s = slots_[probe(name, h)];
    if (s.position == kEmpty) {
      ++distinct_;
      s.tag = static_cast<uint32_t>(h >> 32);
      s.length = static_cast<uint32_t>(name.size());
      if (name.size() <= kInline) {
        std::memcpy(s.bytes, name.data(), name.size());
      } else {
        const uint64_t offset = long_names_.size();
        std::memcpy(s.bytes, &offset, sizeof offset);
        long_names_.append(name);
      }
    }
    s.position = pos;
  }
}

std::optional<uint64_t> GeneIndex::find(std::string_view name) const {
  if (slots_.empty() || name.size() > UINT32_MAX) return std::nullopt;
  const Slot& s = slots_[probe(name, hash_bytes(name.data(), name.size()))];
  if (s.position == kEmpty) return std::nullopt;
  return s.position;
}

void GeneIndex::append_positions(std::span<const std::string> names,
                                 std::vector<uint64_t>& out) const {
  if (slots_.empty()) return;
  // The table outgrows the nearest cache while the pathways stream through
  // it, so most lookups would wait on memory one after the other. Hashing a
  // batch first lets its slot reads overlap.
  constexpr size_t kBatch = 16;
  uint64_t hashes[kBatch];
  for (size_t start = 0; start < names.size(); start += kBatch) {
    const size_t count = std::min(kBatch, names.size() - start);
    for (size_t j = 0; j < count; ++j) {
      const std::string& name = names[start + j];
      hashes[j] = hash_bytes(name.data(), name.size());
      __builtin_prefetch(&slots_[hashes[j] & mask_]);
    }
    for (size_t j = 0; j < count; ++j) {
      const std::string& name = names[start + j];
      if (name.size() > UINT32_MAX) continue;
      const Slot& s = slots_[probe(name, hashes[j])];
      if (s.position != kEmpty) out.push_back(s.position);
    }
  }
}

GeneIndex build_gene_index(const RankedList& ranked) { return GeneIndex(ranked.genes()); }

std::vector<uint64_t> extract_pathway_hits(const GeneIndex& index,
                                           std::span<const std::string> genes) {
  std::vector<uint64_t> hits;
  if (genes.empty() || index.empty()) return hits;
  hits.reserve(genes.size());
  index.append_positions(genes, hits);
  sort_unique_positions(hits);
  return hits;
}

void sort_unique_positions(std::vector<uint64_t>& positions) {
  constexpr size_t kBitmapMin = 8;
  constexpr uint64_t kBitmapWordsPer = 4;
  if (positions.size() < 2) return;
  const auto [lo_it, hi_it] = std::minmax_element(positions.begin(), positions.end());
  const uint64_t lo = *lo_it;
  const uint64_t words = (*hi_it - lo) / 64 + 1;
  // A bit per position, read back in order, beats a comparison sort (whose
  // branches mispredict about half the time) unless the stretch is so sparse
  // that the words outnumber the positions several times over.
  if (positions.size() < kBitmapMin || words > kBitmapWordsPer * positions.size()) {
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return;
  }
  std::vector<uint64_t> bits(words);
  for (uint64_t p : positions) bits[(p - lo) / 64] |= uint64_t{1} << ((p - lo) % 64);
  positions.clear();
  for (uint64_t w = 0; w < words; ++w) {
    for (uint64_t b = bits[w]; b != 0; b &= b - 1)
      positions.push_back(lo + w * 64 + static_cast<uint64_t>(std::countr_zero(b)));
  }
}

std::vector<std::string> leading_edge(std::span<const uint64_t> hits, uint64_t peak,
                                      ScoreType score_type,
                                      const std::vector<std::string>& ranked_genes, double es) {
  std::vector<std::string> out;
  const bool top = score_type == ScoreType::kPos || (score_type == ScoreType::kStd && es > 0);
  const bool bottom = score_type == ScoreType::kNeg || (score_type == ScoreType::kStd && es < 0);
  if (top) {
    for (uint64_t h : hits) {
      if (h > peak) break;
      out.push_back(ranked_genes[h]);
    }
  } else if (bottom) {
    for (auto it = hits.rbegin(); it != hits.rend() && *it >= peak; ++it)
      out.push_back(ranked_genes[*it]);
  }
  return out;
}

void apply_bh_adjustment(std::span<EnrichmentResult> results) {
  const double m = static_cast<double>(results.size());
  std::vector<size_t> idx;
  idx.reserve(results.size());
  for (size_t i = 0; i < results.size(); ++i)
    if (std::isfinite(results[i].pval)) idx.push_back(i);
  if (idx.empty()) return;
  std::stable_sort(idx.begin(), idx.end(),
                   [&](size_t a, size_t b) { return results[a].pval < results[b].pval; });
  double running = 1.0;
  for (size_t r = idx.size(); r >= 1; --r) {
    EnrichmentResult& res = results[idx[r - 1]];
    const double q = (res.pval * m) / static_cast<double>(r);
    running = std::fmin(running, q);
    running = std::fmin(running, 1.0);
    res.padj = running;
  }
}

}  // namespace tarvelo::algo_support

namespace tarvelo::algo_support {

bool should_refine_multilevel(uint64_t k, uint64_t n, uint64_t nperm, uint64_t sample_size,
                              double pval) {
  if (n < 10 || nperm == 0 || !std::isfinite(pval)) return false;
  if (k > nperm) return false;  // counts out of range: nothing sound to refine
  const double kf = static_cast<double>(k);
  const double nf = static_cast<double>(nperm);
  const double p = (kf + 1.0) / (nf + 1.0);
  const double log2p = std::log2(p);
  // Clopper-Pearson 95% interval of k successes out of nperm, in log2.
  const double lower = k == 0 ? -std::numeric_limits<double>::infinity()
                              : std::log2(special_compat::beta_inverse_cdf(
                                    kf, static_cast<double>(nperm - k + 1), 0.025));
  const double upper = k == nperm ? 0.0
                                  : std::log2(special_compat::beta_inverse_cdf(
                                        kf + 1.0, static_cast<double>(nperm - k), 0.975));
  const double half = 0.5 * std::fmax(log2p - lower, upper - log2p);
  const double s1 = static_cast<double>(sample_size) + 1.0;
  const double mlerr =
      std::sqrt(std::floor(1.0 - log2p) *
                (special_compat::trigamma(s1 * 0.5) - special_compat::trigamma(s1))) /
      0.6931471805599453;
  return mlerr < half;
}

}  // namespace tarvelo::algo_support
