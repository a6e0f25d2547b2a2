#include "tarvelo/decor/cache.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "tarvelo/base/io.hpp"
#include "tarvelo/base/text.hpp"
#include "tarvelo/base/text_parse.hpp"

namespace tarvelo::decor {
namespace {

constexpr std::string_view kHeader = "pathway\tgene\tredundancy";

// File keys in file order; the reader checks them in this order too.
constexpr std::array<std::string_view, 12> kMetaKeys = {
    "tarvelo_decor_cache_format", "tarvelo_decor_cache_version", "created_by",
    "gmt_sha256",                 "expression_sha256",           "correlation",
    "redundancy",                 "expression_gene_axis",        "expression_has_header",
    "gene_id_mode",               "n_pathways",                  "n_rows"};

using MetaMap = std::map<std::string, std::string, std::less<>>;

bool is_meta_key(std::string_view key) {
  for (const auto k : kMetaKeys)
    if (k == key) return true;
  return false;
}

// "# key = value" -> (key, value), both trimmed; lines without "=" are ignored.
void parse_meta_line(std::string_view line, MetaMap* meta) {
  const std::string_view body = text::trim_white_space(line.substr(1));
  const size_t eq = body.find('=');
  if (eq == std::string_view::npos) return;
  const std::string_view key = text::trim_white_space(body.substr(0, eq));
  if (!is_meta_key(key)) return;
  (*meta)[std::string(key)] = std::string(text::trim_white_space(body.substr(eq + 1)));
}

Result<DecorCorrelation> parse_correlation(std::string_view s) {
  if (auto c = find_choice(s, kDecorCorrelations)) return *c;
  return Error("unsupported decor correlation in cache metadata: " + std::string(s));
}

Result<DecorCacheMetadata> metadata_from(const MetaMap& meta) {
  DecorCacheMetadata m;
  TARVELO_ASSIGN_OR_RETURN(m.format, required_meta(meta, kMetaKeys[0]));
  TARVELO_ASSIGN_OR_RETURN(m.version, required_meta(meta, kMetaKeys[1]));
  TARVELO_ASSIGN_OR_RETURN(m.created_by, required_meta(meta, kMetaKeys[2]));
  TARVELO_ASSIGN_OR_RETURN(m.gmt_sha256, required_meta(meta, kMetaKeys[3]));
  TARVELO_ASSIGN_OR_RETURN(m.expression_sha256, required_meta(meta, kMetaKeys[4]));
  TARVELO_ASSIGN_OR_RETURN(const std::string corr, required_meta(meta, kMetaKeys[5]));
  TARVELO_ASSIGN_OR_RETURN(m.correlation, parse_correlation(corr));
  TARVELO_ASSIGN_OR_RETURN(const std::string red, required_meta(meta, kMetaKeys[6]));
  TARVELO_ASSIGN_OR_RETURN(m.redundancy, parse_redundancy(red));
  TARVELO_ASSIGN_OR_RETURN(m.expression_gene_axis, required_meta(meta, kMetaKeys[7]));
  TARVELO_ASSIGN_OR_RETURN(const std::string header, required_meta(meta, kMetaKeys[8]));
  TARVELO_ASSIGN_OR_RETURN(m.expression_has_header, text::parse_bool(header));
  TARVELO_ASSIGN_OR_RETURN(m.gene_id_mode, required_meta(meta, kMetaKeys[9]));
  TARVELO_ASSIGN_OR_RETURN(const std::string np, required_meta(meta, kMetaKeys[10]));
  TARVELO_ASSIGN_OR_RETURN(m.n_pathways, text::parse_u64(np));
  TARVELO_ASSIGN_OR_RETURN(const std::string nr, required_meta(meta, kMetaKeys[11]));
  TARVELO_ASSIGN_OR_RETURN(m.n_rows, text::parse_u64(nr));
  return m;
}

Status write_contents(io::ByteSink& sink, const DecorCache& cache) {
  const DecorCacheMetadata& m = cache.metadata;
  std::string out;
  out.reserve(1024);
  const std::array<std::string, 12> values = {
      m.format,
      m.version,
      m.created_by,
      m.gmt_sha256,
      m.expression_sha256,
      std::string(decor_correlation_name(m.correlation)),
      std::string(decor_redundancy_name(m.redundancy)),
      m.expression_gene_axis,
      m.expression_has_header ? "true" : "false",
      m.gene_id_mode,
      std::to_string(m.n_pathways),
      std::to_string(m.n_rows)};
  for (size_t i = 0; i < kMetaKeys.size(); ++i) {
    out += "# ";
    out += kMetaKeys[i];
    out += '=';
    out += values[i];
    out += '\n';
  }
  out += kHeader;
  out += '\n';
  for (const auto& [name, scores] : cache.pathways) {
    for (size_t i = 0; i < scores.genes.size(); ++i) {
      out += name;
      out += '\t';
      out += scores.genes[i];
      out += '\t';
      out += format_redundancy(scores.redundancy[i]);
      out += '\n';
      if (out.size() >= (1 << 16)) {
        TARVELO_TRY(sink.write(out));
        out.clear();
      }
    }
  }
  TARVELO_TRY(sink.write(out));
  return sink.finish();
}

}  // namespace

Result<std::string> required_meta(const std::map<std::string, std::string, std::less<>>& meta,
                                  std::string_view key) {
  const auto it = meta.find(key);
  if (it == meta.end()) return Error("decor cache is missing metadata key: " + std::string(key));
  return it->second;
}

Result<DecorRedundancy> parse_redundancy(std::string_view text) {
  if (auto r = find_choice(text, kDecorRedundancies)) return *r;
  return Error("unsupported decor redundancy in cache metadata: " + std::string(text));
}

float clamp_redundancy(float value) {
  // -0.0 is not below 0 and stays as it is.
  if (value < 0.0f) return 0.0f;
  if (value > 1.0f) return 1.0f;
  return value;
}

float as_stored_redundancy(float value) {
  const auto parsed = text::parse_f32(format_redundancy(value));
  return parsed.ok() ? clamp_redundancy(*parsed) : value;
}

std::string format_redundancy(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The float widens exactly; the fixed conversion rounds the exact decimal
  // value, an exact tie going to the even digit (1/512 -> 0.00195312).
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(value),
                               std::chars_format::fixed, 8);
  return std::string(buf, r.ptr);
}

