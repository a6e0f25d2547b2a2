#include "tarvelo/base/stage_timer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace tarvelo {
namespace {

// One write per line, so that the lines of concurrent calls never interleave
// within a line. A failed write to stderr is not the analysis' concern.
void emit(const char* line, int len) {
  if (len <= 0) return;
  size_t off = 0;
  while (off < static_cast<size_t>(len)) {
    const ssize_t w = ::write(STDERR_FILENO, line + off, static_cast<size_t>(len) - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    off += static_cast<size_t>(w);
  }
}

void emit_seconds(const char* tag, const char* name, double seconds) {
  char line[192];
  emit(line, std::snprintf(line, sizeof line, "%s\t%s\t%.6f\n", tag, name, seconds));
}

}  // namespace

StageTimer::StageTimer(bool enabled, const char* tag) : enabled_(enabled), tag_(tag) {
  if (enabled_) total_start_ = stage_start_ = std::chrono::steady_clock::now();
}

void StageTimer::start() {
  if (enabled_) stage_start_ = std::chrono::steady_clock::now();
}

double StageTimer::elapsed_seconds(std::chrono::steady_clock::time_point from,
                                   std::chrono::steady_clock::time_point to) {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
  if (ns <= 0) return 0.0;
  return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
}

void StageTimer::end_stage(const char* name) {
  if (!enabled_) return;
  emit_seconds(tag_, name, elapsed_seconds(stage_start_, std::chrono::steady_clock::now()));
  stage_start_ = std::chrono::steady_clock::now();
}

void StageTimer::end_total() {
  if (!enabled_) return;
  emit_seconds(tag_, "total", elapsed_seconds(total_start_, std::chrono::steady_clock::now()));
}

void StageTimer::counter(const char* name, uint64_t value) {
  if (!enabled_) return;
  char line[192];
  emit(line, std::snprintf(line, sizeof line, "%s\t%s\t%" PRIu64 "\n", tag_, name, value));
}

}  // namespace tarvelo
