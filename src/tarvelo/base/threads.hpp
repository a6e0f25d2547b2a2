// Starting worker threads without putting the process at risk.
//
// oneTBB creates its worker threads lazily, on whatever thread first needs
// them, and answers a failed pthread_create with an exception that usually
// ends in std::terminate. A new thread also allocates per-thread state of the
// C++ runtime the first time it throws, and a thread that runs out of memory
// and throws bad_alloc would abort right there. So a pool proves, before
// oneTBB is involved, that its threads can be created, then has every worker
// start and prepare itself at once while memory is still available.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

namespace tarvelo::threads {

// Worker threads could not be created. The message is
// "could not start worker threads: {strerror} (os error {n})".
class StartError : public std::runtime_error {
 public:
  explicit StartError(const std::string& cause);
};

// Creates `count` threads with stacks of `stack_size` bytes (0: the system
// default), all alive at the same time, then lets them finish and joins them.
// Throws StartError when one cannot be created (the others are joined first).
void check_can_start(size_t count, size_t stack_size);

// Allocates the C++ runtime's per-thread state on the calling thread, so that
// a later exception (bad_alloc when memory runs out) needs no allocation
// before it can be thrown. Cheap after the first call on a thread.
void prepare_worker_thread() noexcept;

// Checks that the worker threads of a new arena can be created
// (check_can_start with oneTBB's stack size), then makes every one of them
// start now, so that oneTBB does not create threads later, in the middle of
// an analysis. Every thread that enters the arena, now or later, runs
// prepare_worker_thread() first, through the returned observer: keep it alive
// for as long as the arena and destroy it first. Throws StartError.
std::unique_ptr<tbb::task_scheduler_observer> start_workers(tbb::task_arena& arena);

}  // namespace tarvelo::threads
