// The wall-clock time of one call, for the benchmarks.
#pragma once

#include <chrono>

namespace tolvane::bench {

// Milliseconds that work() takes, on the steady clock.
template <typename Work>
double millisecondsOf(Work&& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace tolvane::bench
