// Thread counts, and starting and joining threads; see threads.h.
#include "formats/threads.h"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "formats/errors.h"

namespace tolvane::formats {
namespace {

// The threads wait here until all are started, and learn whether to run.
class StartingGate {
 public:
  // Returns whether the body may run: every thread was started.
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return decided_; });
    return go_;
  }
  void open(bool go) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      decided_ = true;
      go_ = go;
    }
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool decided_ = false, go_ = false;
};

}  // namespace

unsigned usableCores() {
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&allowed)));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

unsigned jobsOption(std::optional<std::int64_t> given) {
  if (!given) return usableCores();
  if (*given < 1 || *given > kMaxJobs) {
    throw InputError("--jobs: expected a number of threads from 1 to " + std::to_string(kMaxJobs) +
                     " (default: one per usable core, here " + std::to_string(usableCores()) +
                     "), found " + std::to_string(*given));
  }
  return static_cast<unsigned>(*given);
}

void onThreads(unsigned count, const std::function<void(unsigned)>& body) {
  if (count <= 1) {
    body(0);
    return;
  }
  StartingGate gate;
  std::mutex failureLock;
  std::exception_ptr failure;
  const auto run = [&](unsigned index) {
    try {
      body(index);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failureLock);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(count - 1);  // so that only starting a thread can fail below
  std::string reason;
  for (unsigned index = 1; index < count; ++index) {
    try {
      threads.emplace_back([&gate, &run, index] {
        if (gate.wait()) run(index);
      });
    } catch (const std::system_error& error) {
      reason = error.code().message();
      break;
    }
  }
  const bool allStarted = threads.size() == count - 1;
  gate.open(allStarted);
  if (allStarted) run(0);
  for (std::thread& thread : threads) thread.join();
  if (!allStarted) {
    throw ThreadStartError("could not start " + std::to_string(count - 1) + " threads (" +
                           std::to_string(threads.size()) + " started, then: " + reason +
                           "); ask for fewer with --jobs");
  }
  if (failure) std::rethrow_exception(failure);
}

unsigned onAvailableThreads(unsigned count, const std::function<void(unsigned)>& body) {
  std::vector<std::thread> threads;
  threads.reserve(count > 1 ? count - 1 : 0);  // so that only starting a thread can fail
  for (unsigned index = 1; index < count; ++index) {
    try {
      threads.emplace_back(body, index);
    } catch (const std::system_error&) {
      break;
    }
  }
  body(0);
  for (std::thread& thread : threads) thread.join();
  return static_cast<unsigned>(threads.size()) + 1;
}

void inEqualParts(std::int64_t count, std::int64_t parts,
                  const std::function<void(std::int64_t, std::int64_t)>& body) {
  if (count <= 0 || parts <= 0) return;
  onThreads(static_cast<unsigned>(parts),
            [&](unsigned part) { body(count * part / parts, count * (part + 1) / parts); });
}

}  // namespace tolvane::formats
