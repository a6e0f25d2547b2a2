#include "tarvelo/base/pool.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include <tbb/info.h>

#include "tarvelo/base/threads.hpp"

namespace tarvelo::pool {
namespace {

std::mutex g_mutex;
std::unique_ptr<tbb::task_arena> g_arena;
std::unique_ptr<tbb::task_scheduler_observer> g_preparer;  // destroyed before g_arena

size_t hardware_threads() {
  const int n = tbb::info::default_concurrency();
  return n > 0 ? static_cast<size_t>(n) : 1;
}

size_t default_threads() {
  if (const char* env = std::getenv("RAYON_NUM_THREADS")) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(env, &end, 10);
    if (end != env && *end == '\0' && v > 0 && v < 4096) return static_cast<size_t>(v);
  }
  return hardware_threads();
}

// Creates the arena under the lock; returns true when created now.
//
// The size is capped at the CPUs this process may use. oneTBB gives an arena
// no more workers than that anyway, and asking for more makes it print a
// warning on stderr. No result depends on the arena's size (the parallel
// kernels are thread-invariant), so the cap changes nothing but the noise.
bool create_locked(size_t n) {
  if (g_arena) return false;
  n = std::min(n, hardware_threads());
  auto arena = std::make_unique<tbb::task_arena>(static_cast<int>(n));
  arena->initialize();
  g_preparer = threads::start_workers(*arena);
  g_arena = std::move(arena);
  return true;
}

}  // namespace

bool ensure_global_pool(size_t n) noexcept {
  if (n == 0) return false;
  try {
    std::lock_guard<std::mutex> lock(g_mutex);
    return create_locked(n > 4096 ? 4096 : n);
  } catch (...) {
    return false;
  }
}

tbb::task_arena& global_arena() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_arena) create_locked(default_threads());
  return *g_arena;
}

size_t current_threads() {
  int n = current_arena().max_concurrency();
  return n > 0 ? static_cast<size_t>(n) : 1;
}

}  // namespace tarvelo::pool
