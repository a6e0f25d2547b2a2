// The GMT pathway file reader.
#pragma once

#include <string_view>

#include "tarvelo/base/error.hpp"
#include "tarvelo/engine/records.hpp"

namespace tarvelo::io {

// Reads a GMT file: per line the pathway name, its description (empty = none)
// and gene names, tab-separated. Names and descriptions are kept as they
// stand; gene names are trimmed of White_Space, empty ones dropped, duplicates
// kept. Blank lines are skipped; a line with fewer than three fields fails.
Result<PathwayDb> read_gmt(std::string_view path);

}  // namespace tarvelo::io
