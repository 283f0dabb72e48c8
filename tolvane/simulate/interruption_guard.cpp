// The signal guard of a study; see interruption_guard.h.
#include "tolvane/simulate/interruption_guard.h"

#include <atomic>

namespace tolvane::simulate {
namespace {

// A signal handler can only reach process-wide state, so there is one flag, which each
// guard clears when it is made.
std::atomic<bool> stopRequested{false};

extern "C" void requestStop(int) { stopRequested = true; }

}  // namespace

InterruptionGuard::InterruptionGuard() {
  stopRequested = false;
  struct sigaction action {};
  action.sa_handler = requestStop;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &previousInterrupt_);
  ::sigaction(SIGTERM, &action, &previousTerminate_);
}

InterruptionGuard::~InterruptionGuard() {
  ::sigaction(SIGINT, &previousInterrupt_, nullptr);
  ::sigaction(SIGTERM, &previousTerminate_, nullptr);
}

bool InterruptionGuard::requested() const { return stopRequested; }

}  // namespace tolvane::simulate