Result<DecorCache> read_decor_cache(std::string_view path) {
  TARVELO_ASSIGN_OR_RETURN(io::InputFile input, io::InputFile::open(path));
  io::LineReader reader(input.source());
  DecorCache cache;
  MetaMap meta;
  bool header_seen = false;
  uint64_t rows = 0;
  std::vector<std::string_view> fields;
  // Rows of one pathway are usually adjacent: remember the last entry.
  DecorPathwayScores* last = nullptr;
  std::string last_name;
  std::string_view line;
  for (;;) {
    TARVELO_ASSIGN_OR_RETURN(const bool more, reader.next(&line));
    if (!more) break;
    if (io::is_blank(line)) continue;
    // After the header a "#" line with a tab is a data row: the writer emits
    // pathways whose names begin with "#" that way.
    if (line.front() == '#' &&
        !(header_seen && line.find('\t') != std::string_view::npos)) {
      parse_meta_line(line, &meta);
      continue;
    }
    if (!header_seen) {
      if (line != kHeader) return Error("decor cache is missing required pathway/gene/redundancy header");
      header_seen = true;
      continue;
    }
    const uint64_t n = reader.line_number();
    io::split_tabs(line, &fields);
    if (fields.size() != 3) {
      return Error("Malformed decor cache line " + std::to_string(n) +
                   ": expected pathway, gene, redundancy");
    }
    auto parsed = text::parse_f32(fields[2]);
    if (!parsed.ok()) {
      return std::move(parsed).error().context("Failed to parse redundancy '" +
                                               std::string(fields[2]) + "' on cache line " +
                                               std::to_string(n));
    }
    if (!std::isfinite(*parsed)) {
      return Error("decor cache line " + std::to_string(n) + " has non-finite redundancy");
    }
    const float v = clamp_redundancy(*parsed);
    if (last == nullptr || last_name != fields[0]) {
      last_name.assign(fields[0]);
      last = &cache.pathways[last_name];
    }
    last->genes.emplace_back(fields[1]);
    last->redundancy.push_back(v);
    ++rows;
  }
  if (!header_seen) return Error("decor cache is missing tabular header");
  TARVELO_ASSIGN_OR_RETURN(cache.metadata, metadata_from(meta));
  if (cache.metadata.n_rows != rows) {
    return Error("decor cache row count metadata mismatch: metadata=" +
                 std::to_string(cache.metadata.n_rows) + ", observed=" + std::to_string(rows));
  }
  return cache;
}

Status write_decor_cache_atomic(std::string_view path, const DecorCache& cache) {
  for (const auto& [name, scores] : cache.pathways) {
    if (scores.genes.size() != scores.redundancy.size()) {
      internal_fault("decor cache entry '" + name + "' has " + std::to_string(scores.genes.size()) +
                     " genes but " + std::to_string(scores.redundancy.size()) + " redundancies");
    }
    // The reader refuses a non-finite value, so such a file would fail every
    // later call: refuse it before anything is written.
    for (size_t i = 0; i < scores.redundancy.size(); ++i) {
      if (!std::isfinite(scores.redundancy[i])) {
        return Error("decor cache redundancy of gene '" + scores.genes[i] + "' in pathway '" +
                     name + "' is not finite (" + format_redundancy(scores.redundancy[i]) +
                     "); the cache was not written");
      }
    }
  }
  const std::string_view parent = io::parent_dir(path);
  if (!parent.empty()) {
    auto made = io::create_dir_all(parent);
    if (!made.ok()) {
      return std::move(made).error().context("Failed to create cache directory '" +
                                             std::string(parent) + "'");
    }
  }
  auto created = io::AtomicFile::create(path, "decor-cache");
  if (!created.ok()) {
    return std::move(created).error().context(
        "Failed to create '" + io::AtomicFile::temp_path_for(path, "decor-cache") + "'");
  }
  // Every return below, and an exception, removes the temporary unless it
  // was renamed into place.
  io::AtomicFile file = std::move(created).value();
  Status written = ok_status();
  if (io::has_gz_extension(path)) {
    io::GzipSink sink(file.file(), 6);
    written = write_contents(sink, cache);
  } else {
    io::BufferedSink sink(file.file(), 8192);
    written = write_contents(sink, cache);
  }
  TARVELO_TRY(std::move(written));
  TARVELO_TRY(file.finish());
  if (auto s = file.publish(); !s.ok()) {
    return std::move(s).error().context("Failed to rename temporary cache '" + file.temp_path() +
                                        "' to '" + std::string(path) + "'");
  }
  return ok_status();
}

}  // namespace tarvelo::decor
