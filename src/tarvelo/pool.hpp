// The process-wide worker pool: one lazily created oneTBB task arena.
//
// Its size is fixed by the first of: an explicit ensure_global_pool(n) with
// n > 0, or first parallel work (then RAYON_NUM_THREADS when it is a positive
// integer, else the CPU count). Later sizing requests are silent no-ops.
//
// A thread that waits inside TBB may run other tasks of the arena, so per-thread
// scratch buffers must never be held across a parallel call.
#pragma once

#include <cstddef>
#include <exception>
#include <vector>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace tarvelo::pool {

// Creates the pool with n threads if it does not exist yet. Returns true when
// this call created it. Never throws.
bool ensure_global_pool(size_t n) noexcept;

// The pool (created with the default size on first use).
tbb::task_arena& global_arena();

// Number of threads of the pool (creates it with the default size when needed).
size_t current_threads();

// Runs body(i) for i in [0, n) on the pool. Exceptions thrown by body are
// rethrown on the caller after all tasks finished.
template <class Body>
void parallel_for_index(size_t n, Body&& body, size_t grain = 1) {
  if (n == 0) return;
  global_arena().execute([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n, grain),
                      [&](const tbb::blocked_range<size_t>& r) {
                        for (size_t i = r.begin(); i != r.end(); ++i) body(i);
                      });
  });
}

// Ordered parallel map: out[i] = f(i), collected in input order.
template <class T, class F>
std::vector<T> ordered_map(size_t n, F&& f, size_t grain = 1) {
  std::vector<T> out(n);
  parallel_for_index(n, [&](size_t i) { out[i] = f(i); }, grain);
  return out;
}

}  // namespace tarvelo::pool
