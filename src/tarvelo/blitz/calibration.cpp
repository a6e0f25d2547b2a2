#include "tarvelo/blitz/calibration.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/engine/rng_compat.hpp"

namespace tarvelo::blitz {
namespace compat {

NumpyMt19937::NumpyMt19937(uint32_t seed) {
  rng_compat::mt19937_init_words(seed, state_.mt);
  state_.index = kN;
  pos_ = kN;
  out_.fill(0);
}

void NumpyMt19937::permutation(uint32_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint32_t>(i);
  // random_interval() inlined with the read position in a register: the
  // stores into `out` could otherwise alias the generator's buffers.
  size_t pos = pos_;
  for (size_t i = n; i-- > 1;) {
    const uint32_t max = static_cast<uint32_t>(i);
    const uint32_t mask = 0xffffffffU >> __builtin_clz(max);
    uint32_t j;
    do {
      if (pos == kN) {
        regenerate();
        pos = 0;
      }
      j = out_[pos++] & mask;
    } while (j > max);
    const uint32_t t = out[i];
    out[i] = out[j];
    out[j] = t;
  }
  pos_ = pos;
}

std::pair<double, double> NumpyMt19937::gauss_pair() {
  double x1, x2, r2;
  do {
    const double u1 = next_double();
    const double u2 = next_double();
    x1 = (u1 + u1) - 1.0;
    x2 = (u2 + u2) - 1.0;
    r2 = x1 * x1 + x2 * x2;
  } while (r2 >= 1.0 || r2 == 0.0);
  const double f = std::sqrt((std::log(r2) * -2.0) / r2);
  return {f * x2, f * x1};
}

}  // namespace compat

namespace {

// Vectors of `permutations` entries: a count the address space cannot hold
// is an allocation failure, not a length error.
size_t checked_count(uint64_t n) {
  if (n > (SIZE_MAX / 16)) throw std::bad_alloc();
  return static_cast<size_t>(n);
}

// Performs `m` float32 subtractions r -= step, one rounding per subtraction,
// and returns r. Within one binade of r the float32 grid spacing u is fixed,
// so every subtraction of the same step removes the same multiple of u unless
// the step's remainder modulo u is exactly half of u (a tie, whose rounding
// depends on the parity of r). Runs of such equal steps are applied at once;
// ties, binade crossings and tiny values take single steps.
float subtract_run(float r, float step, uint64_t m) {
  const double s = step;
  while (m > 0) {
    if (std::isfinite(r) && r != 0.0f && std::fpclassify(r) == FP_NORMAL && s > 0.0 &&
        std::isfinite(s)) {
      const int e = std::ilogb(r);
      const double lo = std::ldexp(1.0, e);      // binade [lo, 2 lo) of |r|
      const double u = std::ldexp(1.0, e - 23);  // float32 spacing there
      const double q = std::floor(s / u);
      const double f = s - q * u;  // exact: s has 24 bits, u is a power of two
      if (f != 0.5 * u) {
        const double d = q * u + (f > 0.5 * u ? u : 0.0);  // the rounded step
        const double a = std::fabs(static_cast<double>(r));
        // ok(t): the t-th subtraction (1-based) still rounds on this grid.
        // `before` - lo and 2 lo - `before` are exact (multiples of u below
        // 2 lo), so the tests compare exact values.
        auto ok = [&](double t) {
          const double before = a + (r > 0 ? -(t - 1) : (t - 1)) * d;
          return r > 0 ? before - lo >= s : 2.0 * lo - before > s;
        };
        if (ok(1.0)) {
          double t;
          if (d == 0.0) {
            t = static_cast<double>(m);  // r no longer moves
          } else {
            const double room = r > 0 ? (a - s - lo) : (2.0 * lo - a - s);
            t = std::floor(room / d) + 1.0;
            if (t > static_cast<double>(m)) t = static_cast<double>(m);
            while (t > 1.0 && !ok(t)) t -= 1.0;
            while (t < static_cast<double>(m) && ok(t + 1.0)) t += 1.0;
          }
          const double moved = a + (r > 0 ? -t : t) * d;
          r = static_cast<float>(r > 0 ? moved : -moved);
          m -= static_cast<uint64_t>(t);
          continue;
        }
      }
    }
    r -= step;
    --m;
  }
  return r;
}

}  // namespace

namespace {

// The float32 walk of one random set: the miss step, the hit step of a
// weight, the running sum and the value of r where |r| first peaked.
struct Float32Walk {
  Float32Walk(size_t n_genes, size_t k, double weight_sum)
      : miss(1.0 / static_cast<double>(n_genes - k)),
        missf(static_cast<float>(miss)),
        invsum(1.0 / weight_sum) {}

