// The expression matrix and the redundancy build: each pathway gene's mean
// (clamped) Pearson correlation with the pathway's other genes.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/decor/options.hpp"
#include "tarvelo/decor/cache.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::decor {

// Genes in file order (distinct, verbatim) with one row of finite values each;
// rows are stored back to back, n_samples (>= 2) values per gene.
struct ExpressionMatrix {
  std::vector<std::string> genes;
  std::vector<double> values;
  size_t n_samples = 0;

  std::span<const double> row(size_t i) const {
    return {values.data() + i * n_samples, n_samples};
  }
};


// Reads a tab-separated matrix (gzip when the extension is "gz"): a header in
// line 1 unless that line is blank, then gene rows.
Result<ExpressionMatrix> read_expression_matrix(std::string_view path);

// Builds the cache from the pathways (file order) and the matrix. Genes not in
// the matrix and repeats within a pathway are dropped; a later pathway of the
// same name replaces an earlier one. Only options.redundancy is read.
DecorCache build_decor_cache_from_expression(std::span<const Pathway> pathways,
                                             const ExpressionMatrix& matrix,
                                             const DecorOptions& options,
                                             std::string gmt_sha256,
                                             std::string expression_sha256);

}  // namespace tarvelo::decor
