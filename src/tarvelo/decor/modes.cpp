#include "tarvelo/decor/modes.hpp"

#include <unordered_set>

#include "tarvelo/decor/expression.hpp"
#include "tarvelo/decor/options.hpp"
#include "tarvelo/base/interrupt.hpp"
#include "tarvelo/base/io.hpp"
#include "tarvelo/base/sha256.hpp"

namespace tarvelo::decor {
namespace {

constexpr size_t kDigestChunk = 64 * 1024;

// The cache is written by rename over its path; were that path the GMT or the
// expression file (or a link to one), a failed read would be followed by a
// build that replaces the input. Refused before anything else is done.
Status check_cache_not_an_input(const DecorOptions& o, std::string_view gmt_path) {
  const auto cache = io::file_identity(*o.cache_path);
  if (!cache) return ok_status();
  if (io::file_identity(gmt_path) == cache) {
    return Error("decor cache '" + *o.cache_path + "' is the same file as the GMT file '" +
                 std::string(gmt_path) + "'");
  }
  if (o.expression_path && io::file_identity(*o.expression_path) == cache) {
    return Error("decor cache '" + *o.cache_path + "' is the same file as the expression matrix '" +
                 *o.expression_path + "'");
  }
  return ok_status();
}

// The cache is keyed by pathway name: a repeated name would give the earlier
// pathway the later one's redundancies.
Status check_unique_names(std::span<const Pathway> pathways) {
  std::unordered_set<std::string_view> names;
  names.reserve(pathways.size());
  for (const Pathway& p : pathways) {
    if (!names.insert(p.name).second) {
      return Error("GMT file has duplicate pathway name: " + p.name);
    }
  }
  return ok_status();
}

Result<DecorCache> build_and_write(std::span<const Pathway> pathways, const DecorOptions& o,
                                   std::string gmt_sha, std::string expr_sha) {
  if (!o.expression_path) {
    return Error(
        "decor cache does not exist or is incompatible and --decor-expression was not provided");
  }
  TARVELO_ASSIGN_OR_RETURN(ExpressionMatrix matrix, read_expression_matrix(*o.expression_path));
  DecorCache cache =
      build_decor_cache_from_expression(pathways, matrix, o, std::move(gmt_sha), std::move(expr_sha));
  TARVELO_TRY(write_decor_cache_atomic(*o.cache_path, cache));
  // The call that builds the cache scores with the values every later call
  // reads back from the file, so that reusing a cache never changes a result.
  for (auto& [name, scores] : cache.pathways)
    for (float& r : scores.redundancy) r = as_stored_redundancy(r);
  return cache;
}

}  // namespace

Result<std::string> file_sha256(std::string_view path) {
  auto opened = io::File::open_read(path);
  if (!opened.ok()) {
    return std::move(opened).error().context("Failed to open '" + std::string(path) + "'");
  }
  Sha256 sha;
  std::vector<char> buf(kDigestChunk);
  for (;;) {
    interrupt::checkpoint();
    // File::read retries interrupted reads.
    auto got = opened->read(buf.data(), buf.size());
    if (!got.ok()) {
      return std::move(got).error().context("Failed to read '" + std::string(path) + "'");
    }
    if (*got == 0) break;
    sha.update(buf.data(), *got);
  }
  return sha.finish_hex();
}

std::string incompatible_message(const std::vector<std::string>& reasons, bool reuse) {
  std::string out = "Decor cache is incompatible:";
  for (const std::string& r : reasons) {
    out += "\n  - ";
    out += r;
  }
  out += reuse ? "\nUse --decor-cache-mode rebuild with --decor-expression to rebuild it."
               : "\nProvide --decor-expression or use --decor-cache-mode rebuild to rebuild it.";
  return out;
}

std::vector<std::string> incompatibility_reasons(const DecorCacheMetadata& meta,
                                                 const DecorCacheCompatibility& want) {
  std::vector<std::string> r;
  if (meta.format != kCacheFormat) r.push_back("cache format differs: cache=" + meta.format);
  if (meta.version != kCacheVersion) {
    r.push_back("cache format version is unsupported: cache=" + meta.version);
  }
  if (meta.gmt_sha256 != want.gmt_sha256) r.push_back("GMT SHA256 differs");
  if (want.expression_sha256 && meta.expression_sha256 != *want.expression_sha256) {
    r.push_back("expression SHA256 differs");
  }
  if (meta.correlation != want.correlation) {
    r.push_back("correlation method differs: cache=" +
                std::string(decor_correlation_name(meta.correlation)) +
                ", requested=" + std::string(decor_correlation_name(want.correlation)));
  }
  if (meta.redundancy != want.redundancy) {
    r.push_back("redundancy mode differs: cache=" +
                std::string(decor_redundancy_name(meta.redundancy)) +
                ", requested=" + std::string(decor_redundancy_name(want.redundancy)));
  }
  if (meta.expression_gene_axis != want.expression_gene_axis) {
    r.push_back("expression gene axis differs: cache=" + meta.expression_gene_axis +
                ", requested=" + want.expression_gene_axis);
  }
  if (meta.expression_has_header != want.expression_has_header) {
    r.push_back(std::string("expression header setting differs: cache=") +
                (meta.expression_has_header ? "true" : "false") +
                ", requested=" + (want.expression_has_header ? "true" : "false"));
  }
  if (meta.gene_id_mode != want.gene_id_mode) {
    r.push_back("gene ID mode differs: cache=" + meta.gene_id_mode +
                ", requested=" + want.gene_id_mode);
  }
  return r;
}

Result<DecorCache> ensure_decor_cache_for_paths(std::span<const Pathway> pathways,
                                                std::string_view gmt_path,
                                                const DecorOptions& options) {
  TARVELO_TRY(validate_decor_options(options));
  if (options.correlation == DecorCorrelation::kSpearman) {
    return Error("spearman decor correlation is not implemented yet");
  }
  if (!options.cache_path) return Error("method decor requires --decor-cache");
  TARVELO_TRY(check_cache_not_an_input(options, gmt_path));
  TARVELO_TRY(check_unique_names(pathways));

  TARVELO_ASSIGN_OR_RETURN(std::string gmt_sha, file_sha256(gmt_path));
  std::optional<std::string> expr_sha;
  if (options.expression_path) {
    TARVELO_ASSIGN_OR_RETURN(expr_sha, file_sha256(*options.expression_path));
  }
  DecorCacheCompatibility want;
  want.gmt_sha256 = gmt_sha;
  want.expression_sha256 = expr_sha;
  want.correlation = DecorCorrelation::kPearson;
  want.redundancy = options.redundancy;

  const std::string& cache_path = *options.cache_path;
  const bool reuse = options.cache_mode == DecorCacheMode::kReuse;
  const bool has_expr = options.expression_path.has_value();
  auto build = [&]() {
    return build_and_write(pathways, options, std::move(gmt_sha), expr_sha.value_or(std::string()));
  };

  if (options.cache_mode == DecorCacheMode::kRebuild) return build();
  if (!io::file_identity(cache_path)) {
    if (reuse) return Error("decor cache does not exist: " + cache_path);
    return build();
  }
  auto read = read_decor_cache(cache_path);
  if (!read.ok()) {
    // Only the outermost message is kept; the cause chain is dropped.
    const std::string& msg = read.error().message();
    if (reuse) return Error("Decor cache could not be read: " + msg);
    if (!has_expr) {
      return Error("Decor cache could not be read and --decor-expression was not provided: " + msg);
    }
    return build();
  }
  const std::vector<std::string> reasons = incompatibility_reasons(read->metadata, want);
  if (reasons.empty()) return std::move(read).value();
  if (reuse) return Error(incompatible_message(reasons, true));
  if (has_expr) return build();
  return Error(incompatible_message(reasons, false));
}

}  // namespace tarvelo::decor
