// Asking a study to stop: SIGINT and SIGTERM, for as long as a guard lives, set a flag
// that the jobs read between runs instead of ending the process. A second signal ends
// the process at once, with a message and exit status 130. The handlers in place before
// the guard are restored when it goes.
#pragma once

#include <signal.h>

namespace tolvane::simulate {

class InterruptionGuard {
 public:
  InterruptionGuard();
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;

  // Whether a signal has come since the guard was made; safe from any thread.
  bool requested() const;

 private:
  struct sigaction previousInterrupt_ {};
  struct sigaction previousTerminate_ {};
};

}  // namespace tolvane::simulate
