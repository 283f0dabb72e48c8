// How a number of threads is shared among pieces of work that can run side by side:
// a study's runs among its jobs, a run's voxels among the run's threads.
//
// The rule: with `threads` threads (at least one is used) and `pieces` pieces, as many
// pieces run at once as there are threads, but never more than there are pieces; when
// there are fewer pieces than threads, the threads left over go to the pieces running
// at once in equal whole shares (threads / at once, at least one each) and the
// remainder of that division stays idle.
#pragma once

#include <algorithm>
#include <cstdint>

namespace tolvane::simulate {

struct ThreadShare {
  std::int64_t atOnce;  // pieces running at once; 0 when there are none
  int perPiece;         // threads each of them gets
};

inline ThreadShare shareThreads(int threads, std::int64_t pieces) {
  const int usable = std::max(threads, 1);
  const std::int64_t atOnce = std::min<std::int64_t>(usable, std::max<std::int64_t>(pieces, 0));
  return {atOnce, static_cast<int>(usable / std::max<std::int64_t>(atOnce, 1))};
}

}  // namespace tolvane::simulate
