// The signal guard of a study; see interruption_guard.h.
#include "tolvane/simulate/interruption_guard.h"

#include <unistd.h>

#include <atomic>

#include "formats/exit_status.h"

namespace tolvane::simulate {
namespace {

// A signal handler can only reach process-wide state, so there is one flag, which each
// guard clears when it is made.
std::atomic<bool> stopRequested{false};

// What the second signal prints: only write() may be called in a handler, so the text
// is fixed.
constexpr char kStoppedAtOnce[] =
    "\ntolvane: stopped at once by a second signal: the runs in progress were not finished "
    "and none of their files is in place; run the same command again to simulate the rest\n";

extern "C" void requestStop(int) {
  if (!stopRequested.exchange(true)) return;
  // The runs in progress are abandoned: their staged files are removed by the next run
  // into the folder, and the folder's lock goes with the process.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kStoppedAtOnce, sizeof kStoppedAtOnce - 1);
  ::_exit(formats::kExitInterrupted);
}

}  // namespace

InterruptionGuard::InterruptionGuard() {
  stopRequested = false;
  struct sigaction action {};
  action.sa_handler = requestStop;
  action.sa_flags = 0;
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
