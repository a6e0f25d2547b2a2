#include "tarvelo/base/threads.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "tarvelo/base/io.hpp"

namespace tarvelo::threads {
namespace {

// The probe threads block here until every one of them exists, so that the
// address space for all their stacks was available at once.
struct Gate {
  std::mutex mutex;
  std::condition_variable open_cv;
  bool open = false;
};

void* wait_at_gate(void* arg) {
  Gate* gate = static_cast<Gate*>(arg);
  std::unique_lock<std::mutex> lock(gate->mutex);
  gate->open_cv.wait(lock, [gate] { return gate->open; });
  return nullptr;
}

class Preparer final : public tbb::task_scheduler_observer {
 public:
  explicit Preparer(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
  ~Preparer() override { observe(false); }
  void on_scheduler_entry(bool) override { prepare_worker_thread(); }
};

}  // namespace

StartError::StartError(const std::string& cause)
    : std::runtime_error("could not start worker threads: " + cause) {}

void check_can_start(size_t count, size_t stack_size) {
  if (count == 0) return;
  Gate gate;
  std::vector<pthread_t> started;
  started.reserve(count);
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0 && stack_size > 0) rc = pthread_attr_setstacksize(&attr, stack_size);
  for (size_t i = 0; rc == 0 && i < count; ++i) {
    pthread_t t;
    rc = pthread_create(&t, &attr, wait_at_gate, &gate);
    if (rc == 0) started.push_back(t);
  }
  pthread_attr_destroy(&attr);
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.open = true;
  }
  gate.open_cv.notify_all();
  for (pthread_t t : started) pthread_join(t, nullptr);
  if (rc != 0) throw StartError(io::os_error_text(rc));
}

void prepare_worker_thread() noexcept {
  // Reads the runtime's per-thread exception state, which allocates it. The
  // function is declared pure: an unused result would drop the call.
  volatile int count = std::uncaught_exceptions();
  (void)count;
}

std::unique_ptr<tbb::task_scheduler_observer> start_workers(tbb::task_arena& arena) {
  // oneTBB gives an arena no more workers than the process-wide limit allows.
  const int concurrency = arena.max_concurrency();
  const size_t allowed =
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
  const size_t threads = std::min(concurrency > 0 ? static_cast<size_t>(concurrency) : 1, allowed);
  auto preparer = std::make_unique<Preparer>(arena);
  if (threads < 2) return preparer;
  check_can_start(threads - 1,
                  tbb::global_control::active_value(tbb::global_control::thread_stack_size));
  // Every task waits until all have started, so each runs on a thread of its
  // own: the caller and every worker. The deadline only guards against a
  // worker that oneTBB does not provide after all.
  std::atomic<size_t> arrived{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  arena.execute([&] {
    tbb::parallel_for(
        size_t{0}, threads,
        [&](size_t) {
          prepare_worker_thread();
          arrived.fetch_add(1);
          while (arrived.load() < threads && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        },
        tbb::simple_partitioner());
  });
  return preparer;
}

}  // namespace tarvelo::threads
