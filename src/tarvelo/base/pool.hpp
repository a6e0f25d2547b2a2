// The process-wide worker pool: one lazily created oneTBB task arena.
//
// Its size is fixed by the first of: an explicit ensure_global_pool(n) with
// n > 0, or first parallel work (then RAYON_NUM_THREADS when it is a positive
// integer, else the CPU count), capped at the CPU count (oneTBB would give no
// more workers and would say so on stderr). Later sizing requests are silent
// no-ops.
//
// A thread that waits inside TBB may run other tasks of the arena, so per-thread
// scratch buffers must never be held across a parallel call.
//
// Work can also be directed to another arena with execute_in(arena, f): inside
// f, and inside every task the helpers below start from there, current_arena()
// is that arena, so nested parallel work stays on it. oneTBB attaches a thread
// that ever used TBB to an implicit arena, which cannot be told apart from an
// explicit one, hence the explicit bookkeeping.
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

// The pool (created with the default size on first use). Throws
// threads::StartError when the pool's threads cannot be started; the next
// use tries again.
tbb::task_arena& global_arena();

namespace detail {
// The arena entered through execute_in (or a helper's task) on this thread.
inline thread_local tbb::task_arena* t_current_arena = nullptr;

// Makes `arena` the calling thread's current arena for its lifetime.
class CurrentArenaScope {
 public:
  explicit CurrentArenaScope(tbb::task_arena* arena) : saved_(t_current_arena) {
    t_current_arena = arena;
  }
  ~CurrentArenaScope() { t_current_arena = saved_; }
  CurrentArenaScope(const CurrentArenaScope&) = delete;
  CurrentArenaScope& operator=(const CurrentArenaScope&) = delete;

 private:
  tbb::task_arena* saved_;
};
}  // namespace detail

// The arena parallel work of the calling thread goes to: the innermost one
// entered with execute_in, else the process-wide pool.
inline tbb::task_arena& current_arena() {
  return detail::t_current_arena != nullptr ? *detail::t_current_arena : global_arena();
}

// Runs f() inside `arena` with it as the current arena, and returns f's result.
template <class F>
decltype(auto) execute_in(tbb::task_arena& arena, F&& f) {
  return arena.execute([&]() -> decltype(auto) {
    detail::CurrentArenaScope scope(&arena);
    return f();
  });
}

// Number of threads of the current arena (the process-wide pool is created with
// the default size when needed).
size_t current_threads();

// Runs body(i) for i in [0, n) on the current arena. Exceptions thrown by body
// are rethrown on the caller after all tasks finished.
template <class Body>
void parallel_for_index(size_t n, Body&& body, size_t grain = 1) {
  if (n == 0) return;
  tbb::task_arena& arena = current_arena();
  execute_in(arena, [&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n, grain),
                      [&](const tbb::blocked_range<size_t>& r) {
                        detail::CurrentArenaScope scope(&arena);
                        for (size_t i = r.begin(); i != r.end(); ++i) body(i);
                      });
  });
}

// Runs body(i) for i in [0, n) on the current arena, one task per index, so
// that a few long items never queue behind each other in one chunk. Items
// start roughly in index order. Exceptions as for parallel_for_index.
template <class Body>
void parallel_for_each_task(size_t n, Body&& body) {
  if (n == 0) return;
  tbb::task_arena& arena = current_arena();
  execute_in(arena, [&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n, 1),
                      [&](const tbb::blocked_range<size_t>& r) {
                        detail::CurrentArenaScope scope(&arena);
                        for (size_t i = r.begin(); i != r.end(); ++i) body(i);
                      },
                      tbb::simple_partitioner());
  });
}

// Ordered parallel map on the current arena: out[i] = f(i), collected in input
// order.
template <class T, class F>
std::vector<T> ordered_map(size_t n, F&& f, size_t grain = 1) {
  std::vector<T> out(n);
  parallel_for_index(n, [&](size_t i) { out[i] = f(i); }, grain);
  return out;
}

}  // namespace tarvelo::pool
