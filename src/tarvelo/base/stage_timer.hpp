// Opt-in timing lines on standard error: "<tag>\t<stage>\t<seconds>\n" per
// stage, and "<tag>\t<counter>\t<value>\n" for counts. The only output the
// library ever writes there, and only when a call's environment asks for it.
#pragma once

#include <chrono>
#include <cstdint>

namespace tarvelo {

class StageTimer {
 public:
  // `tag` begins every line and must outlive the timer. A disabled timer
  // writes nothing and reads no clock.
  StageTimer(bool enabled, const char* tag);
  bool enabled() const { return enabled_; }

  // Restarts the running stage's clock (to leave out what came before).
  void start();
  // Ends the running stage: writes its line and starts the next stage.
  void end_stage(const char* name);
  // Writes the "total" line, measured from construction.
  void end_total();
  // Writes a count.
  void counter(const char* name, uint64_t value);

  // Seconds between two readings as the lines print them: whole seconds plus
  // nanoseconds / 1e9, and 0 when the clock went backwards.
  static double elapsed_seconds(std::chrono::steady_clock::time_point from,
                                std::chrono::steady_clock::time_point to);

 private:
  bool enabled_;
  const char* tag_;
  std::chrono::steady_clock::time_point total_start_;
  std::chrono::steady_clock::time_point stage_start_;
};

}  // namespace tarvelo
