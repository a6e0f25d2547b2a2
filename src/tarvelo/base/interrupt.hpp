// Stopping a running analysis from outside (Ctrl-C in the host).
//
// The core knows nothing of the host: the host installs a poll function for
// the duration of one call (Scope), and long loops call checkpoint() between
// units of work (permutation batches, refinement levels, calibration anchors).
// On the thread that installed the poll, checkpoint() asks the host; once the
// host says stop, every thread's next checkpoint() throws Interrupted, so
// workers leave at their next unit and the call unwinds like any other
// failure. The host has already recorded why (a pending KeyboardInterrupt).
#pragma once

#include <exception>

namespace tarvelo::interrupt {

class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when the running call must stop. Called only on the thread
// that installed it, never concurrently with itself.
using PollFn = bool (*)();

// Installs `poll` for the calling thread until destruction; clears a stop
// left by an earlier call. Scopes do not nest: an inner one is a no-op.
class Scope {
 public:
  explicit Scope(PollFn poll);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  bool active_;
};

// True once a stop was requested (any thread; polls the host on the
// installing thread).
bool stop_requested();

// Marks the running call as stopping, from anywhere: a thread or a signal
// handler (it is async-signal-safe). No-op when no Scope is active. For a host
// that knows a stop is due before its poll runs (the installing thread may be
// waiting for workers and not poll for a while).
void request_stop() noexcept;

// Throws Interrupted when stop_requested().
inline void checkpoint() {
  if (stop_requested()) throw Interrupted();
}

}  // namespace tarvelo::interrupt