  float hit_step(double w) const { return static_cast<float>((miss + w * invsum) - miss); }
  void check() {
    if (std::fabs(r) > best) {
      best = std::fabs(r);
      es = r;
    }
  }

  const double miss;
  const float missf;
  const double invsum;
  float r = 0.0f, best = -INFINITY, es = NAN;
};

}  // namespace

double anchor_set_es_naive(const double* weights, size_t n_genes, const uint32_t* hits, size_t k,
                           double weight_sum) {
  Float32Walk walk(n_genes, k, weight_sum);
  size_t h = 0;
  for (size_t pos = 0; pos < n_genes; ++pos) {
    if (h < k && hits[h] == pos) {
      walk.r = walk.r + walk.hit_step(weights[pos]);
      ++h;
    } else {
      walk.r = walk.r - walk.missf;
    }
    walk.check();
  }
  return walk.es;
}

double anchor_set_es(const double* weights, size_t n_genes, const uint32_t* hits, size_t k,
                     double weight_sum) {
  Float32Walk walk(n_genes, k, weight_sum);
  const float missf = walk.missf;
  // Over a run of misses r only falls, so |r| peaks at the run's first or last
  // step; an equal |r| in between has the same value as the one recorded.
  auto run = [&](uint64_t m) {
    if (m == 0) return;
    walk.r = walk.r - missf;
    walk.check();
    if (m > 1) {
      // Short runs are cheaper one subtraction at a time.
      if (m <= 48) {
        float r = walk.r;  // kept in a register over the run
        for (uint64_t i = 1; i < m; ++i) r = r - missf;
        walk.r = r;
      } else {
        walk.r = subtract_run(walk.r, missf, m - 1);
      }
      walk.check();
    }
  };
  uint64_t prev = 0;
  for (size_t h = 0; h < k; ++h) {
    const uint64_t p = hits[h];
    run(p - prev);
    walk.r = walk.r + walk.hit_step(weights[p]);
    walk.check();
    prev = p + 1;
  }
  run(n_genes - prev);
  return walk.es;
}

AnchorScratch::AnchorScratch(size_t n_genes, uint64_t permutations) {
  const size_t p = checked_count(permutations);
  scores.reserve(p);
  pos.reserve(p);
  neg.reserve(p);
  sample.reserve(p);
  perm.resize(n_genes);
  hits.reserve(n_genes);
}

std::vector<uint64_t> anchor_sizes(uint64_t max_set_size, uint64_t anchors, uint64_t n_genes) {
  const uint64_t maxsize = max_set_size == 0 ? 1 : max_set_size;
  std::vector<uint64_t> sizes;
  if (anchors >= maxsize) {
    // The evenly spaced sizes then step by at most 1 and cover 1..maxsize
    // exactly; listing them directly keeps a huge anchor count cheap.
    sizes.reserve(maxsize + 19);
    for (uint64_t s = 1; s <= maxsize; ++s) sizes.push_back(s);
  } else if (anchors == 1) {
    sizes.push_back(1);
  } else {
    sizes.reserve(anchors + 19);
    const double span = static_cast<double>(maxsize - 1);
    const double denom = static_cast<double>(anchors - 1);
    for (uint64_t i = 0; i < anchors; ++i) {
      sizes.push_back(saturating_cast<uint64_t>(span * static_cast<double>(i) / denom + 1.0));
    }
  }
  for (uint64_t s : {1, 2, 3, 4, 5, 6, 7, 12, 16, 20, 30, 40, 50, 60, 70, 80, 100}) sizes.push_back(s);
  sizes.push_back(maxsize > UINT64_MAX - 10 ? UINT64_MAX : maxsize + 10);
  sizes.push_back(maxsize > UINT64_MAX - 30 ? UINT64_MAX : maxsize + 30);
  std::sort(sizes.begin(), sizes.end());
  sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
  std::vector<uint64_t> out;
  for (uint64_t s : sizes) {
    if (s > 0 && s < n_genes) out.push_back(s);
  }
  return out;
}

Result<AnchorFit> estimate_anchor(const std::vector<double>& weights, size_t n_genes, uint64_t size,
                                  uint64_t permutations, bool symmetric,
                                  compat::NumpyMt19937& rng, AnchorScratch& scratch) {
  const size_t k = static_cast<size_t>(size);
  if (k == 0 || k >= n_genes || weights.size() != n_genes || scratch.perm.size() != n_genes)
    internal_fault("anchor size outside the signature");
  const double* w = weights.data();
  uint32_t* perm = scratch.perm.data();
  scratch.scores.clear();
  for (uint64_t draw = 0; draw < permutations; ++draw) {
    interrupt::checkpoint();
    rng.permutation(perm, n_genes);
    double wsum = 0.0;
    for (size_t t = 0; t < k; ++t) wsum += w[perm[t]];
    double es = 0.0;
    if (wsum != 0.0) {
      scratch.hits.assign(perm, perm + k);
      std::sort(scratch.hits.begin(), scratch.hits.end());
      es = anchor_set_es(w, n_genes, scratch.hits.data(), k, wsum);
    }
    if (std::isfinite(es)) scratch.scores.push_back(es);
  }
  if (scratch.scores.empty()) {
    return Error("blitz calibration generated no finite enrichment scores for set size " +
                 std::to_string(size) + ".");
  }
  scratch.pos.clear();
  scratch.neg.clear();
  for (double s : scratch.scores) {
    if (s > 0) scratch.pos.push_back(s);
    else if (s < 0) scratch.neg.push_back(s);
  }
  AnchorFit fit;
  if (!symmetric && scratch.pos.size() >= 250 && scratch.neg.size() >= 250) {
    TARVELO_ASSIGN_OR_RETURN(const GammaFit fp, fit_gamma_floc0_with_scratch(scratch.pos, scratch.fit));
    scratch.sample.clear();
    for (double s : scratch.neg) scratch.sample.push_back(-s);
    TARVELO_ASSIGN_OR_RETURN(const GammaFit fn, fit_gamma_floc0_with_scratch(scratch.sample, scratch.fit));
    fit.shape_pos = fp.shape;
    fit.scale_pos = fp.scale;
    fit.shape_neg = fn.shape;
    fit.scale_neg = fn.scale;
  } else {
    scratch.sample.clear();
    for (double s : scratch.scores) {
      if (s != 0) scratch.sample.push_back(std::fabs(s));
    }
    TARVELO_ASSIGN_OR_RETURN(const GammaFit f, fit_gamma_floc0_with_scratch(scratch.sample, scratch.fit));
    fit.shape_pos = fit.shape_neg = f.shape;
    fit.scale_pos = fit.scale_neg = f.scale;
  }
  const double np = static_cast<double>(scratch.pos.size());
  const double nn = static_cast<double>(scratch.neg.size());
  fit.frac_pos = np / (np + nn);
  return fit;
}

Result<std::vector<std::pair<size_t, AnchorFit>>> estimate_anchor_fits(
    const std::vector<double>& weights, size_t n_genes,
    const std::vector<std::vector<std::pair<size_t, uint64_t>>>& per_worker,
    std::vector<compat::NumpyMt19937>& generators, uint64_t permutations, bool symmetric) {
  const size_t workers = per_worker.size();
  if (generators.size() != workers) internal_fault("one generator per calibration worker");
  std::vector<std::vector<std::pair<size_t, AnchorFit>>> fits(workers);
  std::vector<std::optional<Error>> errors(workers);
  pool::parallel_for_index(workers, [&](size_t wi) {
    AnchorScratch scratch(n_genes, permutations);
    for (const auto& [index, size] : per_worker[wi]) {
      interrupt::checkpoint();
      auto fit = estimate_anchor(weights, n_genes, size, permutations, symmetric, generators[wi],
                                 scratch);
      if (!fit.ok()) {
        errors[wi] = std::move(fit).error();
        return;
      }
      fits[wi].emplace_back(index, *fit);
    }
  });
  std::vector<std::pair<size_t, AnchorFit>> out;
  for (size_t wi = 0; wi < workers; ++wi) {
    if (errors[wi]) return std::move(*errors[wi]);
    out.insert(out.end(), fits[wi].begin(), fits[wi].end());
  }
  return out;
}

uint64_t max_cleaned_size(const std::vector<CleanedPathway>& pathways) {
  uint64_t m = 0;
  for (const auto& p : pathways) m = std::max<uint64_t>(m, p.size());
  return m == 0 ? 1 : m;
}

Result<BlitzModel> estimate_model(const BlitzSignature& signature,
                                  const std::vector<CleanedPathway>& pathways,
                                  const BlitzOptions& options) {
  const size_t n_genes = signature.weights.size();
  const std::vector<uint64_t> sizes =
      anchor_sizes(max_cleaned_size(pathways), options.anchors, n_genes);
  if (sizes.empty()) return Error("blitz calibration produced no valid anchor set sizes.");
  // Permutation draws of 2^32 and more positions would need numpy's 64-bit
  // bounded draws.
  if (n_genes > UINT32_MAX) return Error("blitz calibration supports at most 4294967295 genes.");
  const uint32_t seed = static_cast<uint32_t>(options.seed);

  std::vector<AnchorFit> fits(sizes.size());
  if (options.processes <= 1) {
    compat::NumpyMt19937 rng(seed);
    AnchorScratch scratch(n_genes, options.permutations);
    for (size_t i = 0; i < sizes.size(); ++i) {
      interrupt::checkpoint();
      TARVELO_ASSIGN_OR_RETURN(fits[i], estimate_anchor(signature.weights, n_genes, sizes[i],
                                                        options.permutations, options.symmetric,
                                                        rng, scratch));
    }
  } else {
    const size_t workers =
        static_cast<size_t>(std::min<uint64_t>(sizes.size(), options.processes));
    std::vector<std::vector<std::pair<size_t, uint64_t>>> per_worker(workers);
    for (size_t i = 0; i < sizes.size(); ++i) per_worker[i % workers].emplace_back(i, sizes[i]);
    std::vector<compat::NumpyMt19937> generators(workers, compat::NumpyMt19937(seed));
    TARVELO_ASSIGN_OR_RETURN(auto placed,
                             estimate_anchor_fits(signature.weights, n_genes, per_worker,
                                                  generators, options.permutations,
                                                  options.symmetric));
    if (placed.size() != sizes.size()) internal_fault("every anchor should have a fit");
    for (auto& [index, fit] : placed) fits[index] = fit;
  }

  const size_t a = sizes.size();
  std::vector<double> x(a), shape_pos(a), scale_pos(a), frac_pos(a), shape_neg(a), scale_neg(a);
  compat::NumpyMt19937 jitter(seed);
  double pending = 0.0;
  bool have_pending = false;
  for (size_t i = 0; i < a; ++i) {
    x[i] = static_cast<double>(sizes[i]);
    shape_pos[i] = fits[i].shape_pos;
    scale_pos[i] = fits[i].scale_pos;
    shape_neg[i] = fits[i].shape_neg;
    scale_neg[i] = fits[i].scale_neg;
    double g;
    if (have_pending) {
      g = pending;
      have_pending = false;
    } else {
      const auto pair = jitter.gauss_pair();
      g = pair.first;
      pending = pair.second;
      have_pending = true;
    }
    double f = fits[i].frac_pos - std::fabs(g * 1e-4);
    if (f < 0.0) f = 0.0;
    if (f > 1.0) f = 1.0;
    frac_pos[i] = f;
  }
  // Degenerate anchor samples (a single value, or all values equal) fit an
  // infinite shape; lowess then fails, and the message names the curve.
  auto smooth = [&](const std::vector<double>& y, double frac, const char* name) {
    return smoothing::lowess_interpolation(x, y, frac)
        .context(std::string("lowess smoothing of the ") + name + " fits met a NaN residual");
  };
  BlitzModel model;
  TARVELO_ASSIGN_OR_RETURN(model.shape_pos, smooth(shape_pos, 0.6, "shape_pos"));
  TARVELO_ASSIGN_OR_RETURN(model.scale_pos, smooth(scale_pos, 0.15, "scale_pos"));
  TARVELO_ASSIGN_OR_RETURN(model.frac_pos, smooth(frac_pos, 0.5, "frac_pos"));
  TARVELO_ASSIGN_OR_RETURN(model.shape_neg, smooth(shape_neg, 0.6, "shape_neg"));
  TARVELO_ASSIGN_OR_RETURN(model.scale_neg, smooth(scale_neg, 0.15, "scale_neg"));
  return model;
}

}  // namespace tarvelo::blitz
