#include "tarvelo/engine/gmt.hpp"

#include <string>
#include <vector>

#include "tarvelo/base/io.hpp"
#include "tarvelo/base/text.hpp"

namespace tarvelo::io {

namespace {

// trim_white_space, skipping the decoding when both ends are plain ASCII.
std::string_view trim_field(std::string_view f) {
  if (f.empty()) return f;
  const auto a = static_cast<unsigned char>(f.front());
  const auto b = static_cast<unsigned char>(f.back());
  if (a < 0x80 && b < 0x80 && !text::is_ascii_white_space(a) && !text::is_ascii_white_space(b)) return f;
  return text::trim_white_space(f);
}

}  // namespace

Result<PathwayDb> read_gmt(std::string_view path) {
  TARVELO_ASSIGN_OR_RETURN(File file, File::open_read(path));
  LineReader reader(file);
  PathwayDb db;
  std::vector<std::string_view> fields;
  std::string_view line;
  for (;;) {
    TARVELO_ASSIGN_OR_RETURN(const bool more, reader.next(&line));
    if (!more) break;
    if (is_blank(line)) continue;
    split_tabs(line, &fields);
    if (fields.size() < 3) {
      return Error::os("Malformed GMT line " + std::to_string(reader.line_number()) +
                       ": expected at least 3 tab-separated columns.");
    }
    Pathway p;
    p.name.assign(fields[0]);
    if (!fields[1].empty()) p.description.emplace(fields[1]);
    p.genes.reserve(fields.size() - 2);
    for (size_t i = 2; i < fields.size(); ++i) {
      const std::string_view g = trim_field(fields[i]);
      if (!g.empty()) p.genes.emplace_back(g);
    }
    db.pathways.push_back(std::move(p));
  }
  return db;
}

}  // namespace tarvelo::io
