// The terminal spinner; see busy_indicator.h.
#include "host/dialogues/busy_indicator.h"

#include <cstdio>

namespace hvhost {

namespace {
constexpr std::chrono::milliseconds kFrameInterval{125};
constexpr char kFrames[] = {'|', '/', '-', '\\'};
}  // namespace

BusyIndicator::~BusyIndicator() {
  // However unbalanced the starts and stops were, the spinner thread ends here.
  {
    std::unique_lock guard(mutex_);
    if (depth_ == 0) return;
    depth_ = 1;
  }
  stop();
}

void BusyIndicator::start() {
  std::unique_lock guard(mutex_);
  if (depth_++ > 0) return;
  started_ = std::chrono::steady_clock::now();
  thread_ = std::thread([this] { spin(); });
}

void BusyIndicator::stop() {
  std::unique_lock guard(mutex_);
  if (depth_ == 0 || --depth_ > 0) return;
  guard.unlock();
  wake_.notify_all();
  thread_.join();
  guard.lock();
  clearLine();
}

void BusyIndicator::clearLine() {
  if (!shown_) return;
  terminal_ << "\r\033[K" << std::flush;
  shown_ = false;
}

void BusyIndicator::spin() {
  std::unique_lock guard(mutex_);
  for (unsigned frame = 0; depth_ > 0; ++frame) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    char line[64];
    std::snprintf(line, sizeof line, "\r%c working... %.1f s", kFrames[frame % sizeof kFrames],
                  seconds);
    terminal_ << line << std::flush;
    shown_ = true;
    wake_.wait_for(guard, kFrameInterval, [this] { return depth_ == 0; });
  }
}

}  // namespace hvhost
