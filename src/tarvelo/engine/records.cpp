#include "tarvelo/engine/records.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "tarvelo/base/error.hpp"
#include "tarvelo/base/numeric.hpp"
#include "tarvelo/base/text.hpp"

namespace tarvelo {

std::vector<size_t> descending_score_order(std::span<const double> scores) {
  std::vector<size_t> order(scores.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const double sa = scores[a], sb = scores[b];
    const bool na = std::isnan(sa), nb = std::isnan(sb);
    if (na || nb) return !na && nb;
    return sa > sb;
  });
  return order;
}

RankedList::RankedList(std::vector<std::string> genes, std::vector<double> scores) {
  const size_t n = genes.size();
  if (n == 0) return;
  if (scores.size() < n) internal_fault("ranked list has fewer scores than genes");
  const std::vector<size_t> order = descending_score_order({scores.data(), n});
  genes_.reserve(n);
  scores_.reserve(n);
  for (size_t i : order) {
    genes_.push_back(std::move(genes[i]));
    scores_.push_back(scores[i]);
  }
}

PreparedRanks RankedList::prepare(double gsea_param) const {
  PreparedRanks out;
  const size_t n = scores_.size();
  if (n == 0) return out;
  out.weights.resize(n);
  for (size_t i = 0; i < n; ++i) out.weights[i] = std::pow(std::fabs(scores_[i]), gsea_param);
  double total = 0.0;
  for (size_t i = 0; i < n; ++i) total += out.weights[i];  // left to right
  double factor = 1073741824.0 / total;
  if (factor >= 1.0) factor = std::floor(factor);
  out.scaled_weights.resize(n);
  uint64_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t w = saturating_cast<int64_t>(round_half_even(out.weights[i] * factor));
    out.scaled_weights[i] = w;
    sum += static_cast<uint64_t>(w);
  }
  out.scaled_total = sum;
  return out;
}

Status RankedList::check_weights(double gsea_param) const {
  double total = 0.0;
  for (size_t i = 0; i < scores_.size(); ++i) {
    const double w = std::pow(std::fabs(scores_[i]), gsea_param);
    if (!std::isfinite(w)) {
      return Error::value("The weight |score|^gseaParam of gene '" + genes_[i] +
                          "' is not finite (" + text::format_f64(w) + " for score " +
                          text::format_f64(scores_[i]) + " and gseaParam " +
                          text::format_f64(gsea_param) + ").");
    }
    total += w;  // left to right, as prepare() sums
  }
  if (!std::isfinite(total)) {
    return Error::value("The sum of the weights |score|^gseaParam over all genes overflows (" +
                        text::format_f64(total) +
                        "); scores this close to the float64 limit must be rescaled.");
  }
  return ok_status();
}

}  // namespace tarvelo
