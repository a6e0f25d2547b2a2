#include "tarvelo/decor/expression.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/base/pool.hpp"
#include "tarvelo/base/text_parse.hpp"

namespace tarvelo::decor {
namespace {

// Rows of the pathway's kept genes, transposed (sample-major) so that the
// products of a gene with all later genes run over contiguous memory. Each
// pair's dot product still adds its products in sample order: vector lanes
// differ only in the partner gene, never in the order of a single sum.
struct PairScratch {
  std::vector<double> columns;  // columns[k * m + j] = row j, sample k
  std::vector<double> acc;      // kBlock rows of dot products, m each
  std::vector<double> sums;     // per kept gene
};

constexpr size_t kBlock = 4;

// Two doubles per vector: plain IEEE operations per lane, the same results as
// scalar code (the build never contracts a multiply and an add).
using V2 = double __attribute__((vector_size(16)));
inline V2 load2(const double* p) {
  V2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline V2 splat(double x) { return V2{x, x}; }

// acc[b * m + j] = dot(row i0 + b, row j) for j in [first, m), b < nb, each
// sum taken over the samples in order. Tiles of four rows by four partners
// keep their sums in registers across all samples.
void dot_block(const double* const* rows, size_t i0, size_t nb, size_t first, size_t m, size_t n,
               const double* columns, double* acc) {
  size_t j = first;
  if (nb == kBlock) {
    const double* x0 = rows[i0];
    const double* x1 = rows[i0 + 1];
    const double* x2 = rows[i0 + 2];
    const double* x3 = rows[i0 + 3];
    for (; j + 4 <= m; j += 4) {
      V2 s00{0, 0}, s01{0, 0}, s10{0, 0}, s11{0, 0}, s20{0, 0}, s21{0, 0}, s30{0, 0}, s31{0, 0};
      const double* c = columns + j;
      for (size_t k = 0; k < n; ++k, c += m) {
        const V2 c0 = load2(c), c1 = load2(c + 2);
        const V2 b0 = splat(x0[k]), b1 = splat(x1[k]), b2 = splat(x2[k]), b3 = splat(x3[k]);
        s00 += b0 * c0;
        s01 += b0 * c1;
        s10 += b1 * c0;
        s11 += b1 * c1;
        s20 += b2 * c0;
        s21 += b2 * c1;
        s30 += b3 * c0;
        s31 += b3 * c1;
      }
      std::memcpy(acc + j, &s00, 16);
      std::memcpy(acc + j + 2, &s01, 16);
      std::memcpy(acc + m + j, &s10, 16);
      std::memcpy(acc + m + j + 2, &s11, 16);
      std::memcpy(acc + 2 * m + j, &s20, 16);
      std::memcpy(acc + 2 * m + j + 2, &s21, 16);
      std::memcpy(acc + 3 * m + j, &s30, 16);
      std::memcpy(acc + 3 * m + j + 2, &s31, 16);
    }
  }
  for (size_t b = 0; b < nb; ++b) {
    const double* x = rows[i0 + b];
    for (size_t jj = j; jj < m; ++jj) {
      double sum = 0.0;
      const double* c = columns + jj;
      for (size_t k = 0; k < n; ++k, c += m) sum += x[k] * *c;
      acc[b * m + jj] = sum;
    }
  }
}

void pathway_redundancy(const std::vector<const double*>& rows, size_t n, DecorRedundancy kind,
                        PairScratch* s, std::vector<float>* out) {
  const size_t m = rows.size();
  out->assign(m, 0.0f);
  if (m < 2) return;  // a single gene has no partner: 0
  s->columns.resize(m * n);
  for (size_t j = 0; j < m; ++j)
    for (size_t k = 0; k < n; ++k) s->columns[k * m + j] = rows[j][k];
  s->sums.assign(m, 0.0);
  s->acc.resize(kBlock * m);
  const bool positive = kind == DecorRedundancy::kPositiveMean;
  // Gene i has already received its terms from the genes before it (in
  // their order) when its own row is reached; its terms with later genes
  // follow in ascending order, and each later gene receives gene i's term in
  // ascending i. That is the order of the pair loop i < j, i ascending, then
  // j ascending. Products of a block row with partners at or before it are
  // computed but not used.
  for (size_t i0 = 0; i0 + 1 < m; i0 += kBlock) {
    interrupt::checkpoint();
    const size_t nb = std::min(kBlock, m - 1 - i0);
    dot_block(rows.data(), i0, nb, i0 + 1, m, n, s->columns.data(), s->acc.data());
    for (size_t b = 0; b < nb; ++b) {
      const size_t i = i0 + b;
      const double* acc = s->acc.data() + b * m;
      double si = s->sums[i];
      for (size_t j = i + 1; j < m; ++j) {
        const double r = std::clamp(acc[j], -1.0, 1.0);
        const double v = positive ? std::fmax(r, 0.0) : std::fabs(r);
        si += v;
        s->sums[j] += v;
      }
      s->sums[i] = si;
    }
  }
  const double denom = static_cast<double>(m - 1);
  for (size_t j = 0; j < m; ++j) {
    const double red = std::clamp(s->sums[j] / denom, 0.0, 1.0);
    (*out)[j] = static_cast<float>(red);
  }
}

// Deviations of scale * x from their mean into out; returns their sum of
// squares. `scale` is a power of two, so scale * x is exact (barring
// underflow) and 1.0 leaves the values as they are.
double centre(const double* x, size_t n, double scale, double* out) {
  double sum = 0.0;
  for (size_t k = 0; k < n; ++k) sum += x[k] * scale;
  const double mean = sum / static_cast<double>(n);
  double ss = 0.0;
  for (size_t k = 0; k < n; ++k) {
    const double d = x[k] * scale - mean;
    out[k] = d;
    ss += d * d;
  }
  return ss;
}

// A row divided into unit length around its mean; constant rows become zeros
// whatever the rounding of their mean (an inexact mean would otherwise leave
// tiny residuals that normalise to +-1/sqrt(n) and correlate perfectly).
//
// Finite values near the ends of the double range would overflow the sum or
// the squares (and the row would become NaN or zeros) or underflow every
// square. Such a row is first scaled by a power of two that brings its
// largest magnitude to [0.5, 1): correlation does not depend on scale, and
// the scaling is exact, so the result is the one an unbounded exponent range
// would give. Other rows are computed unscaled, exactly as before.
void standardise(const double* x, size_t n, double* out) {
  bool constant = true;
  for (size_t k = 1; k < n && constant; ++k) constant = x[k] == x[0];
  if (constant) {
    std::fill(out, out + n, 0.0);
    return;
  }
  double ss = centre(x, n, 1.0, out);
  if (!std::isfinite(ss) || ss == 0.0) {
    double largest = 0.0;
    for (size_t k = 0; k < n; ++k) largest = std::fmax(largest, std::fabs(x[k]));
    int e = 0;
    (void)std::frexp(largest, &e);
    ss = centre(x, n, std::ldexp(1.0, -e), out);
  }
  if (ss > 0.0 && std::isfinite(ss)) {
    const double root = std::sqrt(ss);
    for (size_t k = 0; k < n; ++k) out[k] /= root;
  } else {
    std::fill(out, out + n, 0.0);
  }
}

struct StringViewHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

}  // namespace

Result<ExpressionMatrix> read_expression_matrix(std::string_view path) {
  TARVELO_ASSIGN_OR_RETURN(io::InputFile input, io::InputFile::open(path));
  io::LineReader reader(input.source());
  ExpressionMatrix m;
  std::unordered_set<std::string, StringViewHash, std::equal_to<>> seen;
  bool fixed = false;
  size_t n_samples = 0;
  std::vector<std::string_view> fields;
  std::vector<double> values;
  std::string_view line;
  for (;;) {
    TARVELO_ASSIGN_OR_RETURN(const bool more, reader.next(&line));
    if (!more) break;
    if (io::is_blank(line)) continue;
    const uint64_t ln = reader.line_number();
    io::split_tabs(line, &fields);
    if (ln == 1) {
      if (fields.size() < 3) {
        return Error("expression matrix header must contain gene and at least two sample columns");
      }
      n_samples = fields.size() - 1;
      fixed = true;
      continue;
    }
    if (fields.size() < 3) {
      return Error("Malformed expression matrix line " + std::to_string(ln) +
                   ": expected gene and at least two sample columns");
    }
    if (!fixed) {
      n_samples = fields.size() - 1;
      fixed = true;
    }
    if (fields.size() - 1 != n_samples) {
      return Error("Malformed expression matrix line " + std::to_string(ln) + ": expected " +
                   std::to_string(n_samples) + " sample columns, found " +
                   std::to_string(fields.size() - 1));
    }
    if (fields[0].empty()) {
      return Error("expression matrix line " + std::to_string(ln) + " has an empty gene identifier");
    }
    if (seen.find(fields[0]) != seen.end()) {
      return Error("expression matrix has duplicate gene identifier: " + std::string(fields[0]));
    }
    values.clear();
    for (size_t k = 1; k < fields.size(); ++k) {
      auto v = text::parse_f64(fields[k]);
      if (!v.ok()) {
        return std::move(v).error().context("Failed to parse expression value '" +
                                            std::string(fields[k]) + "' on line " +
                                            std::to_string(ln));
      }
      values.push_back(*v);
    }
    for (const double v : values) {
      if (!std::isfinite(v)) {
        return Error("expression matrix line " + std::to_string(ln) + " contains a non-finite value");
      }
    }
    seen.emplace(fields[0]);
    m.genes.emplace_back(fields[0]);
    m.values.insert(m.values.end(), values.begin(), values.end());
  }
  if (m.genes.empty()) return Error("expression matrix contains no gene rows");
  m.n_samples = n_samples;
  return m;
}

DecorCache build_decor_cache_from_expression(std::span<const Pathway> pathways,
                                             const ExpressionMatrix& matrix,
                                             const DecorOptions& options,
                                             std::string gmt_sha256,
                                             std::string expression_sha256) {
  const size_t n = matrix.n_samples;
  const size_t rows = matrix.genes.size();
  if (matrix.values.size() != rows * n) internal_fault("expression matrix shape is inconsistent");

  std::vector<double> standard(matrix.values.size());
  for (size_t g = 0; g < rows; ++g) standardise(matrix.values.data() + g * n, n, standard.data() + g * n);
  std::unordered_map<std::string_view, size_t> index;
  index.reserve(rows);
  for (size_t g = 0; g < rows; ++g) index.emplace(matrix.genes[g], g);

  const DecorRedundancy kind = options.redundancy;
  auto per_pathway = pool::ordered_map<DecorPathwayScores>(pathways.size(), [&](size_t p) {
    interrupt::checkpoint();
    const Pathway& pw = pathways[p];
    DecorPathwayScores out;
    std::unordered_set<std::string_view> seen;
    std::vector<const double*> kept_rows;
    for (const std::string& gene : pw.genes) {
      if (!seen.insert(gene).second) continue;
      const auto it = index.find(gene);
      if (it == index.end()) continue;
      out.genes.push_back(gene);
      kept_rows.push_back(standard.data() + it->second * n);
    }
    PairScratch scratch;
    pathway_redundancy(kept_rows, n, kind, &scratch, &out.redundancy);
    return out;
  });

  DecorCache cache;
  // In file order, so that a later pathway of the same name replaces an
  // earlier one; the map keeps names in byte order.
  for (size_t p = 0; p < pathways.size(); ++p) {
    cache.pathways.insert_or_assign(pathways[p].name, std::move(per_pathway[p]));
  }
  uint64_t n_rows = 0;
  for (const auto& [name, scores] : cache.pathways) n_rows += scores.genes.size();

  DecorCacheMetadata& m = cache.metadata;
  m.format = std::string(kCacheFormat);
  m.version = std::string(kCacheVersion);
  m.created_by = "tarvelo";
  m.gmt_sha256 = std::move(gmt_sha256);
  m.expression_sha256 = std::move(expression_sha256);
  m.correlation = DecorCorrelation::kPearson;
  m.redundancy = kind;
  m.expression_gene_axis = "rows";
  m.expression_has_header = true;
  m.gene_id_mode = "verbatim";
  m.n_pathways = pathways.size();
  m.n_rows = n_rows;
  return cache;
}

}  // namespace tarvelo::decor
