// Providing the decor cache of an analysis: reuse a compatible cache file or
// build one from the expression matrix and write it, as the cache mode says.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/decor/options.hpp"
#include "tarvelo/decor/cache.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::decor {

// The metadata values a cache must carry to be used by the current call.
struct DecorCacheCompatibility {
  std::string gmt_sha256;
  std::optional<std::string> expression_sha256;  // absent without an expression path
  DecorCorrelation correlation = DecorCorrelation::kPearson;
  DecorRedundancy redundancy = DecorRedundancy::kPositiveMean;
  std::string expression_gene_axis = "rows";
  bool expression_has_header = true;
  std::string gene_id_mode = "verbatim";
};


// Returns the cache to use for `pathways` (the GMT file's, in file order). May
// create or replace the file at options.cache_path and nothing else. Refuses a
// cache path that is the GMT or expression file itself, and pathway names that
// occur twice (the cache is keyed by name).
Result<DecorCache> ensure_decor_cache_for_paths(std::span<const Pathway> pathways,
                                                std::string_view gmt_path,
                                                const DecorOptions& options);

// SHA-256 of the file's bytes as 64 lowercase hex digits. Errors:
// "Failed to open '{}'" / "Failed to read '{}'" with the OS error as cause.
Result<std::string> file_sha256(std::string_view path);

// "Decor cache is incompatible:" with one "\n  - {reason}" per reason and the
// hint for the mode.
std::string incompatible_message(const std::vector<std::string>& reasons, bool reuse);

// The reasons why `meta` does not satisfy `want`, in the fixed order.
std::vector<std::string> incompatibility_reasons(const DecorCacheMetadata& meta,
                                                 const DecorCacheCompatibility& want);

}  // namespace tarvelo::decor
