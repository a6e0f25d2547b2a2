// The decor cache: per pathway and gene a redundancy in [0, 1], kept in a
// tab-separated text file (gzip when the name's extension is "gz") so that a
// later call can skip the expression matrix.
//
// File layout: twelve "# key=value" metadata lines, the header
// "pathway\tgene\tredundancy", then one row per gene with the redundancy
// written to 8 decimals. Every line ends in "\n".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tarvelo/engine/records.hpp"
#include "tarvelo/decor/options.hpp"
#include "tarvelo/base/error.hpp"

namespace tarvelo::decor {

// The twelve metadata values, in file order (also the order of the reader's
// checks).
struct DecorCacheMetadata {
  std::string format;             // "tarvelo-decor-cache"
  std::string version;            // "1"
  std::string created_by;         // "tarvelo"
  std::string gmt_sha256;         // digest of the GMT file
  std::string expression_sha256;  // digest of the expression file
  DecorCorrelation correlation = DecorCorrelation::kPearson;
  DecorRedundancy redundancy = DecorRedundancy::kPositiveMean;
  std::string expression_gene_axis;  // "rows"
  bool expression_has_header = true;
  std::string gene_id_mode;  // "verbatim"
  uint64_t n_pathways = 0;   // GMT pathways the cache was built from
  uint64_t n_rows = 0;       // data rows of the file
};

// Parallel vectors: redundancy[i] belongs to genes[i].
struct DecorPathwayScores {
  std::vector<std::string> genes;
  std::vector<float> redundancy;
};

struct DecorCache {
  DecorCacheMetadata metadata;
  // std::string compares as unsigned bytes, so this is byte-wise name order.
  std::map<std::string, DecorPathwayScores> pathways;
};


inline constexpr std::string_view kCacheFormat = "tarvelo-decor-cache";
inline constexpr std::string_view kCacheVersion = "1";

// Reads a cache file. Errors: "Failed to open '{}'" (OS cause), the input's own
// error (invalid UTF-8, broken gzip, read error), or one of the format errors.
Result<DecorCache> read_decor_cache(std::string_view path);

// Writes the cache through "{name}.tmp.{pid}" beside the path, synced and then
// renamed over it (io::AtomicFile); a failure removes the temporary and leaves
// any old file. A non-finite redundancy, which the reader would refuse, fails
// before anything is written. Writers of one path within this process are
// serialised.
Status write_decor_cache_atomic(std::string_view path, const DecorCache& cache);

// The value under key, or "decor cache is missing metadata key: {}".
Result<std::string> required_meta(const std::map<std::string, std::string, std::less<>>& meta,
                                  std::string_view key);

// "positive_mean" or "abs_mean" exactly; else
// "unsupported decor redundancy in cache metadata: {}".
Result<DecorRedundancy> parse_redundancy(std::string_view text);

// The decimal text of a redundancy in the file: the float's exact value to 8
// places, ties to even ("0.00195312" for 1/512).
std::string format_redundancy(float value);

// A redundancy as the reader returns it: clamped to [0, 1] (-0.0 kept).
float clamp_redundancy(float value);
// A finite redundancy after a write and a read: its file text parsed back as a
// float, then clamped.
float as_stored_redundancy(float value);

}  // namespace tarvelo::decor
