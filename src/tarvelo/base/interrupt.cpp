#include "tarvelo/base/interrupt.hpp"

#include <pthread.h>

#include <atomic>

namespace tarvelo::interrupt {
namespace {

// Plain globals, no thread_local: worker threads must be able to start without
// allocating thread-local storage, and one call runs at a time (the host
// serialises calls).
std::atomic<PollFn> g_poll{nullptr};
std::atomic<bool> g_stop{false};
static_assert(std::atomic<PollFn>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "request_stop() must be async-signal-safe");
pthread_t g_owner;  // written before g_poll is published, read after it is seen

}  // namespace

Scope::Scope(PollFn poll) : active_(false) {
  if (poll == nullptr || g_poll.load(std::memory_order_acquire) != nullptr) return;
  g_stop.store(false, std::memory_order_relaxed);
  g_owner = pthread_self();
  g_poll.store(poll, std::memory_order_release);
  active_ = true;
}

Scope::~Scope() {
  if (!active_) return;
  g_poll.store(nullptr, std::memory_order_release);
  g_stop.store(false, std::memory_order_relaxed);
}

bool stop_requested() {
  if (g_stop.load(std::memory_order_relaxed)) return true;
  const PollFn poll = g_poll.load(std::memory_order_acquire);
  if (poll == nullptr || !pthread_equal(pthread_self(), g_owner)) return false;
  if (!poll()) return false;
  g_stop.store(true, std::memory_order_relaxed);
  return true;
}

void request_stop() noexcept {
  if (g_poll.load(std::memory_order_acquire) != nullptr) g_stop.store(true, std::memory_order_relaxed);
}

}  // namespace tarvelo::interrupt
