// The busy indication on a terminal: a spinner with the elapsed time, redrawn on one
// line of the error stream by a background thread while the plug-in works. Whoever
// writes to the terminal meanwhile takes the lock from lock() and calls clearLine()
// first, so the spinner never mixes into other output.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>

namespace hvhost {

class BusyIndicator {
 public:
  explicit BusyIndicator(std::ostream& terminal) : terminal_(terminal) {}
  ~BusyIndicator();
  BusyIndicator(const BusyIndicator&) = delete;
  BusyIndicator& operator=(const BusyIndicator&) = delete;

  void start();  // nested starts need as many stops
  void stop();
  std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }
  void clearLine();  // call with the lock held

 private:
  void spin();
  std::ostream& terminal_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  int depth_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace hvhost
